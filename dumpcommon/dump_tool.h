/*
 * dump_tool.h - what both dump tools are above their file formats: the
 * command line, the choice and opening of the port, the filter, the receive
 * loop with its throughput report, the stop, the totals and the exit status.
 *
 * A tool is this code, a DUMP_TOOL saying where the tool differs from the
 * other one, and a DumpOutput writing its file format. Everything runs on the
 * main thread but console_ctrl_handler, which the system calls on a thread of
 * its own and which only sets the stop flag.
 */
#pragma once

#include <windows.h>

#include <FlApi.h>
#include <pcap/pcap.h>

#include <cstdio>

#define DUMP_EXIT_SUCCESS 0
#define DUMP_EXIT_FAILURE (-1)

#define DUMP_DEFAULT_SNAP_LENGTH  65535u
#define DUMP_DEFAULT_BUFFER_COUNT 16u
#define DUMP_DEFAULT_BUFFER_SIZE  0x40000u

/* The run's settings, from the command line. */
typedef struct _DUMP_SETTINGS {
    const char* FileName;
    const char* PortName;    /* NULL: list the ports and ask */
    const char* FilterText;  /* NULL: every packet is kept */
    USHORT SnapLength;
    ULONG BufferCount;
    ULONG BufferSize;
    BOOLEAN Ppi;             /* -e, FlDump only */
    BOOLEAN UseCache;        /* -c, FlDump only */
} DUMP_SETTINGS;

/* Where the two tools differ. */
typedef struct _DUMP_TOOL {
    const char* const* UsageText;  /* printed one string after the other */
    ULONG UsageStrings;
    BOOLEAN PcapOptions;           /* knows -e and -c */
    BOOLEAN HardwareDrops;         /* asks for the instance's statistics at the start and
                                      prints the hardware's drop count at the end */
    ULONGLONG ReportPacketLimit;   /* a report when more packets than this came in */
    ULONGLONG ReportIntervalMs;    /* ... or when a buffer starts later than this after the
                                      last report; 0: no time test */
    BOOLEAN ReportFromCaptureStart; /* the first report measures from the capture's start,
                                       not from the start of the process */
    BOOLEAN KeyBeforeStopFlag;     /* order of the two stop tests */
} DUMP_TOOL;

/* The answer of DumpOutput::WritePacket. */
typedef enum _DUMP_WRITE_RESULT {
    DumpWriteDone = 0,
    DumpWriteSkipped,  /* this packet is lost; the file can take the next one */
    DumpWriteBroken    /* the file can take no more packets: the capture ends */
} DUMP_WRITE_RESULT;

/* A tool's file format. Each operation prints its own messages. */
class DumpOutput {
public:
    virtual ~DumpOutput() = default;
    /* Opens the file and writes what comes before the first packet. A failure
     * leaves whatever was opened for Close. */
    virtual BOOLEAN Open(const DUMP_SETTINGS& Settings, FL_INSTANCE Instance) = 0;
    virtual DUMP_WRITE_RESULT WritePacket(const FL_PACKET_HEADER& Header, const UCHAR* Data) = 0;
    /* Closes whatever was opened, in reverse order; FALSE when something that
     * was written may not have reached the disk. */
    virtual BOOLEAN Close() = 0;
    /* After Close: the packets the file holds, every one of them whole. */
    virtual ULONGLONG PacketsInFile() const = 0;
};

/* Prints the system's reason for a failure, the text of its Win32 error, on a
 * line of its own after the failure's message; nothing for 0. */
void print_system_reason(DWORD Error);

/* The world around a run: the keyboard, the clock and the answers typed in.
 * dump_main passes the process's own; tests their own. */
typedef struct _DUMP_ENVIRONMENT {
    FILE* Input;                  /* the port number is read from here */
    int (*KeyPressed)(void);      /* _kbhit */
    ULONGLONG (*Clock)(void);     /* dump_clock */
} DUMP_ENVIRONMENT;

/* ---- command line ---- */

void print_usage(const DUMP_TOOL& Tool);
void default_settings(const char* FileName, DUMP_SETTINGS* Settings);
/* Options are the arguments after the file name. */
void parse_options(const DUMP_TOOL& Tool, int OptionCount, char** Options, DUMP_SETTINGS* Settings);
/* Refuses, with a message, a buffer layout that could not hold one whole
 * packet of the snap length, or no buffer at all. */
BOOLEAN check_buffer_layout(const DUMP_SETTINGS& Settings);

/* ---- throughput report ---- */

typedef struct _DUMP_REPORT {
    ULONGLONG Packets;   /* since the last report */
    ULONGLONG Bytes;     /* wire bytes plus 20 per packet, since the last report */
    ULONGLONG LastTime;  /* clock value of the last report */
} DUMP_REPORT;

/* One packet of WireLength bytes came in. */
void report_count(DUMP_REPORT* Report, USHORT WireLength);
/* CallStart: the clock when the packets buffer's processing started. */
BOOLEAN report_due(const DUMP_TOOL& Tool, const DUMP_REPORT& Report, ULONGLONG CallStart);
/* Prints the report and starts the next one at Now. */
void report_print(DUMP_REPORT* Report, ULONGLONG Now);

/* ---- filter ---- */

typedef struct _DUMP_FILTER {
    pcap_t* Handle;
    struct bpf_program Program;
    BOOLEAN Compiled;
} DUMP_FILTER;

/* Prints its own failure messages; a failure leaves nothing to release. */
BOOLEAN filter_prepare(const char* FilterText, DUMP_FILTER* Filter);
/* TRUE for a packet to keep; always TRUE without a prepared filter. */
BOOLEAN filter_accepts(const DUMP_FILTER& Filter, const FL_PACKET_HEADER& Header, const UCHAR* Data);
void filter_release(DUMP_FILTER* Filter);

/* ---- ports ---- */

/* An instance with reception on, or NULL after the failure's message. */
FL_INSTANCE open_port_by_name(const char* PortName);
FL_INSTANCE choose_port(FILE* Input);

/* ---- capture ---- */

typedef struct _DUMP_CAPTURE {
    const DUMP_TOOL* Tool;
    DumpOutput* Output;
    const DUMP_FILTER* Filter;
    ULONGLONG (*Clock)(void);
    DUMP_REPORT Report;           /* survives from one packets buffer to the next */
    BOOLEAN WriteFailed;          /* some packet could not be written */
} DUMP_CAPTURE;

/* Takes every packet of the buffer: report, filter, write. FALSE when the
 * output broke and the capture must end; the counts cover what was taken. */
BOOLEAN dump_packets_buffer(DUMP_CAPTURE* Capture, FL_PACKETS_BUFFER PacketsBuffer,
                            ULONGLONG* Received, ULONGLONG* Accepted);

/* Sets the stop flag for Ctrl-C and the console's closing. */
BOOL WINAPI console_ctrl_handler(DWORD CtrlType);
BOOLEAN dump_stop_requested(void);

/* Milliseconds since the process started, as the C runtime's clock counts
 * them on Windows. */
ULONGLONG dump_clock(void);

/* The whole program; answers the exit status. */
int dump_run(int argc, char** argv, const DUMP_TOOL& Tool, DumpOutput& Output,
             const DUMP_ENVIRONMENT& Environment);
int dump_main(int argc, char** argv, const DUMP_TOOL& Tool, DumpOutput& Output);
