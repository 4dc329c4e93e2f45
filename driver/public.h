/*
 * public.h: what the fl driver and its clients agree on. The device
 * interface class, the device control codes and the records carried by
 * them.
 *
 * Include it after <ntddk.h> (driver) or <windows.h> and <winioctl.h>
 * (user mode): it needs CTL_CODE, DEFINE_GUID and the base integer types
 * from there. Define INITGUID before including it in exactly one place of a
 * module that needs the GUID's storage.
 *
 * All records are little-endian and packed as laid out; every control code
 * is METHOD_BUFFERED with FILE_ANY_ACCESS on FILE_DEVICE_UNKNOWN.
 */
#ifndef FL_DRIVER_PUBLIC_H
#define FL_DRIVER_PUBLIC_H

/* {CCC1EC52-8C28-41F5-9748-5695DCBDA22A}: one interface per port. */
DEFINE_GUID(GUID_DEVINTERFACE_FL, 0xccc1ec52, 0x8c28, 0x41f5, 0x97, 0x48, 0x56, 0x95, 0xdc, 0xbd,
            0xa2, 0x2a);

#define FL_IOCTL(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Codes named PORT act on the port every handle shares; codes named
 * INSTANCE on the state of the one handle they are sent on. */
#define IOCTL_PORT_QUERY_MAC_ADDRESS              FL_IOCTL(0x801) /* 0x222004 */
#define IOCTL_INSTANCE_ENABLE_RECEPTION           FL_IOCTL(0x804) /* 0x222010 */
#define IOCTL_INSTANCE_ENABLE_TRANSMISSION        FL_IOCTL(0x805) /* 0x222014 */
#define IOCTL_PORT_QUERY_LINK_STATUS              FL_IOCTL(0x806) /* 0x222018 */
#define IOCTL_INSTANCE_SET_RECEIVE_EVENT          FL_IOCTL(0x807) /* 0x22201C */
#define IOCTL_INSTANCE_SET_READ_THRESHOLD         FL_IOCTL(0x808) /* 0x222020 */
#define IOCTL_INSTANCE_QUERY_HARVEST_TIME         FL_IOCTL(0x809) /* 0x222024 */
#define IOCTL_PORT_SET_AUTONEGOTIATION            FL_IOCTL(0x80A) /* 0x222028 */
#define IOCTL_INSTANCE_SET_SNAPLEN                FL_IOCTL(0x80B) /* 0x22202C */
#define IOCTL_PORT_WAIT_LINK_CHANGE               FL_IOCTL(0x80E) /* 0x222038 */
#define IOCTL_PORT_QUERY_AUTONEGOTIATION          FL_IOCTL(0x80F) /* 0x22203C */
#define IOCTL_PORT_QUERY_PARTNER_ABILITIES        FL_IOCTL(0x810) /* 0x222040 */
#define IOCTL_PORT_READ_PHY_REGISTER              FL_IOCTL(0x811) /* 0x222044 */
#define IOCTL_PORT_WRITE_PHY_REGISTER             FL_IOCTL(0x812) /* 0x222048 */
#define IOCTL_INSTANCE_SET_ERROR_FILTER           FL_IOCTL(0x813) /* 0x22204C */
#define IOCTL_INSTANCE_SET_TRANSMIT_EVENT         FL_IOCTL(0x814) /* 0x222050 */
#define IOCTL_PORT_QUERY_STATISTICS               FL_IOCTL(0x815) /* 0x222054 */
#define IOCTL_INSTANCE_QUERY_STATISTICS           FL_IOCTL(0x816) /* 0x222058 */
#define IOCTL_PORT_SET_LED0                       FL_IOCTL(0x817) /* 0x22205C */
#define IOCTL_PORT_QUERY_LED0                     FL_IOCTL(0x818) /* 0x222060 */
#define IOCTL_PORT_SET_LED2                       FL_IOCTL(0x819) /* 0x222064 */
#define IOCTL_PORT_QUERY_LED2                     FL_IOCTL(0x81A) /* 0x222068 */
#define IOCTL_PORT_SET_LED3                       FL_IOCTL(0x81B) /* 0x22206C */
#define IOCTL_PORT_QUERY_LED3                     FL_IOCTL(0x81C) /* 0x222070 */
#define IOCTL_INSTANCE_SET_READ_TIMEOUT           FL_IOCTL(0x81D) /* 0x222074 */
#define IOCTL_INSTANCE_QUERY_READ_TIMEOUT         FL_IOCTL(0x81E) /* 0x222078 */
#define IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED    FL_IOCTL(0x81F) /* 0x22207C */
#define IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED FL_IOCTL(0x820) /* 0x222080 */
#define IOCTL_INSTANCE_QUERY_READ_THRESHOLD       FL_IOCTL(0x821) /* 0x222084 */
#define IOCTL_INSTANCE_QUERY_SNAPLEN              FL_IOCTL(0x822) /* 0x222088 */
#define IOCTL_PORT_QUERY_RX_SLOT_SIZE             FL_IOCTL(0x823) /* 0x22208C */
#define IOCTL_PORT_QUERY_TX_SLOT_SIZE             FL_IOCTL(0x824) /* 0x222090 */
#define IOCTL_PORT_QUERY_RX_SLOTS                 FL_IOCTL(0x825) /* 0x222094 */
#define IOCTL_PORT_QUERY_TX_SLOTS                 FL_IOCTL(0x826) /* 0x222098 */
#define IOCTL_PORT_QUERY_RX_DESCRIPTORS           FL_IOCTL(0x827) /* 0x22209C */
#define IOCTL_PORT_QUERY_TX_DESCRIPTORS           FL_IOCTL(0x828) /* 0x2220A0 */
#define IOCTL_INSTANCE_QUERY_ERROR_FILTER         FL_IOCTL(0x829) /* 0x2220A4 */
#define IOCTL_PORT_WRITE_EEPROM_WORD              FL_IOCTL(0xBB8) /* 0x222EE0 */
#define IOCTL_PORT_READ_EEPROM_WORD               FL_IOCTL(0xBB9) /* 0x222EE4 */

