/*
 * dump_tool.cpp - command line, port, filter, receive loop and totals of
 * both dump tools.
 */
#include "dump_tool.h"

#include <conio.h>

#include <atomic>
#include <cctype>

namespace {

// Set by the console control thread, read by the main loop once per pass.
// Nothing else travels with it, so relaxed order is enough.
std::atomic<LONG> StopFlag{0};

// The C runtime's clock counts from the start of the process; the tick count
// taken when the program is loaded stands for that start.
const ULONGLONG ProcessStartTick = GetTickCount64();

// Every packet passes through the filter with its captured bytes only, and
// FlApi's captured lengths never exceed this.
constexpr ULONG kLongestPacket = 0xFFFFu;

// Takes the option's value as "%u" would; FALSE when it does not parse.
BOOLEAN ParseUnsigned(const char* Text, ULONG* Value)
{
    unsigned int value = 0;
    if (sscanf(Text, "%u", &value) != 1) {
        return FALSE;
    }
    *Value = value;
    return TRUE;
}

}  // namespace

/* ---- command line ---- */

void print_usage(const DUMP_TOOL& Tool)
{
    for (ULONG i = 0; i < Tool.UsageStrings; ++i) {
        printf("%s", Tool.UsageText[i]);
    }
}

void default_settings(const char* FileName, DUMP_SETTINGS* Settings)
{
    *Settings = DUMP_SETTINGS{};
    Settings->FileName = FileName;
    Settings->SnapLength = DUMP_DEFAULT_SNAP_LENGTH;
    Settings->BufferCount = DUMP_DEFAULT_BUFFER_COUNT;
    Settings->BufferSize = DUMP_DEFAULT_BUFFER_SIZE;
}

namespace {

// "-x" or "-X".
BOOLEAN IsOption(const char* Argument, char Letter)
{
    return Argument[0] == '-' && tolower(static_cast<unsigned char>(Argument[1])) == Letter &&
           Argument[2] == '\0';
}

}  // namespace

void parse_options(const DUMP_TOOL& Tool, int OptionCount, char** Options, DUMP_SETTINGS* Settings)
{
    for (int i = 0; i < OptionCount; ++i) {
        const char* option = Options[i];
        if (IsOption(option, 'p') || IsOption(option, 'f') || IsOption(option, 'a') ||
            IsOption(option, 's') || IsOption(option, 'b')) {
            // The value is the next argument; as the last argument the
            // option is ignored.
            if (i + 1 == OptionCount) {
                break;
            }
            const char* value = Options[++i];
            ULONG number = 0;
            switch (tolower(static_cast<unsigned char>(option[1]))) {
            case 'p':
                Settings->PortName = value;
                break;
            case 'f':
                Settings->FilterText = value;
                break;
            case 'a':
                if (ParseUnsigned(value, &number)) Settings->BufferCount = number;
                break;
            case 'b':
                if (ParseUnsigned(value, &number)) Settings->BufferSize = number;
                break;
            case 's':
                if (ParseUnsigned(value, &number) && number < 65536u) {
                    Settings->SnapLength = static_cast<USHORT>(number);
                }
                break;
            }
        } else if (Tool.PcapOptions && IsOption(option, 'e')) {
            Settings->Ppi = TRUE;
        } else if (Tool.PcapOptions && IsOption(option, 'c')) {
            Settings->UseCache = TRUE;
        } else {
            printf("Unknown option %s\n", option);
        }
    }
}

BOOLEAN check_buffer_layout(const DUMP_SETTINGS& Settings)
{
    // Each packet's bytes go to the writer as one run, and a run must fit in
    // one buffer: a smaller buffer would fail every packet of full length.
    const ULONG longestRun = Settings.SnapLength < kLongestPacket ? Settings.SnapLength : kLongestPacket;
    if (Settings.BufferCount == 0) {
        printf("The number of buffers (-a) must be at least 1\n");
        return FALSE;
    }
    if (Settings.BufferSize < longestRun || Settings.BufferSize < 64) {
        printf("The buffer size (-b) must be at least %u bytes, to hold a packet of the snap length\n",
               longestRun < 64 ? 64u : longestRun);
        return FALSE;
    }
    return TRUE;
}

/* ---- throughput report ---- */

void report_count(DUMP_REPORT* Report, USHORT WireLength)
{
    Report->Packets += 1;
    // The preamble, start delimiter and gap that every frame costs on the wire.
    Report->Bytes += WireLength + 20u;
}

