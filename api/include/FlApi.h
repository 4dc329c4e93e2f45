/*
 * FlApi.h - the exported interface of the Ferrolan capture library.
 *
 * Plain C, usable from C and C++. Everything an application needs to
 * enumerate boards and ports, open instances, receive and transmit packets
 * buffers, read statistics and change the configuration of ports and boards.
 *
 * Every handle is an opaque pointer to an object of the library. Every call
 * that can fail returns an FL_STATUS; FlStatusGetString turns it into text.
 */
#ifndef FLAPI_H
#define FLAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Calling convention and linkage. The library is built with FLAPI_EXPORTS
 * defined; applications leave it undefined.
 */
#if defined(_WIN32)
#  define FLAPI_CALL __cdecl
#  if defined(FLAPI_EXPORTS)
#    define FLAPI __declspec(dllexport)
#  else
#    define FLAPI __declspec(dllimport)
#  endif
#else
#  define FLAPI_CALL
#  if defined(FLAPI_EXPORTS)
#    define FLAPI __attribute__((visibility("default")))
#  else
#    define FLAPI
#  endif
#endif

#if defined(__cplusplus)
#  define FL_STATIC_ASSERT(expr, msg) static_assert(expr, msg)
#else
#  define FL_STATIC_ASSERT(expr, msg) _Static_assert(expr, msg)
#endif

/* ------------------------------------------------------------------------ */
/* Status codes                                                              */
/* ------------------------------------------------------------------------ */

typedef uint32_t FL_STATUS;

#define FL_SUCCESS                      ((FL_STATUS)0x00000000u)
#define FL_SUCCESS_REBOOT_REQUIRED      ((FL_STATUS)0x00000001u)
#define FL_ERROR_PORT_NOT_FOUND         ((FL_STATUS)0x20000001u)
#define FL_ERROR_UNKNOWN                ((FL_STATUS)0x20000002u)
#define FL_ERROR_NOT_IMPLEMENTED        ((FL_STATUS)0x20000003u)
#define FL_ERROR_INVALID_REQUEST        ((FL_STATUS)0x20000004u)
#define FL_ERROR_COUNTER_NOT_AVAILABLE  ((FL_STATUS)0x20000005u)
#define FL_ERROR_NO_MEMORY              ((FL_STATUS)0x20000006u)
#define FL_ERROR_END_OF_BUFFER          ((FL_STATUS)0x20000007u)
#define FL_ERROR_INCONSISTENT_BUFFER    ((FL_STATUS)0x20000008u)
#define FL_ERROR_BUFFER_FULL            ((FL_STATUS)0x20000009u)
#define FL_ERROR_INVALID_PACKET         ((FL_STATUS)0x2000000Au)
#define FL_ERROR_INVALID_PARAMETER      ((FL_STATUS)0x2000000Bu)
#define FL_ERROR_EVENT_CREATION         ((FL_STATUS)0x2000000Cu)
#define FL_ERROR_IO                     ((FL_STATUS)0x2000000Du)
#define FL_ERROR_ALREADY_REGISTERED     ((FL_STATUS)0x2000000Eu)
#define FL_ERROR_BUFFER_TOO_SMALL       ((FL_STATUS)0x2000000Fu)
#define FL_ERROR_REGISTRY               ((FL_STATUS)0x20000010u)

/* 0 and 1 are both success; every error has the form 0x200000nn. */
#define FL_STATUS_IS_SUCCESS(status) ((FL_STATUS)(status) <= FL_SUCCESS_REBOOT_REQUIRED)

/* ------------------------------------------------------------------------ */
/* Handles                                                                   */
/* ------------------------------------------------------------------------ */

typedef struct FL_PORT_OBJECT *FL_PORT;
typedef struct FL_BOARD_OBJECT *FL_BOARD;
typedef struct FL_INSTANCE_OBJECT *FL_INSTANCE;
typedef struct FL_PACKETS_BUFFER_OBJECT *FL_PACKETS_BUFFER;
typedef struct FL_STATISTICS_OBJECT *FL_STATISTICS;

/* ------------------------------------------------------------------------ */
/* Packet record                                                             */
/* ------------------------------------------------------------------------ */

/*
 * Every packet in a packets buffer is this 24-byte header followed by
 * CapturedLength bytes of data and padding to the next multiple of 8.
 * All fields are little-endian.
 */
