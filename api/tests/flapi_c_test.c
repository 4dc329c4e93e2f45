/*
 * A C application of the library: includes FlApi.h only, links FlApi, and
 * checks the packets buffers and status texts through the exports. Exits
 * non-zero on the first wrong answer.
 */
#include "FlApi.h"

#include <stdio.h>
#include <string.h>

static int failures;

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                         \
        }                                                                       \
    } while (0)

#define CHECK_STATUS(expr, expected)                                            \
    do {                                                                        \
        FL_STATUS got_ = (expr);                                                \
        if (got_ != (FL_STATUS)(expected)) {                                    \
            fprintf(stderr, "%s:%d: %s returned 0x%08x, expected 0x%08x\n",     \
                    __FILE__, __LINE__, #expr, (unsigned)got_, (unsigned)(expected)); \
            ++failures;                                                         \
        }                                                                       \
    } while (0)

static FL_PACKETS_BUFFER create(uint32_t size)
{
    FL_PACKETS_BUFFER buffer = NULL;
    CHECK_STATUS(FlPacketsBufferCreate(size, &buffer), FL_SUCCESS);
    CHECK(buffer != NULL);
    return buffer;
}

/* Writes a record header straight into the data area, as the driver does. */
static void put_header(FL_PACKETS_BUFFER buffer, uint32_t offset, uint16_t captured)
{
    FL_PACKET_HEADER header;
    memset(&header, 0, sizeof header);
    header.WireLength = captured;
    header.CapturedLength = captured;
    memcpy(FlPacketsBufferGetBuffer(buffer) + offset, &header, sizeof header);
}

static void empty_buffer_ends_at_once(void)
{
    FL_PACKETS_BUFFER buffer = create(256);
    FL_PACKET_HEADER header;
    uint8_t *data = NULL;
    CHECK(FlPacketsBufferGetLength(buffer) == 256);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 0);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_END_OF_BUFFER);
    FlPacketsBufferDestroy(buffer);
}

static void truncated_records_are_inconsistent(void)
{
    FL_PACKETS_BUFFER buffer = create(256);
    FL_PACKET_HEADER header;
    uint8_t *data = NULL;

    put_header(buffer, 0, 61); /* 24 + 64 = 88 bytes */
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 23), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_INCONSISTENT_BUFFER);

    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 87), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_INCONSISTENT_BUFFER);
    /* The index did not move: the same answer again. */
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_INCONSISTENT_BUFFER);

    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 88), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_SUCCESS);
    CHECK(header.CapturedLength == 61);
    CHECK(data == FlPacketsBufferGetBuffer(buffer) + 24);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_END_OF_BUFFER);
    FlPacketsBufferDestroy(buffer);
}

static void commit_refuses_bad_lengths(void)
{
    FL_PACKETS_BUFFER buffer = create(0x20000);
    static uint8_t payload[0x10000];
    FL_PACKET_HEADER header;
    memset(&header, 0, sizeof header);

    header.WireLength = 60;
    header.CapturedLength = 59;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_ERROR_INVALID_PACKET);
    header.WireLength = 0;
    header.CapturedLength = 0;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_ERROR_INVALID_PACKET);
    /* Above 0xFFF8 the padded size would wrap in 16 bits. */
    header.WireLength = 0xFFF9;
    header.CapturedLength = 0xFFF9;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_ERROR_INVALID_PACKET);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 0);

    header.WireLength = 0xFFF8;
    header.CapturedLength = 0xFFF8;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_SUCCESS);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 24 + 0xFFF8);
    FlPacketsBufferDestroy(buffer);
}

static void commit_stops_when_full(void)
{
    FL_PACKETS_BUFFER buffer = create(100);
    uint8_t payload[60];
    FL_PACKET_HEADER header;
    memset(payload, 0xA5, sizeof payload);
    memset(&header, 0, sizeof header);
    header.WireLength = 60;
    header.CapturedLength = 60;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_SUCCESS);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 88);
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_ERROR_BUFFER_FULL);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 88);
    FlPacketsBufferDestroy(buffer);
}

static void committed_records_read_back(void)
{
    FL_PACKETS_BUFFER buffer = create(1024);
    uint8_t first[61], second[8];
    FL_PACKET_HEADER header, read;
    uint8_t *data = NULL;
    memset(first, 0x11, sizeof first);
    memset(second, 0x22, sizeof second);

    memset(&header, 0, sizeof header);
    header.Timestamp = 0x0123456789ABCDEFull;
    header.Flags = FL_PACKET_FLAG_FCS_PRESENT;
    header.WireLength = header.CapturedLength = sizeof first;
    header.Errors = FL_PACKET_ERROR_CRC;
    header.Reserved = 0xDEADBEEF;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, first), FL_SUCCESS);
    header.Timestamp += 1;
    header.WireLength = header.CapturedLength = sizeof second;
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, second), FL_SUCCESS);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 88 + 32);

    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &read, &data), FL_SUCCESS);
    CHECK(read.Timestamp == 0x0123456789ABCDEFull);
    CHECK(read.Flags == FL_PACKET_FLAG_FCS_PRESENT && read.Errors == FL_PACKET_ERROR_CRC);
    CHECK(read.Reserved == 0xDEADBEEF); /* copied unchanged */
    CHECK(read.CapturedLength == 61 && memcmp(data, first, sizeof first) == 0);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &read, &data), FL_SUCCESS);
    CHECK(read.Timestamp == 0x0123456789ABCDF0ull);
    CHECK(data == FlPacketsBufferGetBuffer(buffer) + 88 + 24); /* 8-byte aligned record */
    CHECK(memcmp(data, second, sizeof second) == 0);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &read, &data), FL_ERROR_END_OF_BUFFER);

    /* Read again from the start; then reuse for a new run of records. */
    FlPacketsBufferResetIndex(buffer);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &read, &data), FL_SUCCESS);
    CHECK(read.CapturedLength == 61);
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 0), FL_SUCCESS);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 0);
    FlPacketsBufferDestroy(buffer);
}