BOOLEAN report_due(const DUMP_TOOL& Tool, const DUMP_REPORT& Report, ULONGLONG CallStart)
{
    if (Report.Packets > Tool.ReportPacketLimit) {
        return TRUE;
    }
    // A report made by the packet count within this buffer lies after the
    // buffer's start: that is no time passed, not a wrapped difference.
    return Tool.ReportIntervalMs != 0 && CallStart > Report.LastTime &&
           CallStart - Report.LastTime > Tool.ReportIntervalMs;
}

void report_print(DUMP_REPORT* Report, ULONGLONG Now)
{
    const ULONGLONG elapsed = Now > Report->LastTime ? Now - Report->LastTime : 0;
    const float seconds = static_cast<float>(elapsed / 1000.0);
    // Within one clock tick the rate cannot be measured; it is taken over one
    // tick rather than printed as infinite.
    const float rateSeconds = elapsed != 0 ? seconds : 0.001f;
    const float rate = static_cast<float>(Report->Bytes) * 8 / rateSeconds;
    printf("Received %llu packets in %f seconds\t Bandwidth = %.2f Mbps\n",
           static_cast<unsigned long long>(Report->Packets), seconds, rate / 1000000);
    // Seen as it happens also when the output goes to a file or a pipe.
    fflush(stdout);
    Report->Packets = 0;
    Report->Bytes = 0;
    Report->LastTime = Now;
}

/* ---- filter ---- */

BOOLEAN filter_prepare(const char* FilterText, DUMP_FILTER* Filter)
{
    *Filter = DUMP_FILTER{};
    // Ethernet frames as the port captured them, whatever the snap length.
    pcap_t* handle = pcap_open_dead(DLT_EN10MB, 65535);
    if (handle == nullptr) {
        printf("Internal error. Cannot create a pcap instance to filter the packets.\n");
        return FALSE;
    }
    if (pcap_compile(handle, &Filter->Program, FilterText, 1, 0xFFFFFF00u) != 0) {
        printf("Error compiling the filter string: %s\n", pcap_geterr(handle));
        pcap_close(handle);
        return FALSE;
    }
    Filter->Handle = handle;
    Filter->Compiled = TRUE;
    return TRUE;
}

BOOLEAN filter_accepts(const DUMP_FILTER& Filter, const FL_PACKET_HEADER& Header, const UCHAR* Data)
{
    if (!Filter.Compiled) {
        return TRUE;
    }
    pcap_pkthdr header = {};
    header.caplen = Header.CapturedLength;
    header.len = Header.WireLength;
    return pcap_offline_filter(&Filter.Program, &header, Data) != 0;
}

void filter_release(DUMP_FILTER* Filter)
{
    if (Filter->Compiled) {
        pcap_freecode(&Filter->Program);
        pcap_close(Filter->Handle);
    }
    *Filter = DUMP_FILTER{};
}

/* ---- ports ---- */

namespace {

// Reception on, or the instance closed again.
FL_INSTANCE EnableReception(FL_INSTANCE Instance)
{
    const FL_STATUS status = FlInstanceSetFeature(Instance, FL_INSTANCE_FT_RX_ENABLE, 1);
    if (status != FL_SUCCESS) {
        printf("Cannot enable reception, %s (%08x)\n", FlStatusGetString(status), status);
        FlInstanceClose(Instance);
        return nullptr;
    }
    return Instance;
}

}  // namespace

FL_INSTANCE open_port_by_name(const char* PortName)
{
    FL_INSTANCE instance = nullptr;
    const FL_STATUS status = FlInstanceOpenByName(PortName, &instance);
    if (status != FL_SUCCESS) {
        printf("Cannot open port, %s (%08x)\n", FlStatusGetString(status), status);
        return nullptr;
    }
    return EnableReception(instance);
}

FL_INSTANCE choose_port(FILE* Input)
{
    FL_PORT* ports = nullptr;
    uint32_t count = 0;
    FL_STATUS status = FlQueryPortList(&ports, &count);
    if (status != FL_SUCCESS) {
        printf("Error in FlQueryPortList: %s (%08x)\n", FlStatusGetString(status), status);
        return nullptr;
    }
    if (count == 0) {
        printf("\nNo ports found! Make sure Ferrolan is installed.\n");
        FlFreePortList(ports);
        return nullptr;
    }
    for (uint32_t i = 0; i < count; ++i) {
        printf("%u. %s (%s)\n", i, FlPortGetName(ports[i]), FlPortGetDescription(ports[i]));
    }
    printf("Enter the port number (0-%u):", count - 1);
    fflush(stdout);

    unsigned int choice = 0;
    if (fscanf(Input, "%u", &choice) != 1 || choice >= count) {
        printf("\nPort number out of range.\n");
        FlFreePortList(ports);
        return nullptr;
    }
    FL_INSTANCE instance = nullptr;
    status = FlInstanceOpenByPort(ports[choice], &instance);
    if (status != FL_SUCCESS) {
        printf("Cannot open port, %s (%08x)\n", FlStatusGetString(status), status);
        instance = nullptr;
    } else {
        instance = EnableReception(instance);
    }
    FlFreePortList(ports);
    return instance;
}