typedef struct FL_PACKET_HEADER {
    uint64_t Timestamp;       /* ns since 1970-01-01 00:00 UTC; 0 without timestamping */
    uint32_t Flags;           /* FL_PACKET_FLAG_* and the member port index */
    uint16_t WireLength;      /* frame length on the wire, FCS included */
    uint16_t CapturedLength;  /* data bytes stored after the header */
    uint32_t Errors;          /* FL_PACKET_ERROR_* bits; 0 for a good frame */
    uint32_t Reserved;
} FL_PACKET_HEADER, *PFL_PACKET_HEADER;

/* Flags bit 0: the data end with the 4-byte frame check sequence. On
 * transmit: set when the data already carry their FCS. */
#define FL_PACKET_FLAG_FCS_PRESENT      0x00000001u
/* Flags bits 24..31: index of the member port in records read from an
 * aggregating instance; 0 otherwise. */
#define FL_PACKET_FLAG_PORT_INDEX_SHIFT 24
#define FL_PACKET_FLAG_PORT_INDEX_MASK  0xFF000000u
#define FL_PACKET_PORT_INDEX(flags) \
    ((uint32_t)(((flags) & FL_PACKET_FLAG_PORT_INDEX_MASK) >> FL_PACKET_FLAG_PORT_INDEX_SHIFT))

#define FL_PACKET_ERROR_CRC             0x00000001u
#define FL_PACKET_ERROR_SEQUENCE        0x00000002u
#define FL_PACKET_ERROR_SYMBOL          0x00000004u
#define FL_PACKET_ERROR_RX_DATA         0x00000008u

/* Records are padded to 8 bytes; their data length never exceeds this. */
#define FL_PACKET_MAX_LENGTH            0xFFF8u

/* ------------------------------------------------------------------------ */
/* Link status and autonegotiation                                           */
/* ------------------------------------------------------------------------ */

#define FL_DUPLEX_DOWN                  0u
#define FL_DUPLEX_FULL                  1u
#define FL_DUPLEX_HALF                  2u

typedef struct FL_LINK_STATUS {
    uint32_t Speed;           /* Mb/s: 10, 100 or 1000; 0 while the link is down */
    uint32_t Duplex;          /* FL_DUPLEX_* */
    uint8_t LinkUp;           /* nonzero while the link is up */
    uint8_t Reserved[3];
} FL_LINK_STATUS, *PFL_LINK_STATUS;

/* Speed mask shared by the autonegotiation record and the driver's
 * AutonegotiationConfiguration value. */
#define FL_SPEED_10_FULL                0x00000001u
#define FL_SPEED_10_HALF                0x00000002u
#define FL_SPEED_100_FULL               0x00000004u
#define FL_SPEED_100_HALF               0x00000008u
#define FL_SPEED_1000_FULL              0x00000010u
#define FL_SPEED_ALL                    0x0000001Fu

typedef struct FL_AUTONEGOTIATION_PARAMETERS {
    uint32_t Modes;           /* advertised FL_SPEED_* modes */
    uint32_t SupportedModes;  /* on set: equal to Modes */
    uint8_t Enabled;          /* nonzero: autonegotiation on */
    uint8_t Reserved[3];
} FL_AUTONEGOTIATION_PARAMETERS, *PFL_AUTONEGOTIATION_PARAMETERS;

/* Called on the instance's link watcher thread, one call at a time, with a
 * private copy of the link status. The return value is ignored. */
typedef FL_STATUS (FLAPI_CALL *FL_LINK_STATUS_CHANGE_CALLBACK)(
    FL_INSTANCE Instance, FL_LINK_STATUS *LinkStatus, void *Context);

FL_STATIC_ASSERT(sizeof(FL_PACKET_HEADER) == 24, "FL_PACKET_HEADER is 24 bytes");
FL_STATIC_ASSERT(offsetof(FL_PACKET_HEADER, Flags) == 8, "Flags at offset 8");
FL_STATIC_ASSERT(offsetof(FL_PACKET_HEADER, WireLength) == 12, "WireLength at offset 12");
FL_STATIC_ASSERT(offsetof(FL_PACKET_HEADER, CapturedLength) == 14, "CapturedLength at offset 14");
FL_STATIC_ASSERT(offsetof(FL_PACKET_HEADER, Errors) == 16, "Errors at offset 16");
FL_STATIC_ASSERT(sizeof(FL_LINK_STATUS) == 12, "FL_LINK_STATUS is 12 bytes");
FL_STATIC_ASSERT(offsetof(FL_LINK_STATUS, LinkUp) == 8, "LinkUp at offset 8");
FL_STATIC_ASSERT(sizeof(FL_AUTONEGOTIATION_PARAMETERS) == 12,
                 "FL_AUTONEGOTIATION_PARAMETERS is 12 bytes");
