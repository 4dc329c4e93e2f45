// The library's allocator. Alone in its object file: a test program that
// defines these two functions itself takes the place of this file.
#include "zeth_internal.h"

#include <cstdlib>

extern "C" void *zeth_allocate(size_t size) { return std::calloc(1, size); }

extern "C" void zeth_release(void *memory) { std::free(memory); }