/* ---- capture ---- */

BOOLEAN dump_packets_buffer(DUMP_CAPTURE* Capture, FL_PACKETS_BUFFER PacketsBuffer,
                            ULONGLONG* Received, ULONGLONG* Accepted)
{
    const DUMP_TOOL& tool = *Capture->Tool;
    // One clock reading per buffer for the time test.
    const ULONGLONG callStart = tool.ReportIntervalMs != 0 ? Capture->Clock() : 0;
    *Received = 0;
    *Accepted = 0;

    FL_PACKET_HEADER header;
    uint8_t* data = nullptr;
    while (FlPacketsBufferQueryNextPacket(PacketsBuffer, &header, &data) == FL_SUCCESS) {
        *Received += 1;
        report_count(&Capture->Report, header.WireLength);
        if (report_due(tool, Capture->Report, callStart)) {
            report_print(&Capture->Report, Capture->Clock());
        }
        if (!filter_accepts(*Capture->Filter, header, data)) {
            continue;
        }
        *Accepted += 1;
        const DUMP_WRITE_RESULT result = Capture->Output->WritePacket(header, data);
        if (result != DumpWriteDone) {
            Capture->WriteFailed = TRUE;
            if (result == DumpWriteBroken) {
                return FALSE;
            }
        }
    }
    return TRUE;
}

BOOL WINAPI console_ctrl_handler(DWORD CtrlType)
{
    if (CtrlType == CTRL_C_EVENT || CtrlType == CTRL_CLOSE_EVENT) {
        StopFlag.store(1, std::memory_order_relaxed);
        return TRUE;
    }
    return FALSE;
}

BOOLEAN dump_stop_requested(void)
{
    return StopFlag.load(std::memory_order_relaxed) != 0;
}

ULONGLONG dump_clock(void)
{
    return GetTickCount64() - ProcessStartTick;
}

namespace {

struct RunTotals {
    ULONGLONG Received = 0;
    ULONGLONG Accepted = 0;
};

BOOLEAN StopWanted(const DUMP_TOOL& Tool, const DUMP_ENVIRONMENT& Environment)
{
    if (Tool.KeyBeforeStopFlag) {
        return Environment.KeyPressed() != 0 || dump_stop_requested();
    }
    return dump_stop_requested() || Environment.KeyPressed() != 0;
}

// The receive loop; FALSE when it ended on a failure.
BOOLEAN ReceiveLoop(FL_INSTANCE Instance, DUMP_CAPTURE* Capture, const DUMP_ENVIRONMENT& Environment,
                    RunTotals* Totals)
{
    for (;;) {
        FL_PACKETS_BUFFER buffer = nullptr;
        const FL_STATUS status = FlInstanceReceivePackets(Instance, &buffer);
        if (status != FL_SUCCESS) {
            printf("Error receiving packets, %s\n", FlStatusGetString(status));
            return FALSE;
        }
        if (buffer != nullptr) {
            ULONGLONG received = 0;
            ULONGLONG accepted = 0;
            const BOOLEAN goOn = dump_packets_buffer(Capture, buffer, &received, &accepted);
            Totals->Received += received;
            Totals->Accepted += accepted;
            FlPacketsBufferDestroy(buffer);
            if (!goOn) {
                return FALSE;
            }
        }
        if (StopWanted(*Capture->Tool, Environment)) {
            return TRUE;
        }
    }
}

// The hardware's drop count since reception was switched on; 0 when it
// cannot be read.
ULONGLONG HardwareDrops(FL_INSTANCE Instance)
{
    ULONGLONG dropped = 0;
    FL_STATISTICS statistics = nullptr;
    if (FlInstanceQueryStatistics(Instance, &statistics) == FL_SUCCESS) {
        uint64_t value = 0;
        if (FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_DROPPED, &value) == FL_SUCCESS) {
            dropped = value;
        }
        FlStatisticsDestroy(statistics);
    }
    return dropped;
}

