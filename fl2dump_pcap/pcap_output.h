/*
 * pcap_output.h - FlDump's capture file: a classic pcap file with microsecond
 * timestamps, optionally with a PPI header in front of every frame that names
 * the physical port which received it.
 *
 * Every field is written in the host's byte order (readers detect it from the
 * magic number); the PPI header is little-endian by definition, as is the host.
 */
#pragma once

#include "native_file.h"

#include <FlApi.h>

#define PCAP_MAGIC_MICROSECONDS 0xA1B2C3D4u
#define PCAP_VERSION_MAJOR      2
#define PCAP_VERSION_MINOR      4
#define PCAP_LINKTYPE_ETHERNET  1u
#define PCAP_LINKTYPE_PPI       192u

#define PPI_HEADER_LENGTH            28u
#define PPI_FIELD_AGGREGATION        8u   /* interface id of the member port */
#define PPI_FIELD_8023               9u   /* 802.3 flags and errors */
#define PPI_8023_FLAG_FCS_PRESENT    0x1u

#pragma pack(push, 1)

typedef struct _PCAP_FILE_HEADER {
    ULONG Magic;
    USHORT VersionMajor;
    USHORT VersionMinor;
    LONG ThisZone;
    ULONG SigFigs;
    ULONG SnapLength;
    ULONG LinkType;
} PCAP_FILE_HEADER;

typedef struct _PCAP_RECORD_HEADER {
    ULONG Seconds;
    ULONG Microseconds;
    ULONG IncludedLength;
    ULONG OriginalLength;
} PCAP_RECORD_HEADER;

typedef struct _PPI_PACKET_HEADER {
    UCHAR Version;
    UCHAR Flags;
    USHORT Length;
    ULONG LinkType;
} PPI_PACKET_HEADER;

typedef struct _PPI_FIELD_HEADER {
    USHORT Type;
    USHORT Length;
} PPI_FIELD_HEADER;

typedef struct _PPI_8023_FIELD {
    ULONG Flags;
    ULONG Errors;
} PPI_8023_FIELD;

/* Everything a PPI record carries between its record header and the frame,
 * in file order. */
typedef struct _PPI_RECORD_PREFIX {
    PPI_PACKET_HEADER Header;
    PPI_FIELD_HEADER AggregationField;
    ULONG InterfaceId;
    PPI_FIELD_HEADER Ieee8023Field;
    PPI_8023_FIELD Ieee8023;
} PPI_RECORD_PREFIX;

#pragma pack(pop)

static_assert(sizeof(PCAP_FILE_HEADER) == 24, "pcap file header is 24 bytes");
static_assert(sizeof(PCAP_RECORD_HEADER) == 16, "pcap record header is 16 bytes");
static_assert(sizeof(PPI_RECORD_PREFIX) == PPI_HEADER_LENGTH, "PPI header is 28 bytes");

/* The headers as they go to the file. */
PCAP_FILE_HEADER make_pcap_file_header(USHORT SnapLength, BOOLEAN Ppi);
PCAP_RECORD_HEADER make_pcap_record_header(const FL_PACKET_HEADER* Packet, BOOLEAN Ppi);
PPI_RECORD_PREFIX make_ppi_record_prefix(const FL_PACKET_HEADER* Packet);

/* Writes the file header with one call; answers 0 or the writer's code. */
ULONG write_pcap_header(NativeFile* File, USHORT SnapLength, BOOLEAN Ppi);

/* Writes one record and prints its own failure message; answers 0 or the
 * writer's code. */
ULONG write_pcap_record(NativeFile* File, BOOLEAN Ppi, const FL_PACKET_HEADER* Packet,
                        const UCHAR* Data);
