/*
 * pcap_output.cpp - FlDump's pcap records.
 */
#include "pcap_output.h"

#include "dump_tool.h"

#include <cstdio>

PCAP_FILE_HEADER make_pcap_file_header(USHORT SnapLength, BOOLEAN Ppi)
{
    PCAP_FILE_HEADER header{};
    header.Magic = PCAP_MAGIC_MICROSECONDS;
    header.VersionMajor = PCAP_VERSION_MAJOR;
    header.VersionMinor = PCAP_VERSION_MINOR;
    header.ThisZone = 0;
    header.SigFigs = 0;
    header.SnapLength = SnapLength + (Ppi ? PPI_HEADER_LENGTH : 0u);
    header.LinkType = Ppi ? PCAP_LINKTYPE_PPI : PCAP_LINKTYPE_ETHERNET;
    return header;
}

PCAP_RECORD_HEADER make_pcap_record_header(const FL_PACKET_HEADER* Packet, BOOLEAN Ppi)
{
    const ULONG extra = Ppi ? PPI_HEADER_LENGTH : 0u;
    PCAP_RECORD_HEADER header{};
    header.Seconds = static_cast<ULONG>(Packet->Timestamp / 1000000000ull);
    header.Microseconds = static_cast<ULONG>((Packet->Timestamp % 1000000000ull) / 1000u);
    header.IncludedLength = Packet->CapturedLength + extra;
    header.OriginalLength = Packet->WireLength + extra;
    return header;
}

PPI_RECORD_PREFIX make_ppi_record_prefix(const FL_PACKET_HEADER* Packet)
{
    PPI_RECORD_PREFIX prefix{};
    prefix.Header.Version = 0;
    prefix.Header.Flags = 0;
    prefix.Header.Length = PPI_HEADER_LENGTH;
    prefix.Header.LinkType = PCAP_LINKTYPE_ETHERNET;
    prefix.AggregationField.Type = PPI_FIELD_AGGREGATION;
    prefix.AggregationField.Length = sizeof(prefix.InterfaceId);
    prefix.InterfaceId = Packet->Flags >> 24;
    prefix.Ieee8023Field.Type = PPI_FIELD_8023;
    prefix.Ieee8023Field.Length = sizeof(prefix.Ieee8023);
    prefix.Ieee8023.Flags = Packet->Flags & PPI_8023_FLAG_FCS_PRESENT;
    prefix.Ieee8023.Errors = Packet->Errors;
    return prefix;
}

ULONG write_pcap_header(NativeFile* File, USHORT SnapLength, BOOLEAN Ppi)
{
    const PCAP_FILE_HEADER header = make_pcap_file_header(SnapLength, Ppi);
    return native_file_write(File, &header, sizeof(header));
}

ULONG write_pcap_record(NativeFile* File, BOOLEAN Ppi, const FL_PACKET_HEADER* Packet,
                        const UCHAR* Data)
{
    const PCAP_RECORD_HEADER header = make_pcap_record_header(Packet, Ppi);

    // A record goes to the file whole or not at all: a run the writer would
    // refuse (longer than a buffer) is refused here before any of the record
    // is written, so that the file never holds a header without its frame.
    // The PPI pieces are all shorter than the record header.
    if (sizeof(header) > File->BufferSize || Packet->CapturedLength > File->BufferSize) {
        if (!Ppi && sizeof(header) > File->BufferSize) {
            printf("Error dumping the header. Internal error code %u\n", NATIVE_FILE_FAILURE);
        } else {
            printf("Error dumping the packet. Internal error code %u\n", NATIVE_FILE_FAILURE);
        }
        return NATIVE_FILE_FAILURE;
    }

    if (!Ppi) {
        ULONG code = native_file_write(File, &header, sizeof(header));
        if (code != NATIVE_FILE_SUCCESS) {
            printf("Error dumping the header. Internal error code %u\n", code);
            print_system_reason(native_file_system_error(File));
            return code;
        }
        code = native_file_write(File, Data, Packet->CapturedLength);
        if (code != NATIVE_FILE_SUCCESS) {
            printf("Error dumping the packet. Internal error code %u\n", code);
            print_system_reason(native_file_system_error(File));
        }
        return code;
    }

    // The same sequence of runs for every packet: record header, the PPI
    // header piece by piece, then the frame.
    const PPI_RECORD_PREFIX prefix = make_ppi_record_prefix(Packet);
    const struct {
        const void* Data;
        ULONG Length;
    } runs[] = {
        {&header, sizeof(header)},
        {&prefix.Header, sizeof(prefix.Header)},
        {&prefix.AggregationField, sizeof(prefix.AggregationField)},
        {&prefix.InterfaceId, sizeof(prefix.InterfaceId)},
        {&prefix.Ieee8023Field, sizeof(prefix.Ieee8023Field)},
        {&prefix.Ieee8023, sizeof(prefix.Ieee8023)},
        {Data, Packet->CapturedLength},
    };
    for (const auto& run : runs) {
        const ULONG code = native_file_write(File, run.Data, run.Length);
        if (code != NATIVE_FILE_SUCCESS) {
            printf("Error dumping the packet. Internal error code %u\n", code);
            print_system_reason(native_file_system_error(File));
            return code;
        }
    }
    return NATIVE_FILE_SUCCESS;
}
