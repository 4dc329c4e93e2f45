// 82571 register offsets and bits the model implements (datasheet names).
#pragma once

#include <cstdint>

namespace hw::reg {

inline constexpr std::uint32_t CTRL = 0x0000;
inline constexpr std::uint32_t STATUS = 0x0008;
inline constexpr std::uint32_t EECD = 0x0010;
inline constexpr std::uint32_t EERD = 0x0014;
inline constexpr std::uint32_t CTRL_EXT = 0x0018;
inline constexpr std::uint32_t MDIC = 0x0020;
inline constexpr std::uint32_t FCAL = 0x0028;
inline constexpr std::uint32_t FCAH = 0x002C;
inline constexpr std::uint32_t FCT = 0x0030;
inline constexpr std::uint32_t VET = 0x0038;
inline constexpr std::uint32_t ICR = 0x00C0;
inline constexpr std::uint32_t ITR = 0x00C4;
inline constexpr std::uint32_t ICS = 0x00C8;
inline constexpr std::uint32_t IMS = 0x00D0;
inline constexpr std::uint32_t IMC = 0x00D8;
inline constexpr std::uint32_t IAM = 0x00E0;
inline constexpr std::uint32_t RCTL = 0x0100;
inline constexpr std::uint32_t FCTTV = 0x0170;
inline constexpr std::uint32_t TCTL = 0x0400;
inline constexpr std::uint32_t TIPG = 0x0410;
inline constexpr std::uint32_t LEDCTL = 0x0E00;
inline constexpr std::uint32_t PBA = 0x1000;
inline constexpr std::uint32_t EEMNGCTL = 0x1010;
inline constexpr std::uint32_t FCRTL = 0x2160;
inline constexpr std::uint32_t FCRTH = 0x2168;
inline constexpr std::uint32_t RDBAL = 0x2800;
inline constexpr std::uint32_t RDBAH = 0x2804;
inline constexpr std::uint32_t RDLEN = 0x2808;
inline constexpr std::uint32_t RDH = 0x2810;
inline constexpr std::uint32_t RDT = 0x2818;
inline constexpr std::uint32_t RDTR = 0x2820;
inline constexpr std::uint32_t RXDCTL = 0x2828;
inline constexpr std::uint32_t RADV = 0x282C;
inline constexpr std::uint32_t TDBAL = 0x3800;
inline constexpr std::uint32_t TDBAH = 0x3804;
inline constexpr std::uint32_t TDLEN = 0x3808;
inline constexpr std::uint32_t TDH = 0x3810;
inline constexpr std::uint32_t TDT = 0x3818;
inline constexpr std::uint32_t TIDV = 0x3820;
inline constexpr std::uint32_t TXDCTL = 0x3828;
inline constexpr std::uint32_t TADV = 0x382C;
inline constexpr std::uint32_t TARC0 = 0x3840;
inline constexpr std::uint32_t TDBAL1 = 0x3900;
inline constexpr std::uint32_t TDBAH1 = 0x3904;
inline constexpr std::uint32_t TDLEN1 = 0x3908;
inline constexpr std::uint32_t TDH1 = 0x3910;
inline constexpr std::uint32_t TDT1 = 0x3918;
inline constexpr std::uint32_t TXDCTL1 = 0x3928;
inline constexpr std::uint32_t TARC1 = 0x3940;
inline constexpr std::uint32_t STATS_FIRST = 0x4000;
inline constexpr std::uint32_t STATS_LAST = 0x4124;
inline constexpr std::uint32_t RXCSUM = 0x5000;
inline constexpr std::uint32_t MTA = 0x5200;   // 128 registers
inline constexpr std::uint32_t RAL0 = 0x5400;  // RAL n = 0x5400 + 8n, RAH n = 0x5404 + 8n
inline constexpr std::uint32_t RAH0 = 0x5404;
inline constexpr std::uint32_t VFTA = 0x5600;  // 128 registers
inline constexpr std::uint32_t WUC = 0x5800;
inline constexpr std::uint32_t MANC = 0x5820;
inline constexpr std::uint32_t SWSM = 0x5B50;
inline constexpr std::uint32_t FWSM = 0x5B54;

inline constexpr std::uint32_t kBar0Length = 128 * 1024;

// Statistics (all clear on read; the 64-bit pairs clear when the high half is read).
inline constexpr std::uint32_t CRCERRS = 0x4000;
inline constexpr std::uint32_t ALGNERRC = 0x4004;
inline constexpr std::uint32_t SYMERRS = 0x4008;
inline constexpr std::uint32_t RXERRC = 0x400C;
inline constexpr std::uint32_t MPC = 0x4010;
inline constexpr std::uint32_t SEC = 0x4038;
inline constexpr std::uint32_t PRC64 = 0x405C;   // PRC64..PRC1522: 0x405C..0x4070
inline constexpr std::uint32_t GPRC = 0x4074;
inline constexpr std::uint32_t BPRC = 0x4078;
inline constexpr std::uint32_t MPRC = 0x407C;
inline constexpr std::uint32_t GPTC = 0x4080;
inline constexpr std::uint32_t GORCL = 0x4088;
inline constexpr std::uint32_t GORCH = 0x408C;
inline constexpr std::uint32_t GOTCL = 0x4090;
inline constexpr std::uint32_t GOTCH = 0x4094;
inline constexpr std::uint32_t RNBC = 0x40A0;
inline constexpr std::uint32_t RUC = 0x40A4;
inline constexpr std::uint32_t ROC = 0x40AC;
inline constexpr std::uint32_t TORL = 0x40C0;
inline constexpr std::uint32_t TORH = 0x40C4;
inline constexpr std::uint32_t TOTL = 0x40C8;
inline constexpr std::uint32_t TOTH = 0x40CC;
inline constexpr std::uint32_t TPR = 0x40D0;
inline constexpr std::uint32_t TPT = 0x40D4;
inline constexpr std::uint32_t PTC64 = 0x40D8;   // PTC64..PTC1522: 0x40D8..0x40EC
inline constexpr std::uint32_t MPTC = 0x40F0;
inline constexpr std::uint32_t BPTC = 0x40F4;

// CTRL
inline constexpr std::uint32_t CTRL_FD = 1u << 0;
inline constexpr std::uint32_t CTRL_GIO_MASTER_DISABLE = 1u << 2;
inline constexpr std::uint32_t CTRL_SLU = 1u << 6;
inline constexpr std::uint32_t CTRL_FRCSPD = 1u << 11;
inline constexpr std::uint32_t CTRL_FRCDPLX = 1u << 12;
inline constexpr std::uint32_t CTRL_RST = 1u << 26;
inline constexpr std::uint32_t CTRL_PHY_RST = 1u << 31;

// STATUS
inline constexpr std::uint32_t STATUS_FD = 1u << 0;
inline constexpr std::uint32_t STATUS_LU = 1u << 1;
inline constexpr std::uint32_t STATUS_FUNC_SHIFT = 2;
inline constexpr std::uint32_t STATUS_SPEED_100 = 1u << 6;
inline constexpr std::uint32_t STATUS_SPEED_1000 = 1u << 7;
inline constexpr std::uint32_t STATUS_GIO_MASTER_ENABLE = 1u << 19;

// EECD
inline constexpr std::uint32_t EECD_SK = 1u << 0;
inline constexpr std::uint32_t EECD_CS = 1u << 1;   // high = deselected
inline constexpr std::uint32_t EECD_DI = 1u << 2;
inline constexpr std::uint32_t EECD_DO = 1u << 3;
inline constexpr std::uint32_t EECD_REQ = 1u << 6;
inline constexpr std::uint32_t EECD_GNT = 1u << 7;
inline constexpr std::uint32_t EECD_PRES = 1u << 8;
inline constexpr std::uint32_t EECD_AUTO_RD = 1u << 9;
inline constexpr std::uint32_t EECD_ADDR_BITS = 1u << 10;  // 16-bit SPI addresses

// EERD
inline constexpr std::uint32_t EERD_START = 1u << 0;
inline constexpr std::uint32_t EERD_DONE = 1u << 1;

// MDIC
inline constexpr std::uint32_t MDIC_OP_WRITE = 1u << 26;
inline constexpr std::uint32_t MDIC_OP_READ = 2u << 26;
inline constexpr std::uint32_t MDIC_READY = 1u << 28;
inline constexpr std::uint32_t MDIC_ERROR = 1u << 30;

// Interrupt causes
inline constexpr std::uint32_t ICR_TXDW = 1u << 0;
inline constexpr std::uint32_t ICR_TXQE = 1u << 1;
inline constexpr std::uint32_t ICR_LSC = 1u << 2;
inline constexpr std::uint32_t ICR_RXO = 1u << 6;
inline constexpr std::uint32_t ICR_RXT0 = 1u << 7;
inline constexpr std::uint32_t ICR_ASSERTED = 1u << 31;

// RCTL
inline constexpr std::uint32_t RCTL_EN = 1u << 1;
inline constexpr std::uint32_t RCTL_SBP = 1u << 2;
inline constexpr std::uint32_t RCTL_UPE = 1u << 3;
inline constexpr std::uint32_t RCTL_MPE = 1u << 4;
inline constexpr std::uint32_t RCTL_LPE = 1u << 5;
inline constexpr std::uint32_t RCTL_MO_SHIFT = 12;
inline constexpr std::uint32_t RCTL_BAM = 1u << 15;
inline constexpr std::uint32_t RCTL_BSIZE_SHIFT = 16;
inline constexpr std::uint32_t RCTL_BSEX = 1u << 25;
inline constexpr std::uint32_t RCTL_SECRC = 1u << 26;

// TCTL
inline constexpr std::uint32_t TCTL_EN = 1u << 1;
inline constexpr std::uint32_t TCTL_PSP = 1u << 3;

// Descriptor bits
inline constexpr std::uint8_t RXD_STAT_DD = 0x01;
inline constexpr std::uint8_t RXD_STAT_EOP = 0x02;
inline constexpr std::uint8_t RXD_STAT_IXSM = 0x04;
inline constexpr std::uint8_t RXD_ERR_CE = 0x01;
inline constexpr std::uint8_t TXD_CMD_EOP = 0x01;
inline constexpr std::uint8_t TXD_CMD_IFCS = 0x02;
inline constexpr std::uint8_t TXD_CMD_RS = 0x08;
inline constexpr std::uint8_t TXD_CMD_DEXT = 0x20;
inline constexpr std::uint8_t TXD_STAT_DD = 0x01;

// EEMNGCTL: configuration done of LAN function 0 and 1.
inline constexpr std::uint32_t EEMNGCTL_CFG_DONE0 = 1u << 18;
inline constexpr std::uint32_t EEMNGCTL_CFG_DONE1 = 1u << 19;

// SWSM
inline constexpr std::uint32_t SWSM_SMBI = 1u << 0;
inline constexpr std::uint32_t SWSM_SWESMBI = 1u << 1;

// MANC
inline constexpr std::uint32_t MANC_BLK_PHY_RST_ON_IDE = 1u << 18;

// RAH
inline constexpr std::uint32_t RAH_AV = 1u << 31;

}  // namespace hw::reg