FL_STATIC_ASSERT(offsetof(FL_AUTONEGOTIATION_PARAMETERS, Enabled) == 8, "Enabled at offset 8");

/* ------------------------------------------------------------------------ */
/* Port, board, instance and counter identifiers                             */
/* ------------------------------------------------------------------------ */

/* FlPortGetType */
#define FL_PORT_TYPE_PHYSICAL           1u
#define FL_PORT_TYPE_BOARD_AGGREGATING  2u
#define FL_PORT_TYPE_AGGREGATING        3u

/* FlBoardGetType */
#define FL_BOARD_TYPE_GIGABIT_ETHERNET  1u

/* FlInstanceSetFeature / FlInstanceQueryFeature */
#define FL_INSTANCE_FT_SNAPLEN          1u
#define FL_INSTANCE_FT_ERROR_FILTER     2u
#define FL_INSTANCE_FT_READ_THRESHOLD   3u
#define FL_INSTANCE_FT_RX_ENABLE        4u
#define FL_INSTANCE_FT_TX_ENABLE        5u
#define FL_INSTANCE_FT_READ_TIMEOUT     6u

/* Error filter bits (FL_INSTANCE_FT_ERROR_FILTER) */
#define FL_ERROR_FILTER_GOOD            0x00000001u
#define FL_ERROR_FILTER_CRC_ERRORS      0x00000002u
#define FL_ERROR_FILTER_OTHER_ERRORS    0x00000004u

/* FlPortSetFeature / FlPortQueryFeature */
#define FL_PORT_FT_LED0                 1u
#define FL_PORT_FT_LED2                 2u
#define FL_PORT_FT_LED3                 3u
#define FL_PORT_FT_RX_SLOT_SIZE         4u
#define FL_PORT_FT_TX_SLOT_SIZE         5u
#define FL_PORT_FT_RX_SLOTS             6u
#define FL_PORT_FT_TX_SLOTS             7u
#define FL_PORT_FT_RX_DESCRIPTORS       8u
#define FL_PORT_FT_TX_DESCRIPTORS       9u

/* LED feature values */
#define FL_LED_ON                       0u
#define FL_LED_OFF                      1u
#define FL_LED_BLINK                    2u
#define FL_LED_NORMAL                   3u
#define FL_LED_UNKNOWN                  0xFFFFFFFFu

/* FlBoardSetFeature / FlBoardQueryFeature */
#define FL_BOARD_FT_PASSTHRU            1u

/* FlStatisticsQueryValue on the statistics of an instance */
#define FL_INSTANCE_COUNTER_RX_BYTES         0x00010001u
#define FL_INSTANCE_COUNTER_RX_PACKETS       0x00010002u
#define FL_INSTANCE_COUNTER_TX_BYTES         0x00010003u
#define FL_INSTANCE_COUNTER_TX_PACKETS       0x00010004u
#define FL_INSTANCE_COUNTER_RX_GOOD_PACKETS  0x00010005u
#define FL_INSTANCE_COUNTER_RX_ERRORS        0x00010006u
#define FL_INSTANCE_COUNTER_RX_DROPPED       0x00010007u

