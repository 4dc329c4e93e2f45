#include "phy.hpp"

#include "regs.hpp"

namespace hw {

using namespace phy;

namespace {
// IEEE 802.3 priority resolution, best first.
constexpr std::uint32_t kPriority[] = {kMode1000Full, kMode1000Half, kMode100Full,
                                       kMode100Half, kMode10Full, kMode10Half};
constexpr std::uint16_t kStatusCapabilities = 0x7949;  // 10/100 half/full, ext status, AN able
constexpr std::uint16_t kExtStatus = 0x3000;           // 1000BASE-T full and half
constexpr std::uint16_t kId1 = 0x02A8;
constexpr std::uint16_t kId2 = 0x0380;
// Vendor registers the driver programs (port configuration, power management).
constexpr std::uint32_t kPortConfig = 16;
constexpr std::uint32_t kPowerManagement = 25;
}  // namespace

std::uint32_t BestMode(std::uint32_t modes) {
    for (std::uint32_t m : kPriority)
        if (modes & m) return m;
    return 0;
}

bool ModeFullDuplex(std::uint32_t mode) {
    return mode == kMode1000Full || mode == kMode100Full || mode == kMode10Full;
}

std::uint32_t ModeSpeed(std::uint32_t mode) {
    if (mode == kMode1000Full || mode == kMode1000Half) return 1000;
    if (mode == kMode100Full || mode == kMode100Half) return 100;
    if (mode == kMode10Full || mode == kMode10Half) return 10;
    return 0;
}

namespace {
std::uint32_t ModesOf(std::uint16_t adv, std::uint16_t gb) {
    std::uint32_t m = 0;
    if (adv & AD_10_FULL) m |= kMode10Full;
    if (adv & AD_10_HALF) m |= kMode10Half;
    if (adv & AD_100_FULL) m |= kMode100Full;
    if (adv & AD_100_HALF) m |= kMode100Half;
    if (gb & GB_ADV_1000_FULL) m |= kMode1000Full;
    if (gb & GB_ADV_1000_HALF) m |= kMode1000Half;
    return m;
}
}  // namespace

LinkAbilities PartnerAdvertising(std::uint32_t modes) {
    LinkAbilities a;
    a.present = true;
    a.autonegotiate = true;
    a.advertisement = AD_SELECTOR | AD_PAUSE | AD_ASM_PAUSE;
    if (modes & kMode10Full) a.advertisement |= AD_10_FULL;
    if (modes & kMode10Half) a.advertisement |= AD_10_HALF;
    if (modes & kMode100Full) a.advertisement |= AD_100_FULL;
    if (modes & kMode100Half) a.advertisement |= AD_100_HALF;
    if (modes & kMode1000Full) a.gigabitControl |= GB_ADV_1000_FULL;
    if (modes & kMode1000Half) a.gigabitControl |= GB_ADV_1000_HALF;
    a.modes = ModesOf(a.advertisement, a.gigabitControl);
    return a;
}

LinkResolution Resolve(const LinkAbilities& local, const LinkAbilities& partner) {
    LinkResolution r;
    if (!local.present || !partner.present) return r;
    if (local.autonegotiate && partner.autonegotiate) {
        // Pages are exchanged whatever is advertised; the link only comes
        // up on a common mode.
        r.complete = true;
        r.mode = BestMode(local.modes & partner.modes);
        return r;
    }
    if (!local.autonegotiate && !partner.autonegotiate) {
        r.mode = ModeSpeed(local.modes) == ModeSpeed(partner.modes) ? local.modes : 0;
        return r;
    }
    // One end forced: the negotiating end detects the speed in parallel
    // (10 and 100 Mb/s only) and runs it at half duplex, as 802.3 has it.
    const LinkAbilities& forced = local.autonegotiate ? partner : local;
    const LinkAbilities& negotiating = local.autonegotiate ? local : partner;
    const std::uint32_t speed = ModeSpeed(forced.modes);
    std::uint32_t half = 0;
    std::uint32_t both = 0;
    if (speed == 100) {
        half = kMode100Half;
        both = kMode100Full | kMode100Half;
    } else if (speed == 10) {
        half = kMode10Half;
        both = kMode10Full | kMode10Half;
    }
    if (half == 0 || (negotiating.modes & both) == 0) return r;
    r.complete = local.autonegotiate;
    r.mode = local.autonegotiate ? half : forced.modes;
    return r;
}

Phy::Phy() { Reset(); }

void Phy::Reset() {
    control_ = CR_AN_ENABLE | CR_FULL_DUPLEX | CR_SPEED_1000;
    advertisement_ = AD_SELECTOR | AD_10_HALF | AD_10_FULL | AD_100_HALF | AD_100_FULL;
    partnerAbility_ = 0;
    expansion_ = 0;
    gigabitControl_ = GB_ADV_1000_FULL | GB_ADV_1000_HALF;
    gigabitStatus_ = 0;
    pageSelect_ = 0;
    vendor_ = {{kPortConfig, 0x0080}, {kPowerManagement, 0x0005}};
    LinkLost();
}

void Phy::LinkLost() {
    if (linkUp_) linkLatchedDown_ = true;
    linkUp_ = false;
    mode_ = 0;
    autonegotiationComplete_ = false;
    partnerAbility_ = 0;
    gigabitStatus_ = 0;
}

void Phy::HoldReset(bool held) {
    if (held) Reset();
    inReset_ = held;
}

std::uint16_t Phy::StatusValue() {
    std::uint16_t v = kStatusCapabilities;
    // Link status latches low: a link that dropped since the last read
    // reads down once, then the present state shows.
    if (linkUp_ && !linkLatchedDown_) v |= SR_LINK;
    linkLatchedDown_ = false;
    if (autonegotiationComplete_) v |= SR_AN_COMPLETE;
    return v;
}

std::optional<std::uint16_t> Phy::Read(std::uint32_t reg) {
    if (inReset_) return std::nullopt;
    switch (reg) {
    case CONTROL: return control_;
    case STATUS: return StatusValue();
    case ID1: return kId1;
    case ID2: return kId2;
    case AUTONEG_ADV: return advertisement_;
    case LP_ABILITY: return partnerAbility_;
    case AUTONEG_EXP: return expansion_;
    case GB_CONTROL: return gigabitControl_;
    case GB_STATUS: return gigabitStatus_;
    case EXT_STATUS: return kExtStatus;
    case PAGE_SELECT: return pageSelect_;
    default: break;
    }
    if (reg < 16) return std::nullopt;
    const std::uint32_t full = (pageSelect_ & ~0x1Fu) | reg;
    auto it = vendor_.find(full);
    if (it == vendor_.end()) return std::nullopt;
    return it->second;
}

bool Phy::Write(std::uint32_t reg, std::uint16_t value, bool& restart) {
    restart = false;
    if (inReset_) return false;
    switch (reg) {
    case CONTROL: {
        if (value & CR_RESET) {
            Reset();  // self-clearing; negotiation starts over from the defaults
            restart = true;
            return true;
        }
        const std::uint16_t old = control_;
        control_ = value & ~(CR_RESET | CR_RESTART_AN);
        const std::uint16_t modeBits = CR_AN_ENABLE | CR_POWER_DOWN | CR_SPEED_100 | CR_SPEED_1000 | CR_FULL_DUPLEX;
        if ((value & CR_RESTART_AN) || ((old ^ control_) & modeBits)) restart = true;
        return true;
    }
    case AUTONEG_ADV:
        advertisement_ = value;
        return true;
    case GB_CONTROL:
        gigabitControl_ = value;
        return true;
    case STATUS: case ID1: case ID2: case LP_ABILITY: case AUTONEG_EXP: case GB_STATUS: case EXT_STATUS:
        return true;  // read-only: the write has no effect, as on the part
    case PAGE_SELECT:
        pageSelect_ = value;
        return true;
    default: break;
    }
    if (reg < 16) return false;
    const std::uint32_t full = (pageSelect_ & ~0x1Fu) | reg;
    auto it = vendor_.find(full);
    if (it == vendor_.end()) return false;
    it->second = value;
    return true;
}

LinkAbilities Phy::Abilities() const {
    LinkAbilities a;
    a.present = !inReset_ && !(control_ & CR_POWER_DOWN);
    a.autonegotiate = (control_ & CR_AN_ENABLE) != 0;
    a.advertisement = advertisement_;
    a.gigabitControl = gigabitControl_;
    if (a.autonegotiate) {
        a.modes = ModesOf(advertisement_, gigabitControl_);
    } else {
        const bool full = control_ & CR_FULL_DUPLEX;
        if (control_ & CR_SPEED_1000) a.modes = full ? kMode1000Full : kMode1000Half;
        else if (control_ & CR_SPEED_100) a.modes = full ? kMode100Full : kMode100Half;
        else a.modes = full ? kMode10Full : kMode10Half;
    }
    return a;
}

void Phy::Apply(const LinkResolution& resolution, const LinkAbilities& partner) {
    LinkLost();
    if (!Abilities().present) return;
    autonegotiationComplete_ = resolution.complete;
    if (resolution.complete && partner.autonegotiate) {
        partnerAbility_ = static_cast<std::uint16_t>(partner.advertisement | LP_ACK);
        if (partner.gigabitControl & GB_ADV_1000_FULL) gigabitStatus_ |= GB_LP_1000_FULL;
        if (partner.gigabitControl & GB_ADV_1000_HALF) gigabitStatus_ |= GB_LP_1000_HALF;
        expansion_ = 0x0001;  // partner is autonegotiation able
    }
    if (resolution.mode != 0) {
        linkUp_ = true;
        mode_ = resolution.mode;
        if (ModeSpeed(mode_) == 1000) gigabitStatus_ |= GB_LOCAL_RX_OK | GB_REMOTE_RX_OK;
    }
}

}  // namespace hw