/* Speed mask: AutonegotiationConfiguration, the autonegotiation record and
 * the partner abilities. */
#define FL_MODE_10_FULL   0x01u
#define FL_MODE_10_HALF   0x02u
#define FL_MODE_100_FULL  0x04u
#define FL_MODE_100_HALF  0x08u
#define FL_MODE_1000_FULL 0x10u
#define FL_MODES_ALL      0x1Fu

/* IOCTL_PORT_QUERY_LINK_STATUS and IOCTL_PORT_WAIT_LINK_CHANGE. Speed and
 * duplex are 0 while the link is down; the padding is never written. */
#define FL_LINK_DUPLEX_DOWN 0u
#define FL_LINK_DUPLEX_FULL 1u
#define FL_LINK_DUPLEX_HALF 2u
typedef struct _FL_IOCTL_LINK_STATUS {
    ULONG Speed;  /* Mb/s: 10, 100, 1000 */
    ULONG Duplex; /* FL_LINK_DUPLEX_* */
    UCHAR LinkUp;
    UCHAR Reserved[3];
} FL_IOCTL_LINK_STATUS, *PFL_IOCTL_LINK_STATUS;

/* IOCTL_PORT_SET_AUTONEGOTIATION (in), IOCTL_PORT_QUERY_AUTONEGOTIATION and
 * IOCTL_PORT_QUERY_PARTNER_ABILITIES (out). */
typedef struct _FL_IOCTL_AUTONEGOTIATION {
    ULONG Modes;          /* FL_MODE_* */
    ULONG SupportedModes; /* FL_MODES_ALL on output; equal to Modes on input */
    UCHAR Enabled;
    UCHAR Reserved[3];
} FL_IOCTL_AUTONEGOTIATION, *PFL_IOCTL_AUTONEGOTIATION;

/* IOCTL_PORT_READ_PHY_REGISTER: in {ignored, register}, out {value, register}. */
typedef struct _FL_IOCTL_PHY_READ {
    USHORT Value;
    USHORT Register;
} FL_IOCTL_PHY_READ, *PFL_IOCTL_PHY_READ;

