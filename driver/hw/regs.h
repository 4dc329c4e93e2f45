/*
 * regs.h: the 82571 registers, bits and descriptor layouts the driver
 * uses, under the datasheet's mnemonics. Offsets are bytes into BAR0.
 */
#ifndef FL_DRIVER_HW_REGS_H
#define FL_DRIVER_HW_REGS_H

#include <ntddk.h>

/* General */
#define E1000_CTRL     0x00000u
#define E1000_STATUS   0x00008u
#define E1000_EECD     0x00010u
#define E1000_EERD     0x00014u
#define E1000_MDIC     0x00020u
#define E1000_FCAL     0x00028u
#define E1000_FCAH     0x0002Cu
#define E1000_FCT      0x00030u
#define E1000_ICR      0x000C0u
#define E1000_ITR      0x000C4u
#define E1000_IMS      0x000D0u
#define E1000_IMC      0x000D8u
#define E1000_RCTL     0x00100u
#define E1000_FCTTV    0x00170u
#define E1000_TCTL     0x00400u
#define E1000_TIPG     0x00410u
#define E1000_LEDCTL   0x00E00u
#define E1000_PBA      0x01000u
#define E1000_EEMNGCTL 0x01010u
#define E1000_FCRTL    0x02160u
#define E1000_FCRTH    0x02168u
/* Receive ring */
#define E1000_RDBAL    0x02800u
#define E1000_RDBAH    0x02804u
#define E1000_RDLEN    0x02808u
#define E1000_RDH      0x02810u
#define E1000_RDT      0x02818u
#define E1000_RADV     0x0282Cu
/* Transmit ring */
#define E1000_TDBAL    0x03800u
#define E1000_TDBAH    0x03804u
#define E1000_TDLEN    0x03808u
#define E1000_TDH      0x03810u
#define E1000_TDT      0x03818u
#define E1000_TIDV     0x03820u
#define E1000_TXDCTL   0x03828u
#define E1000_TADV     0x0382Cu
#define E1000_TARC0    0x03840u
#define E1000_TXDCTL1  0x03928u
#define E1000_TARC1    0x03940u
/* Statistics: clear on read */
#define E1000_STATS_FIRST 0x04000u
#define E1000_STATS_LAST  0x04124u
#define E1000_CRCERRS  0x04000u
#define E1000_ALGNERRC 0x04004u
#define E1000_RXERRC   0x0400Cu
#define E1000_MPC      0x04010u
#define E1000_GPRC     0x04074u
#define E1000_RNBC     0x040A0u
#define E1000_MGTPRC   0x040B4u
#define E1000_MGTPDC   0x040B8u
#define E1000_MGTPTC   0x040BCu
#define E1000_TORL     0x040C0u
#define E1000_TORH     0x040C4u
#define E1000_TOTL     0x040C8u
#define E1000_TOTH     0x040CCu
#define E1000_TPR      0x040D0u
#define E1000_TPT      0x040D4u
#define E1000_ICTXQEC  0x04118u
/* Filters and management */
#define E1000_MTA      0x05200u /* 128 registers */
#define E1000_RAL(n)   (0x05400u + 8u * (n))
#define E1000_RAH(n)   (0x05404u + 8u * (n))
#define E1000_VFTA     0x05600u /* 128 registers */
#define E1000_MANC     0x05820u
#define E1000_SWSM     0x05B50u

#define E1000_MTA_COUNT  128u
#define E1000_VFTA_COUNT 128u
#define E1000_RAR_COUNT  16u

/* CTRL */
#define E1000_CTRL_GIO_MASTER_DISABLE 0x00000004u
#define E1000_CTRL_SLU                0x00000040u
#define E1000_CTRL_FRCSPD             0x00000800u
#define E1000_CTRL_FRCDPLX            0x00001000u
#define E1000_CTRL_RST                0x04000000u
#define E1000_CTRL_PHY_RST            0x80000000u

/* STATUS */
#define E1000_STATUS_FD                 0x00000001u
#define E1000_STATUS_LU                 0x00000002u
#define E1000_STATUS_FUNC_MASK          0x0000000Cu
#define E1000_STATUS_SPEED_100          0x00000040u
#define E1000_STATUS_SPEED_1000         0x00000080u
#define E1000_STATUS_GIO_MASTER_ENABLE  0x00080000u

/* EECD: SPI bit-banging and the EEPROM access handshake */
#define E1000_EECD_SK       0x00000001u /* clock */
#define E1000_EECD_CS       0x00000002u /* chip select; high = deselected */
#define E1000_EECD_DI       0x00000004u /* data to the EEPROM */
#define E1000_EECD_REQ      0x00000040u
#define E1000_EECD_GNT      0x00000080u
#define E1000_EECD_AUTO_RD  0x00000200u

/* EERD */
#define E1000_EERD_START      0x00000001u
#define E1000_EERD_DONE       0x00000002u
#define E1000_EERD_ADDR_SHIFT 2
#define E1000_EERD_DATA_SHIFT 16

/* MDIC */
#define E1000_MDIC_REG_SHIFT 16
#define E1000_MDIC_PHY_1     0x00200000u /* PHY address 1 in bits 21-25 */
#define E1000_MDIC_OP_WRITE  0x04000000u
#define E1000_MDIC_OP_READ   0x08000000u
#define E1000_MDIC_READY     0x10000000u
#define E1000_MDIC_ERROR     0x40000000u

/* ICR / IMS / IMC */
#define E1000_ICR_LSC      0x00000004u
#define E1000_ICR_ASSERTED 0x80000000u
#define E1000_IMS_LSC      E1000_ICR_LSC

