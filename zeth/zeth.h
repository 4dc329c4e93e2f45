/*
 * ZETH: pcap-ng block writer.
 *
 * The caller supplies read, write and seek functions and an opaque handle;
 * every byte ZETH produces goes to the write function in file order. One file
 * holds one open section at a time, a section one open block at a time. The
 * caller attaches options to the open block as a linked list of nodes that it
 * owns; each block type turns a caller record into the block body through its
 * entry in the file's block-handler table.
 *
 * Every operation returns a small unsigned result code (ZETH_SUCCESS or one of
 * the ZETH_ERR_ values below); any other value is a code returned by one of
 * the caller's functions and passed through unchanged.
 *
 * All integers are written in the host's byte order; the section header's
 * byte-order magic tells readers which one it is.
 */
#ifndef ZETH_H
#define ZETH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define ZETH_SUCCESS               0u
#define ZETH_FAILURE               1u  /* the file object is in neither mode */
#define ZETH_ERR_UNSUPPORTED       2u  /* unknown block type, option not allowed on it */
#define ZETH_ERR_NO_MEMORY         6u
#define ZETH_ERR_SECTION_OPEN      7u
#define ZETH_ERR_READ_MODE         8u
#define ZETH_ERR_BLOCK_OPEN        10u
#define ZETH_ERR_NOT_PCAPNG        13u
#define ZETH_ERR_BUFFER_TOO_SMALL  17u /* sizing answer of encoders, never from an operation */
#define ZETH_ERR_NO_DATA           18u
#define ZETH_ERR_OPTION_LINKED     19u
#define ZETH_ERR_INVALID_ARGUMENT  24u
#define ZETH_ERR_DUPLICATE_TYPE    28u

/* Block types. */
#define ZETH_BLOCK_TYPE_SHB  0x0A0D0D0Au
#define ZETH_BLOCK_TYPE_IDB  1u
#define ZETH_BLOCK_TYPE_PB   2u  /* obsolete packet block: 16-bit interface id and drops count */
#define ZETH_BLOCK_TYPE_SPB  3u
#define ZETH_BLOCK_TYPE_EPB  6u

#define ZETH_BYTE_ORDER_MAGIC 0x1A2B3C4Du

/* Option codes. OPTION_COMMENT is accepted on every block type but the SPB,
 * which has no options: readers take its whole body for packet data. */
#define OPTION_ENDOFOPT            0u
#define OPTION_COMMENT             1u
#define IDB_OPTION_IF_NAME         2u   /* string */
#define IDB_OPTION_IF_DESCRIPTION  3u   /* string */
#define IDB_OPTION_IF_IPV4ADDR     4u   /* 8 bytes: address and mask */
#define IDB_OPTION_IF_IPV6ADDR     5u   /* 17 bytes: address and prefix length */
#define IDB_OPTION_IF_MACADDR      6u   /* 6 bytes */
#define IDB_OPTION_IF_EUIADDR      7u   /* 8 bytes */
#define IDB_OPTION_IF_SPEED        8u   /* u64 */
#define IDB_OPTION_IF_TSACCUR      9u   /* 1 byte: timestamp resolution */
#define IDB_OPTION_IF_TZONE        10u  /* u32 */
#define IDB_OPTION_IF_FILTER       11u  /* string */
#define IDB_OPTION_IF_OS           12u  /* string */
#define IDB_OPTION_IF_FCSLEN       13u  /* 1 byte */
#define PB_OPTION_FLAGS            2u   /* u32 */
#define EPB_OPTION_FLAGS           2u   /* u32 */

/* String values are written with their terminating zero, which the 16-bit
 * length field counts: a longer string is refused with
 * ZETH_ERR_INVALID_ARGUMENT. */
#define ZETH_MAX_STRING_OPTION_LENGTH 65534u

/* Origins of the seek function. */
#define ZETH_SEEK_BEGIN    0u
#define ZETH_SEEK_CURRENT  1u

/* The caller's I/O. Each returns 0 or a non-zero code of its own. read must
 * deliver exactly length bytes, write must take all length bytes. */
typedef uint32_t (*ZethReadFunction)(void *handle, void *destination, uint32_t length,
                                     uint32_t reserved);
typedef uint32_t (*ZethWriteFunction)(void *handle, const void *source, uint32_t length);
typedef uint32_t (*ZethSeekFunction)(void *handle, int64_t offset, uint32_t origin,
                                     uint64_t *new_position);

