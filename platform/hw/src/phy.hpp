// The copper PHY of one port, as seen through MDIC: IEEE registers 0-15,
// a few vendor registers behind the page select, and the link state that
// autonegotiation with the partner produces.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "hw/machine.hpp"

namespace hw {

// Link modes inside the model: the system's five plus 1000 Mb/s half duplex.
inline constexpr std::uint32_t kMode1000Half = 1u << 5;

// What one end of a link offers to the other.
struct LinkAbilities {
    bool present = false;     // powered and out of reset
    bool autonegotiate = true;
    std::uint16_t advertisement = 0;   // register 4 as it would be sent
    std::uint16_t gigabitControl = 0;  // register 9
    std::uint32_t modes = 0;  // autonegotiating: advertised modes; forced: the one mode
};

// The outcome of autonegotiation for one end.
struct LinkResolution {
    bool complete = false;    // page exchange done (also when nothing is common)
    std::uint32_t mode = 0;   // the mode the link runs at; 0 = no link
};

// Best common mode of two ends, or no link.
LinkResolution Resolve(const LinkAbilities& local, const LinkAbilities& partner);
std::uint32_t BestMode(std::uint32_t modes);
bool ModeFullDuplex(std::uint32_t mode);
std::uint32_t ModeSpeed(std::uint32_t mode);  // Mb/s, 0 for none

// Abilities of a partner that advertises `modes` (the system's mask).
LinkAbilities PartnerAdvertising(std::uint32_t modes);

class Phy {
public:
    Phy();

    // Register access (MDIO). Unknown registers return nullopt / false so
    // that the caller can trace them. A write may ask for negotiation to
    // start again (restart, reset, power or mode change): restart is set.
    std::optional<std::uint16_t> Read(std::uint32_t reg);
    bool Write(std::uint32_t reg, std::uint16_t value, bool& restart);

    // Held in reset by the MAC (CTRL.PHY_RST): registers return to their
    // defaults and the link is down until released.
    void HoldReset(bool held);

    LinkAbilities Abilities() const;
    void Apply(const LinkResolution& resolution, const LinkAbilities& partner);
    void LinkLost();  // partner gone or negotiation restarted

    bool InReset() const { return inReset_; }
    bool LinkUp() const { return linkUp_; }
    std::uint32_t Mode() const { return linkUp_ ? mode_ : 0; }

private:
    void Reset();
    std::uint16_t StatusValue();

    std::uint16_t control_ = 0;
    std::uint16_t advertisement_ = 0;
    std::uint16_t partnerAbility_ = 0;
    std::uint16_t expansion_ = 0;
    std::uint16_t gigabitControl_ = 0;
    std::uint16_t gigabitStatus_ = 0;
    std::uint16_t pageSelect_ = 0;
    std::map<std::uint32_t, std::uint16_t> vendor_;  // by full register number
    bool inReset_ = false;
    bool linkUp_ = false;
    bool linkLatchedDown_ = true;  // status bit 2 latches low until read
    bool autonegotiationComplete_ = false;
    std::uint32_t mode_ = 0;
};

}  // namespace hw
