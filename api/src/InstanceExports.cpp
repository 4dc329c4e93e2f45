// Exports of instances: opening by port and by name, closing, and the
// operations that forward to the instance behind the handle.
#include <cstring>

#include "AggregatingInstance.h"
#include "Enumeration.h"
#include "Exports.h"
#include "PhysicalInstance.h"

using namespace FlApi;

namespace {

FL_STATUS OpenByPort(FlApi::Port* port, FL_INSTANCE* instance)
{
    switch (port->GetType()) {
    case FL_PORT_TYPE_PHYSICAL: {
        PhysicalInstance* opened = nullptr;
        const FL_STATUS status =
            PhysicalInstance::Open(port, PhysicalInstance::kDefaultCapacity, &opened);
        if (status == FL_SUCCESS) {
            *instance = ToHandle(static_cast<FlApi::Instance*>(opened));
        }
        return status;
    }
    case FL_PORT_TYPE_BOARD_AGGREGATING:
    case FL_PORT_TYPE_AGGREGATING: {
        AggregatingInstance* opened = nullptr;
        const FL_STATUS status = AggregatingInstance::Open(port, &opened);
        if (status == FL_SUCCESS) {
            *instance = ToHandle(static_cast<FlApi::Instance*>(opened));
        }
        return status;
    }
    default:
        return FL_ERROR_INVALID_PARAMETER;
    }
}

} // namespace

extern "C" {

FLAPI FL_STATUS FLAPI_CALL FlInstanceOpenByPort(FL_PORT Port, FL_INSTANCE* Instance)
{
    return Guarded([&] { return OpenByPort(FromHandle(Port), Instance); });
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceOpenByName(const char* PortName, FL_INSTANCE* Instance)
{
    return Guarded([&] {
        FL_PORT* list = nullptr;
        uint32_t count = 0;
        const FL_STATUS status = QueryPortList(&list, &count);
        if (status != FL_SUCCESS) {
            return status;
        }
        // Names compare byte for byte: a device path differing in case
        // names no port of the list. The instance copies its port, so the
        // list goes at once.
        FL_STATUS result = FL_ERROR_PORT_NOT_FOUND;
        for (uint32_t i = 0; i < count; ++i) {
            if (std::strcmp(FromHandle(list[i])->GetName(), PortName) == 0) {
                result = OpenByPort(FromHandle(list[i]), Instance);
                break;
            }
        }
        FreePortList(list);
        return result;
    });
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceClose(FL_INSTANCE Instance)
{
    if (Instance != nullptr) {
        Guarded([&] {
            delete FromHandle(Instance);
            return FL_SUCCESS;
        });
    }
    return FL_SUCCESS;
}

FLAPI FL_PORT FLAPI_CALL FlInstanceGetPort(FL_INSTANCE Instance)
{
    return ToHandle(FromHandle(Instance)->GetPort());
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceReceivePackets(FL_INSTANCE Instance,
                                                    FL_PACKETS_BUFFER* PacketsBuffer)
{
    return Guarded([&] {
        FlApi::PacketsBuffer* buffer = nullptr;
        const FL_STATUS status = FromHandle(Instance)->ReceivePackets(&buffer);
        if (status == FL_SUCCESS) {
            *PacketsBuffer = ToHandle(buffer);
        }
        return status;
    });
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceSetFeature(FL_INSTANCE Instance, uint32_t Feature,
                                                uint32_t Value)
{
    return Guarded([&] { return FromHandle(Instance)->SetFeature(Feature, Value); });
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceQueryFeature(FL_INSTANCE Instance, uint32_t Feature,
                                                  uint32_t* Value)
{
    return Guarded([&] { return FromHandle(Instance)->QueryFeature(Feature, Value); });
}

FLAPI void* FLAPI_CALL FlInstanceGetReceiveWaitHandle(FL_INSTANCE Instance)
{
    return FromHandle(Instance)->GetReceiveWaitHandle();
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceTransmitPackets(FL_INSTANCE Instance,
                                                     FL_PACKETS_BUFFER PacketsBuffer)
{
    return Guarded([&] { return FromHandle(Instance)->TransmitPackets(FromHandle(PacketsBuffer)); });
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceQueryStatistics(FL_INSTANCE Instance, FL_STATISTICS* Statistics)
{
    return Guarded([&] {
        FlApi::Statistics* statistics = nullptr;
        const FL_STATUS status = FromHandle(Instance)->QueryStatistics(&statistics);
        if (status == FL_SUCCESS) {
            *Statistics = ToHandle(statistics);
        }
        return status;
    });
}

FLAPI FL_STATUS FLAPI_CALL FlInstanceRegisterEvtLinkStatusChange(
    FL_INSTANCE Instance, FL_LINK_STATUS_CHANGE_CALLBACK Callback, void* Context)
{
    return Guarded(
        [&] { return FromHandle(Instance)->RegisterEvtLinkStatusChange(Callback, Context); });
}

} // extern "C"
