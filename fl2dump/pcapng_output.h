/*
 * pcapng_output.h - FlDump_ng's capture file: one pcap-ng section written by
 * ZETH through the native file writer, one interface description per
 * physical port behind the captured port, one packet block per packet with
 * its member port's interface id and nanosecond timestamps.
 */
#pragma once

#include "dump_tool.h"
#include "native_file_zeth.h"

#include <zeth.h>

extern const DUMP_TOOL FlDumpNgTool;

/* Every interface says: frames end with a 4-byte FCS, and timestamps count
 * nanoseconds (10^-9 s). */
#define PCAPNG_FCS_LENGTH          4u
#define PCAPNG_TIMESTAMP_RESOLUTION 9u

typedef struct _PCAPNG_OUTPUT {
    ZethFileHandlers Handlers;      /* Handlers.handle: the native writer, when open */
    ZethFile* File;
    ZethSection* Section;
    ZethIdbRecord Idb;
    UCHAR FcsLength;
    UCHAR TimestampResolution;
    ZethOption FcsOption;           /* linked into each IDB while it is open */
    ZethOption ResolutionOption;
    ULONG Interfaces;               /* IDBs written */
    ULONGLONG Written;              /* packet blocks handed to the writer whole */
    ULONGLONG InFile;               /* after the close: the packet blocks the file holds */
} PCAPNG_OUTPUT;

/* The packet block of one packet. */
ZethPbRecord make_pb_record(const FL_PACKET_HEADER* Packet, const UCHAR* Data);

/* Opens the writer, the ZETH file and section, and writes one IDB per
 * physical port. Prints its own messages; on failure leaves what it opened
 * to close_pcapng_output. */
BOOLEAN open_pcapng_output(PCAPNG_OUTPUT* Output, const char* FileName, ULONG BufferSize,
                           ULONG BufferCount, USHORT SnapLength, FL_INSTANCE Instance);

/* One packet block. */
DUMP_WRITE_RESULT write_pcapng_packet(PCAPNG_OUTPUT* Output, const FL_PACKET_HEADER* Packet,
                                      const UCHAR* Data);

/* Section, ZETH file, then the native writer, each only if it was opened;
 * FALSE when one of them failed. */
BOOLEAN close_pcapng_output(PCAPNG_OUTPUT* Output);

class PcapNgDumpOutput : public DumpOutput {
public:
    PcapNgDumpOutput() : Output_{} {}
    BOOLEAN Open(const DUMP_SETTINGS& Settings, FL_INSTANCE Instance) override;
    DUMP_WRITE_RESULT WritePacket(const FL_PACKET_HEADER& Header, const UCHAR* Data) override;
    BOOLEAN Close() override;
    ULONGLONG PacketsInFile() const override { return Output_.InFile; }

private:
    PCAPNG_OUTPUT Output_;
};