static void effective_length_limits(void)
{
    FL_PACKETS_BUFFER buffer = create(512);
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 512), FL_SUCCESS);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 512);
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 513), FL_ERROR_INVALID_PARAMETER);
    CHECK(FlPacketsBufferGetEffectiveLength(buffer) == 512);
    FlPacketsBufferDestroy(buffer);
}

static void read_index_beyond_effective_length(void)
{
    FL_PACKETS_BUFFER buffer = create(256);
    FL_PACKET_HEADER header;
    uint8_t *data = NULL;
    put_header(buffer, 0, 40);  /* 64 bytes */
    put_header(buffer, 64, 40); /* 64 bytes */
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 128), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_SUCCESS);

    /* Lowered under the read index: nothing beyond the records is read. */
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 64), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_INCONSISTENT_BUFFER);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_INCONSISTENT_BUFFER);
    FlPacketsBufferResetIndex(buffer);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_SUCCESS);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_END_OF_BUFFER);
    FlPacketsBufferDestroy(buffer);
}

static void zero_size_buffer(void)
{
    FL_PACKETS_BUFFER buffer = create(0);
    FL_PACKET_HEADER header;
    uint8_t payload[1] = {0};
    uint8_t *data = NULL;
    memset(&header, 0, sizeof header);
    header.WireLength = header.CapturedLength = 1;
    CHECK(FlPacketsBufferGetLength(buffer) == 0);
    CHECK_STATUS(FlPacketsBufferQueryNextPacket(buffer, &header, &data), FL_ERROR_END_OF_BUFFER);
    CHECK_STATUS(FlPacketsBufferCommitNextPacket(buffer, &header, payload), FL_ERROR_BUFFER_FULL);
    CHECK_STATUS(FlPacketsBufferSetEffectiveLength(buffer, 1), FL_ERROR_INVALID_PARAMETER);
    FlPacketsBufferDestroy(buffer);
}

static void status_texts(void)
{
    static const struct {
        FL_STATUS status;
        const char *text;
    } table[] = {
        {FL_SUCCESS, "The call was successful."},
        {FL_SUCCESS_REBOOT_REQUIRED, "The call was successful but a reboot is required for the "
                                     "operation to be effective."},
        {FL_ERROR_PORT_NOT_FOUND, "The port does not exist."},
        {FL_ERROR_UNKNOWN, "An unknown error occurred."},
        {FL_ERROR_NOT_IMPLEMENTED, "This feature has not been implemented yet."},
        {FL_ERROR_INVALID_REQUEST, "The request is invalid."},
        {FL_ERROR_COUNTER_NOT_AVAILABLE,
         "The requested counter in a statistics object is not available."},
        {FL_ERROR_NO_MEMORY,
         "Not enough memory available on the system to complete the operation."},
        {FL_ERROR_END_OF_BUFFER,
         "The end of a packets buffer has been reached while reading packets from it."},
        {FL_ERROR_INCONSISTENT_BUFFER,
         "The data inside a packets buffer are inconsistent (e.g. the buffer is truncated or the "
         "values in the packet headers are not consistent)."},
        {FL_ERROR_BUFFER_FULL, "The status code is unknown."},
        {FL_ERROR_INVALID_PACKET, "The status code is unknown."},
        {FL_ERROR_INVALID_PARAMETER, "A parameter passed to the function has an invalid value."},
        {FL_ERROR_EVENT_CREATION, "Impossible to allocate an event used by the object."},
        {FL_ERROR_IO, "I/O error while accessing a kernel device."},
        {FL_ERROR_ALREADY_REGISTERED, "The event handler has been already registered on the object."},
        {FL_ERROR_BUFFER_TOO_SMALL, "The buffer passed to the function is too small to return the "
                                    "result of the operation."},
        {FL_ERROR_REGISTRY, "The required information cannot be found in the registry."},
        {2, "The status code is unknown."},
        {0x20000000u, "The status code is unknown."},
        {0x20000011u, "The status code is unknown."},
        {0x10000001u, "The status code is unknown."},
        {0xFFFFFFFFu, "The status code is unknown."},
    };
    size_t i;
    for (i = 0; i < sizeof table / sizeof table[0]; ++i) {
        const char *text = FlStatusGetString(table[i].status);
        if (text == NULL || strcmp(text, table[i].text) != 0) {
            fprintf(stderr, "FlStatusGetString(0x%08x) = \"%s\"\n", (unsigned)table[i].status,
                    text != NULL ? text : "(null)");
            ++failures;
        }
    }
    CHECK(FL_STATUS_IS_SUCCESS(FL_SUCCESS_REBOOT_REQUIRED));
    CHECK(!FL_STATUS_IS_SUCCESS(FL_ERROR_PORT_NOT_FOUND));
}

int main(void)
{
    empty_buffer_ends_at_once();
    truncated_records_are_inconsistent();
    commit_refuses_bad_lengths();
    commit_stops_when_full();
    committed_records_read_back();
    effective_length_limits();
    read_index_beyond_effective_length();
    zero_size_buffer();
    status_texts();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("all packets buffer checks passed\n");
    return 0;
}