/* IOCTL_PORT_WRITE_PHY_REGISTER: bits under Mask come from Value, the
 * others keep the register's current contents. */
typedef struct _FL_IOCTL_PHY_WRITE {
    USHORT Value;
    USHORT Mask;
    USHORT Register;
} FL_IOCTL_PHY_WRITE, *PFL_IOCTL_PHY_WRITE;

/* IOCTL_PORT_WRITE_EEPROM_WORD (in) and IOCTL_PORT_READ_EEPROM_WORD (in:
 * the address only, 2 bytes; out: both). */
typedef struct _FL_IOCTL_EEPROM_WORD {
    USHORT Address; /* word address */
    USHORT Value;
} FL_IOCTL_EEPROM_WORD, *PFL_IOCTL_EEPROM_WORD;

/* IOCTL_PORT_SET_LEDn (in, u32) and IOCTL_PORT_QUERY_LEDn (out, i32). */
#define FL_LED_CODE_ON      0
#define FL_LED_CODE_OFF     1
#define FL_LED_CODE_BLINK   2
#define FL_LED_CODE_NORMAL  3
#define FL_LED_CODE_UNKNOWN (-1)

/* IOCTL_PORT_QUERY_STATISTICS: 16 u64 in this order. */
#define FL_PORT_STAT_OCTETS_RECEIVED   0
#define FL_PORT_STAT_PACKETS_RECEIVED  1
#define FL_PORT_STAT_GOOD_RECEIVED     2
#define FL_PORT_STAT_RECEIVE_ERRORS    3
#define FL_PORT_STAT_SLOT_SHORTAGE     4
#define FL_PORT_STAT_MISSED            5
#define FL_PORT_STAT_NO_BUFFER         6
#define FL_PORT_STAT_CRC_ERRORS        7
#define FL_PORT_STAT_ALIGNMENT_ERRORS  8
#define FL_PORT_STAT_RESERVED          9
#define FL_PORT_STAT_PACKETS_SENT      10
#define FL_PORT_STAT_OCTETS_SENT       11
#define FL_PORT_STAT_MGTPRC            12
#define FL_PORT_STAT_MGTPTC            13
#define FL_PORT_STAT_MGTPDC            14
#define FL_PORT_STAT_ICTXQEC           15
#define FL_PORT_STAT_COUNT             16

/* IOCTL_INSTANCE_QUERY_STATISTICS: 7 u64 in this order. */
#define FL_INSTANCE_COUNTER_OCTETS_RECEIVED  0
#define FL_INSTANCE_COUNTER_PACKETS_RECEIVED 1
#define FL_INSTANCE_COUNTER_GOOD_RECEIVED    2
#define FL_INSTANCE_COUNTER_RECEIVE_ERRORS   3
#define FL_INSTANCE_COUNTER_PACKETS_SENT     4
#define FL_INSTANCE_COUNTER_OCTETS_SENT      5
#define FL_INSTANCE_COUNTER_DROPPED          6
#define FL_INSTANCE_COUNTER_COUNT            7

/* A read request returns this header, then packet records. */
typedef struct _FL_READ_HEADER {
    ULONGLONG LastTimestamp; /* of the last record of this read; 0 without records */
    ULONGLONG HarvestTime;   /* the port's latest poll of its receive ring */
} FL_READ_HEADER, *PFL_READ_HEADER;

#ifdef __cplusplus
static_assert(sizeof(FL_IOCTL_LINK_STATUS) == 12, "link-status record is 12 bytes");
static_assert(sizeof(FL_IOCTL_AUTONEGOTIATION) == 12, "autonegotiation record is 12 bytes");
static_assert(sizeof(FL_IOCTL_PHY_READ) == 4, "PHY read record is 4 bytes");
static_assert(sizeof(FL_IOCTL_PHY_WRITE) == 6, "PHY write record is 6 bytes");
static_assert(sizeof(FL_IOCTL_EEPROM_WORD) == 4, "EEPROM record is 4 bytes");
static_assert(sizeof(FL_READ_HEADER) == 16, "read header is 16 bytes");
#endif

#endif /* FL_DRIVER_PUBLIC_H */
