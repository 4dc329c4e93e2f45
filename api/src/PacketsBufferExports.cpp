// Exports of packets buffers: each forwards to the operation of the same
// name on the object behind the handle.
#include "Exports.h"
#include "PacketsBuffer.h"

using namespace FlApi;

extern "C" {

FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferCreate(uint32_t Size, FL_PACKETS_BUFFER* PacketsBuffer)
{
    return Guarded([&] {
        SingleBuffer* buffer = nullptr;
        const FL_STATUS status = SingleBuffer::Create(Size, nullptr, &buffer);
        if (status == FL_SUCCESS) {
            *PacketsBuffer = ToHandle(buffer);
        }
        return status;
    });
}

FLAPI void FLAPI_CALL FlPacketsBufferDestroy(FL_PACKETS_BUFFER PacketsBuffer)
{
    Guarded([&] {
        FromHandle(PacketsBuffer)->Destroy();
        return FL_SUCCESS;
    });
}

FLAPI uint8_t* FLAPI_CALL FlPacketsBufferGetBuffer(FL_PACKETS_BUFFER PacketsBuffer)
{
    return FromHandle(PacketsBuffer)->GetBuffer();
}

FLAPI uint32_t FLAPI_CALL FlPacketsBufferGetEffectiveLength(FL_PACKETS_BUFFER PacketsBuffer)
{
    return FromHandle(PacketsBuffer)->GetEffectiveLength();
}

FLAPI uint32_t FLAPI_CALL FlPacketsBufferGetLength(FL_PACKETS_BUFFER PacketsBuffer)
{
    return FromHandle(PacketsBuffer)->GetLength();
}

FLAPI void FLAPI_CALL FlPacketsBufferResetIndex(FL_PACKETS_BUFFER PacketsBuffer)
{
    FromHandle(PacketsBuffer)->ResetIndex();
}

FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferQueryNextPacket(FL_PACKETS_BUFFER PacketsBuffer,
                                                          FL_PACKET_HEADER* Header, uint8_t** Data)
{
    return Guarded([&] { return FromHandle(PacketsBuffer)->QueryNextPacket(Header, Data); });
}

FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferCommitNextPacket(FL_PACKETS_BUFFER PacketsBuffer,
                                                           const FL_PACKET_HEADER* Header,
                                                           const void* Data)
{
    return Guarded([&] { return FromHandle(PacketsBuffer)->CommitNextPacket(Header, Data); });
}

FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferSetEffectiveLength(FL_PACKETS_BUFFER PacketsBuffer,
                                                             uint32_t EffectiveLength)
{
    return Guarded(
        [&] { return FromHandle(PacketsBuffer)->SetEffectiveLength(EffectiveLength); });
}

} // extern "C"