/* RCTL */
#define E1000_RCTL_EN        0x00000002u
#define E1000_RCTL_SBP       0x00000004u
#define E1000_RCTL_UPE       0x00000008u
#define E1000_RCTL_MPE       0x00000010u
#define E1000_RCTL_LPE       0x00000020u
#define E1000_RCTL_MO_MASK   0x00003000u
#define E1000_RCTL_BAM       0x00008000u
#define E1000_RCTL_SZ_2048   0x00000000u
#define E1000_RCTL_SZ_1024   0x00010000u
#define E1000_RCTL_SZ_512    0x00020000u
#define E1000_RCTL_SZ_256    0x00030000u
#define E1000_RCTL_BSEX      0x02000000u
#define E1000_RCTL_SZ_16384  (E1000_RCTL_BSEX | E1000_RCTL_SZ_1024)
#define E1000_RCTL_SZ_8192   (E1000_RCTL_BSEX | E1000_RCTL_SZ_512)
#define E1000_RCTL_SZ_4096   (E1000_RCTL_BSEX | E1000_RCTL_SZ_256)

/* TCTL */
#define E1000_TCTL_EN      0x00000002u
#define E1000_TCTL_PSP     0x00000008u
#define E1000_TCTL_CT_MASK 0x00000FF0u
#define E1000_TCTL_MULR    0x10000000u

/* TXDCTL, TARC */
#define E1000_TXDCTL_COUNT_DESC 0x00400000u
#define E1000_TARC0_SPEED_MODE  0x00200000u /* bit 21 */

/* EEMNGCTL: configuration done of each LAN function */
#define E1000_EEMNGCTL_CFG_DONE0 0x00040000u
#define E1000_EEMNGCTL_CFG_DONE1 0x00080000u

/* MANC */
#define E1000_MANC_BLK_PHY_RST_ON_IDE 0x00040000u

/* SWSM */
#define E1000_SWSM_SMBI   0x00000001u
#define E1000_SWSM_SWESMBI 0x00000002u

/* LEDCTL: 8 bits per LED, mode in bits 0-3, blink in bit 7 */
#define E1000_LEDCTL_MODE_MASK     0x0Fu
#define E1000_LEDCTL_BLINK         0x80u
#define E1000_LEDCTL_MODE_LINK_UP  0x2u
#define E1000_LEDCTL_MODE_LINK_100 0x6u
#define E1000_LEDCTL_MODE_LINK_1000 0x7u
#define E1000_LEDCTL_MODE_LED_ON   0xEu
#define E1000_LEDCTL_MODE_LED_OFF  0xFu

/* PHY registers (MII and the PHY's own) */
#define PHY_CONTROL          0
#define PHY_STATUS           1
#define PHY_AUTONEG_ADV      4
#define PHY_LP_ABILITY       5
#define PHY_1000T_CTRL       9
#define PHY_1000T_STATUS     10
#define PHY_PORT_CONFIG      16
#define PHY_PAGE_SELECT      31
#define PHY_POWER_MGMT       25

#define MII_CR_RESTART_AUTO_NEG 0x0200u
#define MII_CR_AUTO_NEG_EN      0x1000u
#define MII_SR_LINK_STATUS      0x0004u
#define MII_SR_AUTONEG_COMPLETE 0x0020u
#define NWAY_AR_10T_HD_CAPS     0x0020u
#define NWAY_AR_10T_FD_CAPS     0x0040u
#define NWAY_AR_100TX_HD_CAPS   0x0080u
#define NWAY_AR_100TX_FD_CAPS   0x0100u
#define NWAY_AR_PAUSE           0x0400u
#define NWAY_AR_ASM_DIR         0x0800u
#define NWAY_AR_SELECTOR_MASK   0x001Fu
#define CR_1000T_HD_CAPS        0x0100u
#define CR_1000T_FD_CAPS        0x0200u
#define SR_1000T_LP_FD_CAPS     0x0800u

/* PCI configuration space */
#define PCI_CFG_VENDOR_ID        0x00u
#define PCI_CFG_DEVICE_ID        0x02u
#define PCI_CFG_PCIE_LINK_STATUS 0xF2u
#define PCIE_LINK_WIDTH_MASK     0x03F0u

#define FL_PCI_VENDOR_ID 0xF10Eu
#define FL_PCI_DEVICE_ID_1 0x0001u
#define FL_PCI_DEVICE_ID_2 0x0002u

/* Legacy receive descriptor */
typedef struct _RX_DESCRIPTOR {
    ULONGLONG BufferAddress;
    USHORT Length;
    USHORT Checksum;
    UCHAR Status;
    UCHAR Errors;
    USHORT Special;
} RX_DESCRIPTOR, *PRX_DESCRIPTOR;

#define RXD_STAT_EOP 0x02u
#define RXD_ERR_CE   0x01u /* CRC error */
#define RXD_ERR_SE   0x02u /* symbol error */
#define RXD_ERR_SEQ  0x04u /* sequence error */
#define RXD_ERR_RXE  0x80u /* receive data error */

/* Legacy transmit descriptor */
typedef struct _TX_DESCRIPTOR {
    ULONGLONG BufferAddress;
    USHORT Length;
    UCHAR ChecksumOffset;
    UCHAR Command;
    UCHAR Status;
    UCHAR ChecksumStart;
    USHORT Special;
} TX_DESCRIPTOR, *PTX_DESCRIPTOR;

#define TXD_CMD_EOP  0x01u
#define TXD_CMD_IFCS 0x02u
#define TXD_CMD_RS   0x08u
#define TXD_STAT_MASK 0x0Fu

#ifdef __cplusplus
static_assert(sizeof(RX_DESCRIPTOR) == 16, "receive descriptor is 16 bytes");
static_assert(sizeof(TX_DESCRIPTOR) == 16, "transmit descriptor is 16 bytes");
#endif

#endif /* FL_DRIVER_HW_REGS_H */
