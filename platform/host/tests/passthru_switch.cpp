// A second program on the host's machine, doing what the panel does through
// the library: "modes M" advertises the speed mask M on both ports of the
// first board (passthru needs one mode, the same on both), "on" and "off"
// switch the board's passthru, "query" reads it; it prints what the board
// then says.
#include <FlApi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    const bool modes = argc == 3 && std::strcmp(argv[1], "modes") == 0;
    if (!modes && (argc != 2 || (std::strcmp(argv[1], "on") != 0 && std::strcmp(argv[1], "off") != 0 &&
                                 std::strcmp(argv[1], "query") != 0))) {
        std::fprintf(stderr, "usage: %s on|off|query|modes MASK\n", argv[0]);
        return 2;
    }
    FL_PORT* ports = nullptr;
    uint32_t count = 0;
    FL_BOARD board = nullptr;
    FL_STATUS status = FlQueryPortList(&ports, &count);
    if (status == FL_SUCCESS && count < 2) status = FL_ERROR_INVALID_REQUEST;
    if (status == FL_SUCCESS) status = FlPortQueryBoard(ports[0], &board);
    if (status == FL_SUCCESS && modes) {
        FL_AUTONEGOTIATION_PARAMETERS parameters{};
        parameters.Modes = parameters.SupportedModes = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
        parameters.Enabled = 1;
        for (uint32_t i = 0; i < 2 && status == FL_SUCCESS; ++i) {
            status = FlPortSetAutonegotiationParameters(ports[i], &parameters);
        }
    } else if (status == FL_SUCCESS && std::strcmp(argv[1], "query") != 0) {
        status = FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, std::strcmp(argv[1], "on") == 0 ? 1 : 0);
    }
    uint32_t value = 0;
    if (status == FL_SUCCESS) status = FlBoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &value);
    if (ports != nullptr) FlFreePortList(ports);
    if (status != FL_SUCCESS) {
        std::printf("%s (%08x)\n", FlStatusGetString(status), status);
        return 1;
    }
    std::printf("passthru %u\n", value);
    return 0;
}