/* FlStatisticsQueryValue on the statistics of a port */
#define FL_PORT_COUNTER_RX_BYTES             0x00000001u
#define FL_PORT_COUNTER_RX_PACKETS           0x00000002u
#define FL_PORT_COUNTER_RX_GOOD_PACKETS      0x00000003u
#define FL_PORT_COUNTER_RX_ERRORS            0x00000004u
#define FL_PORT_COUNTER_TX_PACKETS           0x00000005u
#define FL_PORT_COUNTER_TX_BYTES             0x00000006u
#define FL_PORT_COUNTER_SLOT_SHORTAGE_POLLS  0xF0000001u
#define FL_PORT_COUNTER_MISSED_PACKETS       0xF0000002u
#define FL_PORT_COUNTER_RX_NO_BUFFER         0xF0000003u
#define FL_PORT_COUNTER_CRC_ERRORS           0xF0000004u
#define FL_PORT_COUNTER_ALIGNMENT_ERRORS     0xF0000005u
#define FL_PORT_COUNTER_RESERVED             0xF0000006u
#define FL_PORT_COUNTER_MGMT_RX_PACKETS      0xF0000007u
#define FL_PORT_COUNTER_MGMT_TX_PACKETS      0xF0000008u
#define FL_PORT_COUNTER_MGMT_DROPPED         0xF0000009u
#define FL_PORT_COUNTER_TX_QUEUE_EMPTY       0xF000000Au

/* ------------------------------------------------------------------------ */
/* Enumeration of boards and ports                                           */
/* ------------------------------------------------------------------------ */

FLAPI FL_STATUS FLAPI_CALL FlQueryPortList(FL_PORT **PortList, uint32_t *PortCount);
FLAPI FL_STATUS FLAPI_CALL FlFreePortList(FL_PORT *PortList);

FLAPI const char *FLAPI_CALL FlPortGetName(FL_PORT Port);
FLAPI const char *FLAPI_CALL FlPortGetDescription(FL_PORT Port);
FLAPI FL_STATUS FLAPI_CALL FlPortSetDescription(FL_PORT Port, const char *Description);
FLAPI FL_STATUS FLAPI_CALL FlPortQueryBoard(FL_PORT Port, FL_BOARD *Board);
FLAPI uint32_t FLAPI_CALL FlPortGetType(FL_PORT Port);
FLAPI FL_STATUS FLAPI_CALL FlPortQueryMacAddress(FL_PORT Port, uint8_t MacAddress[6]);
FLAPI FL_STATUS FLAPI_CALL FlPortQueryAggregatedPortList(FL_PORT Port, FL_PORT **PortList,
                                                         uint32_t *PortCount);
FLAPI uint8_t FLAPI_CALL FlPortIsEqual(FL_PORT Port, FL_PORT OtherPort);

/* ------------------------------------------------------------------------ */
/* Port configuration                                                        */
/* ------------------------------------------------------------------------ */

FLAPI FL_STATUS FLAPI_CALL FlPortQueryLinkStatus(FL_PORT Port, FL_LINK_STATUS *LinkStatus);
FLAPI FL_STATUS FLAPI_CALL FlPortQueryStatistics(FL_PORT Port, FL_STATISTICS *Statistics);
FLAPI FL_STATUS FLAPI_CALL FlPortSetFeature(FL_PORT Port, uint32_t Feature, uint32_t Value);
FLAPI FL_STATUS FLAPI_CALL FlPortQueryFeature(FL_PORT Port, uint32_t Feature, uint32_t *Value);
FLAPI FL_STATUS FLAPI_CALL FlPortQueryAutonegotiationParameters(
    FL_PORT Port, FL_AUTONEGOTIATION_PARAMETERS *Parameters);
FLAPI FL_STATUS FLAPI_CALL FlPortSetAutonegotiationParameters(
    FL_PORT Port, const FL_AUTONEGOTIATION_PARAMETERS *Parameters);

/* ------------------------------------------------------------------------ */
/* Boards                                                                    */
/* ------------------------------------------------------------------------ */

FLAPI const char *FLAPI_CALL FlBoardGetDescription(FL_BOARD Board);
FLAPI uint32_t FLAPI_CALL FlBoardGetType(FL_BOARD Board);
FLAPI uint8_t FLAPI_CALL FlBoardIsEqual(FL_BOARD Board, FL_BOARD OtherBoard);
FLAPI FL_STATUS FLAPI_CALL FlBoardQueryPortList(FL_BOARD Board, FL_PORT **PortList,
                                                uint32_t *PortCount);
FLAPI FL_STATUS FLAPI_CALL FlBoardSetFeature(FL_BOARD Board, uint32_t Feature, uint32_t Value);
FLAPI FL_STATUS FLAPI_CALL FlBoardQueryFeature(FL_BOARD Board, uint32_t Feature,
                                               uint32_t *Value);

/* ------------------------------------------------------------------------ */
/* Instances                                                                 */
/* ------------------------------------------------------------------------ */