// Steps from the instance to the closed output; answers the exit status so
// far and the totals.
int Capture(const DUMP_TOOL& Tool, DumpOutput& Output, const DUMP_SETTINGS& Settings,
            const DUMP_FILTER& Filter, FL_INSTANCE Instance, const DUMP_ENVIRONMENT& Environment,
            RunTotals* Totals)
{
    int exitStatus = DUMP_EXIT_SUCCESS;

    if (Tool.HardwareDrops) {
        // Only whether the counters can be read matters here.
        FL_STATISTICS statistics = nullptr;
        const FL_STATUS status = FlInstanceQueryStatistics(Instance, &statistics);
        if (status != FL_SUCCESS) {
            printf("Error getting the statistics, %s\n", FlStatusGetString(status));
            exitStatus = DUMP_EXIT_FAILURE;
        } else {
            FlStatisticsDestroy(statistics);
        }
    }

    const FL_STATUS status = FlInstanceSetFeature(Instance, FL_INSTANCE_FT_SNAPLEN, Settings.SnapLength);
    if (status != FL_SUCCESS) {
        printf("Error setting the snaplen in the driver: %s (%u)\n", FlStatusGetString(status), status);
        return DUMP_EXIT_FAILURE;
    }

    if (Output.Open(Settings, Instance)) {
        printf("\n");
        printf("Dump to disk in progress. Press a key (or CTRL-C) to stop the capture.\n");
        fflush(stdout);

        DUMP_CAPTURE capture = {};
        capture.Tool = &Tool;
        capture.Output = &Output;
        capture.Filter = &Filter;
        capture.Clock = Environment.Clock;
        if (Tool.ReportFromCaptureStart) {
            capture.Report.LastTime = Environment.Clock();
        }
        if (!ReceiveLoop(Instance, &capture, Environment, Totals) || capture.WriteFailed) {
            exitStatus = DUMP_EXIT_FAILURE;
        }
    } else {
        exitStatus = DUMP_EXIT_FAILURE;
    }
    // Data that may not have reached the disk make a failed capture.
    if (!Output.Close()) {
        exitStatus = DUMP_EXIT_FAILURE;
    }
    return exitStatus;
}

}  // namespace

int dump_run(int argc, char** argv, const DUMP_TOOL& Tool, DumpOutput& Output,
             const DUMP_ENVIRONMENT& Environment)
{
    if (argc < 2) {
        print_usage(Tool);
        return DUMP_EXIT_FAILURE;
    }
    DUMP_SETTINGS settings;
    default_settings(argv[1], &settings);
    StopFlag.store(0, std::memory_order_relaxed);
    SetConsoleCtrlHandler(console_ctrl_handler, TRUE);

    int exitStatus = DUMP_EXIT_FAILURE;
    DUMP_FILTER filter = {};
    FL_INSTANCE instance = nullptr;
    if (argc > 2) {
        parse_options(Tool, argc - 2, argv + 2, &settings);
    }
    if (!check_buffer_layout(settings)) {
        goto Exit;
    }
    if (settings.FilterText != nullptr && !filter_prepare(settings.FilterText, &filter)) {
        goto Exit;
    }
    instance = settings.PortName != nullptr ? open_port_by_name(settings.PortName)
                                            : choose_port(Environment.Input);
    if (instance == nullptr) {
        filter_release(&filter);
        goto Exit;
    }

    {
        RunTotals totals;
        exitStatus = Capture(Tool, Output, settings, filter, instance, Environment, &totals);
        filter_release(&filter);

        const ULONGLONG dropped = Tool.HardwareDrops ? HardwareDrops(instance) : 0;
        const FL_STATUS status = FlInstanceClose(instance);
        if (status != FL_SUCCESS) {
            printf("Error closing instance, %s\n", FlStatusGetString(status));
        }
        // Only what the file holds was dumped: after a failed write that is
        // fewer than were accepted.
        const ULONGLONG inFile = Output.PacketsInFile();
        printf("\n");
        printf("%llu packets received by the application\n", static_cast<unsigned long long>(totals.Received));
        printf("%llu packets accepted by the filter and dumped to disk\n",
               static_cast<unsigned long long>(inFile < totals.Accepted ? inFile : totals.Accepted));
        if (inFile < totals.Accepted) {
            printf("%llu packets accepted by the filter but not written to disk\n",
                   static_cast<unsigned long long>(totals.Accepted - inFile));
        }
        if (Tool.HardwareDrops) {
            printf("%llu packets dropped by the hardware\n", static_cast<unsigned long long>(dropped));
        }
    }

Exit:
    SetConsoleCtrlHandler(console_ctrl_handler, FALSE);
    fflush(stdout);
    return exitStatus;
}

int dump_main(int argc, char** argv, const DUMP_TOOL& Tool, DumpOutput& Output)
{
    const DUMP_ENVIRONMENT environment = {stdin, _kbhit, dump_clock};
    return dump_run(argc, argv, Tool, Output, environment);
}