typedef struct ZethFileHandlers {
    ZethReadFunction read;    /* needed for mode "r" only */
    ZethWriteFunction write;  /* needed for the write modes */
    ZethSeekFunction seek;    /* optional: without it the section length is not recorded */
    void *handle;             /* passed back as the first argument */
} ZethFileHandlers;

/* An option node. Owned by the caller and kept valid until its block is
 * closed; ZETH links it through next but never copies or frees it. value
 * points to the value bytes, or to a zero-terminated string for string
 * codes. */
typedef struct ZethOption {
    struct ZethOption *next;
    uint16_t code;
    const void *value;
} ZethOption;

/* One byte range of a block body. A serializer lays its chunks out in the
 * chunk buffer it is given, linked through next. */
typedef struct ZethChunk {
    const void *data;
    uint32_t length;
    struct ZethChunk *next;
} ZethChunk;

/* One block type. The functions answer 0 or a result code; the sizing
 * functions (serialize, write_option) are first called without a
 * destination and answer ZETH_ERR_BUFFER_TOO_SMALL with the size they need in
 * *length, then with a buffer of at least that size, which they fill, setting
 * *length to the bytes used. parse and read_option decode what serialize and
 * write_option produce. */
typedef struct ZethBlockHandler {
    uint32_t block_type;
    uint32_t (*init)(uintptr_t context);
    uint32_t (*finish)(uintptr_t context);
    uint32_t (*serialize)(uintptr_t context, const void *record, void *chunk_buffer,
                          uint32_t *length);
    uint32_t (*write_option)(uintptr_t context, const ZethOption *option, void *destination,
                             uint32_t *length);
    uint32_t (*validate_option)(uintptr_t context, const ZethOption *option);
    uint32_t (*parse)(uintptr_t context, const void *body, uint32_t length, void *record);
    uint32_t (*read_option)(uintptr_t context, const void *source, uint32_t available,
                            ZethOption *option, uint32_t *used);
} ZethBlockHandler;

/* Caller records. The leading fields are written exactly as they lie in
 * memory; the packet bytes are written straight from packet_data. */
typedef struct ZethIdbRecord {
    uint16_t link_type;
    uint16_t reserved;
    uint32_t snap_length;
} ZethIdbRecord;

typedef struct ZethPbRecord {
    uint16_t interface_id;
    uint16_t drops_count;
    uint32_t timestamp_high;
    uint32_t timestamp_low;
    uint32_t captured_length;
    uint32_t packet_length;
    const void *packet_data;
} ZethPbRecord;

typedef struct ZethEpbRecord {
    uint32_t interface_id;
    uint32_t timestamp_high;
    uint32_t timestamp_low;
    uint32_t captured_length;
    uint32_t packet_length;
    const void *packet_data;
} ZethEpbRecord;

typedef struct ZethSpbRecord {
    uint32_t packet_length;
    uint32_t captured_length;
    const void *packet_data;
} ZethSpbRecord;

typedef struct ZethFile ZethFile;
typedef struct ZethSection ZethSection;
typedef struct ZethBlock ZethBlock;

/* mode, without regard to case: "r" reads (only the first block type is
 * checked; such a file can only be closed), "w", "a" and "c" write. */
uint32_t zeth_open_file(ZethReadFunction read, ZethWriteFunction write, ZethSeekFunction seek,
                        void *handle, const char *mode, ZethFile **file);

/* Nothing is written until the first block is created or the section is
 * closed. With a seek function the section length is patched at close. */
uint32_t zeth_create_section(ZethFile *file, ZethSection **section);

/* record stays the caller's and must stay valid until the block is closed.
 * The returned block is stale once it is closed. */
uint32_t zeth_create_block(ZethSection *section, uint32_t block_type, const void *record,
                           ZethBlock **block);

uint32_t zeth_add_option(ZethBlock *block, ZethOption *option);

/* Writes the whole block. On failure the block stays open. */
uint32_t zeth_close_block(ZethBlock *block);

uint32_t zeth_close_section(ZethSection *section);

/* Releases everything; never calls the caller's functions. */
uint32_t zeth_close_file(ZethFile *file);

/* Adds a block type to the file's table (after the built-in IDB, SPB, PB and
 * EPB). The handler is copied. */
uint32_t zeth_register_block_handler(ZethFile *file, const ZethBlockHandler *handler);

#ifdef __cplusplus
}
#endif

#endif /* ZETH_H */
