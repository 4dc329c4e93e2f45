// Exports of statistics objects, and the port's export that makes one:
// each forwards to the operation of the same name on the object behind the
// handle.
#include "Exports.h"
#include "Statistics.h"

using namespace FlApi;

extern "C" {

FLAPI FL_STATUS FLAPI_CALL FlPortQueryStatistics(FL_PORT Port, FL_STATISTICS* Statistics)
{
    return Guarded([&] {
        FlApi::Statistics* statistics = nullptr;
        const FL_STATUS status = FromHandle(Port)->QueryStatistics(&statistics);
        if (status == FL_SUCCESS) {
            *Statistics = ToHandle(statistics);
        }
        return status;
    });
}

FLAPI FL_STATUS FLAPI_CALL FlStatisticsQueryValue(FL_STATISTICS Statistics, uint32_t CounterId,
                                                  uint64_t* Value)
{
    return Guarded([&] { return FromHandle(Statistics)->QueryValue(CounterId, Value); });
}

FLAPI FL_STATUS FLAPI_CALL FlStatisticsUpdate(FL_STATISTICS Statistics)
{
    return Guarded([&] { return FromHandle(Statistics)->Update(); });
}

FLAPI void FLAPI_CALL FlStatisticsDestroy(FL_STATISTICS Statistics)
{
    delete FromHandle(Statistics);
}

} // extern "C"
