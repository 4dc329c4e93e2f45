// FlStatusGetString: the one table of status texts of the system.
#include "FlApi.h"

extern "C" FLAPI const char* FLAPI_CALL FlStatusGetString(FL_STATUS Status)
{
    switch (Status) {
    case FL_SUCCESS:
        return "The call was successful.";
    case FL_SUCCESS_REBOOT_REQUIRED:
        return "The call was successful but a reboot is required for the operation to be "
               "effective.";
    case FL_ERROR_PORT_NOT_FOUND:
        return "The port does not exist.";
    case FL_ERROR_UNKNOWN:
        return "An unknown error occurred.";
    case FL_ERROR_NOT_IMPLEMENTED:
        return "This feature has not been implemented yet.";
    case FL_ERROR_INVALID_REQUEST:
        return "The request is invalid.";
    case FL_ERROR_COUNTER_NOT_AVAILABLE:
        return "The requested counter in a statistics object is not available.";
    case FL_ERROR_NO_MEMORY:
        return "Not enough memory available on the system to complete the operation.";
    case FL_ERROR_END_OF_BUFFER:
        return "The end of a packets buffer has been reached while reading packets from it.";
    case FL_ERROR_INCONSISTENT_BUFFER:
        return "The data inside a packets buffer are inconsistent (e.g. the buffer is truncated "
               "or the values in the packet headers are not consistent).";
    // FL_ERROR_BUFFER_FULL and FL_ERROR_INVALID_PACKET have never had texts
    // of their own; applications compare the codes.
    case FL_ERROR_INVALID_PARAMETER:
        return "A parameter passed to the function has an invalid value.";
    case FL_ERROR_EVENT_CREATION:
        return "Impossible to allocate an event used by the object.";
    case FL_ERROR_IO:
        return "I/O error while accessing a kernel device.";
    case FL_ERROR_ALREADY_REGISTERED:
        return "The event handler has been already registered on the object.";
    case FL_ERROR_BUFFER_TOO_SMALL:
        return "The buffer passed to the function is too small to return the result of the "
               "operation.";
    case FL_ERROR_REGISTRY:
        return "The required information cannot be found in the registry.";
    default:
        return "The status code is unknown.";
    }
}
