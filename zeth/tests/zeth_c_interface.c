/* The interface compiled as C: a whole file written through it. */
#include "zeth.h"

#include <string.h>

struct Buffer {
    uint8_t *bytes;
    uint32_t capacity;
    uint32_t used;
};

static uint32_t BufferWrite(void *handle, const void *source, uint32_t length)
{
    struct Buffer *buffer = (struct Buffer *)handle;
    if (buffer->capacity - buffer->used < length) {
        return 1;
    }
    memcpy(buffer->bytes + buffer->used, source, length);
    buffer->used += length;
    return 0;
}

int zeth_c_write_empty_section(uint8_t *bytes, uint32_t capacity, uint32_t *used)
{
    struct Buffer buffer = {bytes, capacity, 0};
    ZethFile *file = NULL;
    ZethSection *section = NULL;
    if (zeth_open_file(NULL, BufferWrite, NULL, &buffer, "w", &file) != ZETH_SUCCESS) {
        return 1;
    }
    if (zeth_create_section(file, &section) != ZETH_SUCCESS ||
        zeth_close_section(section) != ZETH_SUCCESS) {
        return 2;
    }
    if (zeth_close_file(file) != ZETH_SUCCESS) {
        return 3;
    }
    *used = buffer.used;
    return 0;
}
