/*
 * pcapng_output.cpp - FlDump_ng's pcap-ng output and what makes the shared
 * capture loop FlDump_ng.
 */
#include "pcapng_output.h"

namespace {

const char* const kUsage[] = {
    "Usage: FlDump_ng.exe filename ",
    "[-f <filter string>] ",
    "[-p <port name>] [-s <snaplen>] \n",
    "\n",
    "\tfilename            name of the file to dump to\n",
    "\t-f <filter string>  filter string, in the libpcap/tcpdump format \n",
    "\t                    (e.g. \"tcp port 80\").\n",
    "\t-p <port name>      name of the port to capture from.\n",
    "\t-s <snaplen>        save only the first <snaplen> bytes of each packet\n",
};

// The system's reason for the writer's failure, if a system call failed.
void PrintReason(const PCAPNG_OUTPUT* Output)
{
    if (Output->Handlers.handle != nullptr) {
        print_system_reason(native_file_system_error(static_cast<const NativeFile*>(Output->Handlers.handle)));
    }
}

// The physical ports behind the instance's port: one for a physical port,
// the members of an aggregating one. 0 after the failure's message.
ULONG CountInterfaces(FL_INSTANCE Instance)
{
    FL_PORT port = FlInstanceGetPort(Instance);
    if (FlPortGetType(port) == FL_PORT_TYPE_PHYSICAL) {
        return 1;
    }
    FL_PORT* members = nullptr;
    uint32_t count = 0;
    const FL_STATUS status = FlPortQueryAggregatedPortList(port, &members, &count);
    if (status != FL_SUCCESS) {
        printf("Error listing the physical ports of an aggregating port: %s (%08x)\n",
               FlStatusGetString(status), status);
        return 0;
    }
    return count;
}

BOOLEAN WriteInterface(PCAPNG_OUTPUT* Output)
{
    ZethBlock* block = nullptr;
    uint32_t code = zeth_create_block(Output->Section, ZETH_BLOCK_TYPE_IDB, &Output->Idb, &block);
    if (code != ZETH_SUCCESS) {
        printf("Error creating IDB. ZETH error %u\n", code);
        PrintReason(Output);
        return FALSE;
    }
    code = zeth_add_option(block, &Output->FcsOption);
    if (code != ZETH_SUCCESS) {
        printf("Cannot set the option IDB_OPTION_IF_FCSLEN. ZETH error %u\n", code);
        return FALSE;
    }
    code = zeth_add_option(block, &Output->ResolutionOption);
    if (code != ZETH_SUCCESS) {
        printf("Cannot set the option IDB_OPTION_IF_TSACCUR. ZETH error %u\n", code);
        return FALSE;
    }
    code = zeth_close_block(block);
    if (code != ZETH_SUCCESS) {
        printf("Cannot close block. ZETH error %u\n", code);
        PrintReason(Output);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

const DUMP_TOOL FlDumpNgTool = {
    kUsage,
    sizeof(kUsage) / sizeof(kUsage[0]),
    FALSE,    // no -e, no -c
    FALSE,    // no hardware drops
    1000000,  // report after this many packets
    0,        // and never by time
    FALSE,    // the first report measures from the start of the process
    FALSE,    // the stop flag before the key
};

ZethPbRecord make_pb_record(const FL_PACKET_HEADER* Packet, const UCHAR* Data)
{
    ZethPbRecord record = {};
    record.interface_id = static_cast<uint16_t>(FL_PACKET_PORT_INDEX(Packet->Flags));
    record.drops_count = 0;
    record.timestamp_high = static_cast<uint32_t>(Packet->Timestamp >> 32);
    record.timestamp_low = static_cast<uint32_t>(Packet->Timestamp);
    record.captured_length = Packet->CapturedLength;
    record.packet_length = Packet->WireLength;
    record.packet_data = Data;
    return record;
}

BOOLEAN open_pcapng_output(PCAPNG_OUTPUT* Output, const char* FileName, ULONG BufferSize,
                           ULONG BufferCount, USHORT SnapLength, FL_INSTANCE Instance)
{
    *Output = PCAPNG_OUTPUT{};
    ULONG code = native_file_open(FileName, BufferSize, BufferCount, &Output->Handlers);
    if (code != NATIVE_FILE_SUCCESS) {
        Output->Handlers = ZethFileHandlers{};
        printf("Error opening the file natively, ZETH error %u\n", code);
        print_system_reason(GetLastError());
        return FALSE;
    }
    code = zeth_open_file(Output->Handlers.read, Output->Handlers.write, Output->Handlers.seek,
                          Output->Handlers.handle, "w", &Output->File);
    if (code != ZETH_SUCCESS) {
        Output->File = nullptr;
        printf("Error creating the file, ZETH error %u\n", code);
        PrintReason(Output);
        return FALSE;
    }
    code = zeth_create_section(Output->File, &Output->Section);
    if (code != ZETH_SUCCESS) {
        Output->Section = nullptr;
        printf("Error creating section, ZETH error %u\n", code);
        PrintReason(Output);
        return FALSE;
    }

    const ULONG interfaces = CountInterfaces(Instance);
    if (interfaces == 0) {
        return FALSE;
    }
    Output->Idb.link_type = 1;  // Ethernet
    Output->Idb.reserved = 0;
    Output->Idb.snap_length = SnapLength;
    Output->FcsLength = PCAPNG_FCS_LENGTH;
    Output->TimestampResolution = PCAPNG_TIMESTAMP_RESOLUTION;
    Output->FcsOption = ZethOption{nullptr, IDB_OPTION_IF_FCSLEN, &Output->FcsLength};
    Output->ResolutionOption = ZethOption{nullptr, IDB_OPTION_IF_TSACCUR, &Output->TimestampResolution};
    for (ULONG i = 0; i < interfaces; ++i) {
        if (!WriteInterface(Output)) {
            return FALSE;
        }
        Output->Interfaces += 1;
    }
    // The file is whole from here on, with no packet yet.
    native_file_mark(static_cast<NativeFile*>(Output->Handlers.handle), 0);
    return TRUE;
}

DUMP_WRITE_RESULT write_pcapng_packet(PCAPNG_OUTPUT* Output, const FL_PACKET_HEADER* Packet,
                                      const UCHAR* Data)
{
    // ZETH hands the packet's bytes to the writer as one run; one longer
    // than a writer buffer would be refused after the block's start had
    // gone to the file, leaving a block cut in two.
    const auto* writer = static_cast<const NativeFile*>(Output->Handlers.handle);
    if (Packet->CapturedLength > writer->BufferSize) {
        printf("Error dumping the packet. ZETH error %u\n", NATIVE_FILE_FAILURE);
        return DumpWriteSkipped;
    }
    const ZethPbRecord record = make_pb_record(Packet, Data);
    ZethBlock* block = nullptr;
    uint32_t code = zeth_create_block(Output->Section, ZETH_BLOCK_TYPE_PB, &record, &block);
    if (code != ZETH_SUCCESS) {
        printf("Error dumping the packet. ZETH error %u\n", code);
        PrintReason(Output);
        return DumpWriteSkipped;
    }
    code = zeth_close_block(block);
    if (code != ZETH_SUCCESS) {
        // The block stays open in ZETH and every later block would be
        // refused: the file cannot take another packet.
        printf("Error closing block. ZETH error %u\n", code);
        PrintReason(Output);
        return DumpWriteBroken;
    }
    native_file_mark(static_cast<NativeFile*>(Output->Handlers.handle), ++Output->Written);
    return DumpWriteDone;
}

BOOLEAN close_pcapng_output(PCAPNG_OUTPUT* Output)
{
    BOOLEAN closed = TRUE;
    if (Output->Section != nullptr) {
        const uint32_t code = zeth_close_section(Output->Section);
        Output->Section = nullptr;
        if (code != ZETH_SUCCESS) {
            printf("Error closing section. ZETH error %u\n", code);
            PrintReason(Output);
            closed = FALSE;
        }
    }
    if (Output->File != nullptr) {
        const uint32_t code = zeth_close_file(Output->File);
        Output->File = nullptr;
        if (code != ZETH_SUCCESS) {
            printf("Error closing file. ZETH error %u\n", code);
            PrintReason(Output);
            closed = FALSE;
        }
    }
    // The writer last: it trims the file to what was written.
    if (Output->Handlers.handle != nullptr) {
        const ULONG code = native_file_close_counted(&Output->Handlers, &Output->InFile);
        if (code != NATIVE_FILE_SUCCESS) {
            printf("Error closing the native file handlers. ZETH error %u\n", code);
            print_system_reason(GetLastError());
            closed = FALSE;
        }
    }
    return closed;
}

BOOLEAN PcapNgDumpOutput::Open(const DUMP_SETTINGS& Settings, FL_INSTANCE Instance)
{
    return open_pcapng_output(&Output_, Settings.FileName, Settings.BufferSize, Settings.BufferCount,
                              Settings.SnapLength, Instance);
}

DUMP_WRITE_RESULT PcapNgDumpOutput::WritePacket(const FL_PACKET_HEADER& Header, const UCHAR* Data)
{
    return write_pcapng_packet(&Output_, &Header, Data);
}

BOOLEAN PcapNgDumpOutput::Close()
{
    return close_pcapng_output(&Output_);
}