namespace hw::phy {

inline constexpr std::uint32_t kAddress = 1;  // the PHY answers at MDIO address 1

inline constexpr std::uint32_t CONTROL = 0;
inline constexpr std::uint32_t STATUS = 1;
inline constexpr std::uint32_t ID1 = 2;
inline constexpr std::uint32_t ID2 = 3;
inline constexpr std::uint32_t AUTONEG_ADV = 4;
inline constexpr std::uint32_t LP_ABILITY = 5;
inline constexpr std::uint32_t AUTONEG_EXP = 6;
inline constexpr std::uint32_t GB_CONTROL = 9;
inline constexpr std::uint32_t GB_STATUS = 10;
inline constexpr std::uint32_t EXT_STATUS = 15;
inline constexpr std::uint32_t PAGE_SELECT = 31;

// Control
inline constexpr std::uint16_t CR_SPEED_1000 = 1u << 6;
inline constexpr std::uint16_t CR_FULL_DUPLEX = 1u << 8;
inline constexpr std::uint16_t CR_RESTART_AN = 1u << 9;
inline constexpr std::uint16_t CR_POWER_DOWN = 1u << 11;
inline constexpr std::uint16_t CR_AN_ENABLE = 1u << 12;
inline constexpr std::uint16_t CR_SPEED_100 = 1u << 13;
inline constexpr std::uint16_t CR_RESET = 1u << 15;

// Status
inline constexpr std::uint16_t SR_LINK = 1u << 2;
inline constexpr std::uint16_t SR_AN_COMPLETE = 1u << 5;

// Advertisement / partner ability
inline constexpr std::uint16_t AD_10_HALF = 0x0020;
inline constexpr std::uint16_t AD_10_FULL = 0x0040;
inline constexpr std::uint16_t AD_100_HALF = 0x0080;
inline constexpr std::uint16_t AD_100_FULL = 0x0100;
inline constexpr std::uint16_t AD_PAUSE = 0x0400;
inline constexpr std::uint16_t AD_ASM_PAUSE = 0x0800;
inline constexpr std::uint16_t AD_SELECTOR = 0x0001;  // IEEE 802.3
inline constexpr std::uint16_t LP_ACK = 0x4000;

// 1000BASE-T control / status
inline constexpr std::uint16_t GB_ADV_1000_HALF = 0x0100;
inline constexpr std::uint16_t GB_ADV_1000_FULL = 0x0200;
inline constexpr std::uint16_t GB_LP_1000_HALF = 0x0400;
inline constexpr std::uint16_t GB_LP_1000_FULL = 0x0800;
inline constexpr std::uint16_t GB_REMOTE_RX_OK = 0x1000;
inline constexpr std::uint16_t GB_LOCAL_RX_OK = 0x2000;

}  // namespace hw::phy
