// Exports of the port list and of ports: each forwards to the operation of
// the same name on the port behind the handle.
#include "Enumeration.h"
#include "Exports.h"
#include "Ports.h"

using namespace FlApi;

extern "C" {

FLAPI FL_STATUS FLAPI_CALL FlQueryPortList(FL_PORT** PortList, uint32_t* PortCount)
{
    return Guarded([&] { return QueryPortList(PortList, PortCount); });
}

FLAPI FL_STATUS FLAPI_CALL FlFreePortList(FL_PORT* PortList)
{
    FreePortList(PortList);
    return FL_SUCCESS;
}

FLAPI const char* FLAPI_CALL FlPortGetName(FL_PORT Port)
{
    return FromHandle(Port)->GetName();
}

FLAPI const char* FLAPI_CALL FlPortGetDescription(FL_PORT Port)
{
    return FromHandle(Port)->GetDescription();
}

FLAPI FL_STATUS FLAPI_CALL FlPortSetDescription(FL_PORT Port, const char* Description)
{
    return Guarded([&] { return FromHandle(Port)->SetDescription(Description); });
}

FLAPI FL_STATUS FLAPI_CALL FlPortQueryBoard(FL_PORT Port, FL_BOARD* Board)
{
    return Guarded([&] {
        FlApi::Board* board = nullptr;
        const FL_STATUS status = FromHandle(Port)->QueryBoard(&board);
        if (status == FL_SUCCESS) {
            *Board = ToHandle(board);
        }
        return status;
    });
}

FLAPI uint32_t FLAPI_CALL FlPortGetType(FL_PORT Port)
{
    return FromHandle(Port)->GetType();
}

FLAPI FL_STATUS FLAPI_CALL FlPortQueryMacAddress(FL_PORT Port, uint8_t MacAddress[6])
{
    return Guarded([&] { return FromHandle(Port)->QueryMacAddress(MacAddress); });
}

FLAPI FL_STATUS FLAPI_CALL FlPortQueryAggregatedPortList(FL_PORT Port, FL_PORT** PortList,
                                                         uint32_t* PortCount)
{
    return Guarded([&] { return FromHandle(Port)->QueryAggregatedPortList(PortList, PortCount); });
}

FLAPI uint8_t FLAPI_CALL FlPortIsEqual(FL_PORT Port, FL_PORT OtherPort)
{
    return FromHandle(Port)->IsEqual(FromHandle(OtherPort)) ? 1 : 0;
}

FLAPI FL_STATUS FLAPI_CALL FlPortQueryLinkStatus(FL_PORT Port, FL_LINK_STATUS* LinkStatus)
{
    return Guarded([&] { return FromHandle(Port)->QueryLinkStatus(LinkStatus); });
}

FLAPI FL_STATUS FLAPI_CALL FlPortSetFeature(FL_PORT Port, uint32_t Feature, uint32_t Value)
{
    return Guarded([&] { return FromHandle(Port)->SetFeature(Feature, Value); });
}

FLAPI FL_STATUS FLAPI_CALL FlPortQueryFeature(FL_PORT Port, uint32_t Feature, uint32_t* Value)
{
    return Guarded([&] { return FromHandle(Port)->QueryFeature(Feature, Value); });
}

FLAPI FL_STATUS FLAPI_CALL FlPortQueryAutonegotiationParameters(FL_PORT Port,
                                                                FL_AUTONEGOTIATION_PARAMETERS* Parameters)
{
    return Guarded([&] { return FromHandle(Port)->QueryAutonegotiationParameters(Parameters); });
}

FLAPI FL_STATUS FLAPI_CALL FlPortSetAutonegotiationParameters(FL_PORT Port,
                                                              const FL_AUTONEGOTIATION_PARAMETERS* Parameters)
{
    // The operation gets a copy of its own: the caller's record stays const.
    FL_AUTONEGOTIATION_PARAMETERS parameters = *Parameters;
    return Guarded([&] { return FromHandle(Port)->SetAutonegotiationParameters(&parameters); });
}

} // extern "C"
