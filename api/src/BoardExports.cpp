// Exports of boards: they work on the board record directly.
#include "Exports.h"
#include "PortConfiguration.h"
#include "Ports.h"

using namespace FlApi;

extern "C" {

FLAPI const char* FLAPI_CALL FlBoardGetDescription(FL_BOARD Board)
{
    return FromHandle(Board)->Description;
}

FLAPI uint32_t FLAPI_CALL FlBoardGetType(FL_BOARD /*Board*/)
{
    return FL_BOARD_TYPE_GIGABIT_ETHERNET;
}

FLAPI uint8_t FLAPI_CALL FlBoardIsEqual(FL_BOARD Board, FL_BOARD OtherBoard)
{
    return SameMac(FromHandle(Board)->MacAddress, FromHandle(OtherBoard)->MacAddress) ? 1 : 0;
}

FLAPI FL_STATUS FLAPI_CALL FlBoardQueryPortList(FL_BOARD Board, FL_PORT** PortList, uint32_t* PortCount)
{
    FlApi::Board* board = FromHandle(Board);
    *PortList = board->Ports;
    *PortCount = board->PortCount;
    return FL_SUCCESS;
}

FLAPI FL_STATUS FLAPI_CALL FlBoardSetFeature(FL_BOARD Board, uint32_t Feature, uint32_t Value)
{
    return Guarded([&] { return SetBoardFeature(*FromHandle(Board), Feature, Value); });
}

FLAPI FL_STATUS FLAPI_CALL FlBoardQueryFeature(FL_BOARD Board, uint32_t Feature, uint32_t* Value)
{
    return Guarded([&] { return QueryBoardFeature(*FromHandle(Board), Feature, Value); });
}

} // extern "C"