FLAPI FL_STATUS FLAPI_CALL FlInstanceOpenByPort(FL_PORT Port, FL_INSTANCE *Instance);
FLAPI FL_STATUS FLAPI_CALL FlInstanceOpenByName(const char *PortName, FL_INSTANCE *Instance);
FLAPI FL_STATUS FLAPI_CALL FlInstanceClose(FL_INSTANCE Instance);
FLAPI FL_PORT FLAPI_CALL FlInstanceGetPort(FL_INSTANCE Instance);
FLAPI FL_STATUS FLAPI_CALL FlInstanceReceivePackets(FL_INSTANCE Instance,
                                                    FL_PACKETS_BUFFER *PacketsBuffer);
FLAPI FL_STATUS FLAPI_CALL FlInstanceSetFeature(FL_INSTANCE Instance, uint32_t Feature,
                                                uint32_t Value);
FLAPI FL_STATUS FLAPI_CALL FlInstanceQueryFeature(FL_INSTANCE Instance, uint32_t Feature,
                                                  uint32_t *Value);
/* An event handle (HANDLE); wait on it with the system's wait functions. */
FLAPI void *FLAPI_CALL FlInstanceGetReceiveWaitHandle(FL_INSTANCE Instance);
FLAPI FL_STATUS FLAPI_CALL FlInstanceTransmitPackets(FL_INSTANCE Instance,
                                                     FL_PACKETS_BUFFER PacketsBuffer);
FLAPI FL_STATUS FLAPI_CALL FlInstanceQueryStatistics(FL_INSTANCE Instance,
                                                     FL_STATISTICS *Statistics);
FLAPI FL_STATUS FLAPI_CALL FlInstanceRegisterEvtLinkStatusChange(
    FL_INSTANCE Instance, FL_LINK_STATUS_CHANGE_CALLBACK Callback, void *Context);

/* ------------------------------------------------------------------------ */
/* Packets buffers                                                           */
/* ------------------------------------------------------------------------ */

FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferCreate(uint32_t Size, FL_PACKETS_BUFFER *PacketsBuffer);
FLAPI void FLAPI_CALL FlPacketsBufferDestroy(FL_PACKETS_BUFFER PacketsBuffer);
FLAPI uint8_t *FLAPI_CALL FlPacketsBufferGetBuffer(FL_PACKETS_BUFFER PacketsBuffer);
FLAPI uint32_t FLAPI_CALL FlPacketsBufferGetEffectiveLength(FL_PACKETS_BUFFER PacketsBuffer);
FLAPI uint32_t FLAPI_CALL FlPacketsBufferGetLength(FL_PACKETS_BUFFER PacketsBuffer);
FLAPI void FLAPI_CALL FlPacketsBufferResetIndex(FL_PACKETS_BUFFER PacketsBuffer);
FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferQueryNextPacket(FL_PACKETS_BUFFER PacketsBuffer,
                                                          FL_PACKET_HEADER *Header,
                                                          uint8_t **Data);
FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferCommitNextPacket(FL_PACKETS_BUFFER PacketsBuffer,
                                                           const FL_PACKET_HEADER *Header,
                                                           const void *Data);
FLAPI FL_STATUS FLAPI_CALL FlPacketsBufferSetEffectiveLength(FL_PACKETS_BUFFER PacketsBuffer,
                                                             uint32_t EffectiveLength);

/* ------------------------------------------------------------------------ */
/* Statistics                                                                */
/* ------------------------------------------------------------------------ */

FLAPI FL_STATUS FLAPI_CALL FlStatisticsQueryValue(FL_STATISTICS Statistics, uint32_t CounterId,
                                                  uint64_t *Value);
FLAPI FL_STATUS FLAPI_CALL FlStatisticsUpdate(FL_STATISTICS Statistics);
FLAPI void FLAPI_CALL FlStatisticsDestroy(FL_STATISTICS Statistics);

/* ------------------------------------------------------------------------ */
/* Status text                                                               */
/* ------------------------------------------------------------------------ */

/* A static, NUL-terminated message for every value; never fails. */
FLAPI const char *FLAPI_CALL FlStatusGetString(FL_STATUS Status);

#ifdef __cplusplus
}
#endif

#endif /* FLAPI_H */
