// FlApi.h on its own in a C++ translation unit: it must bring everything it
// needs and keep C linkage for the exports.
#include "FlApi.h"

#include <type_traits>

static_assert(std::is_same_v<decltype(&FlStatusGetString), const char* (*)(FL_STATUS)>);
static_assert(std::is_same_v<decltype(&FlPacketsBufferQueryNextPacket),
                             FL_STATUS (*)(FL_PACKETS_BUFFER, FL_PACKET_HEADER*, uint8_t**)>);
static_assert(std::is_standard_layout_v<FL_PACKET_HEADER>);
static_assert(!std::is_same_v<FL_PORT, FL_INSTANCE>, "handles are distinct types");
