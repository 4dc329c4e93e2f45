// The machine description: which boards a machine has and what each port's
// wire is. Read from a TOML file (FL_MACHINE) or built in (DefaultDescription).
//
// The format is documented in the README ("Machine description"). Parsing
// checks everything that would otherwise surface later as a puzzling
// failure: unknown keys (a misspelt key must not be ignored silently), values
// out of range, cables to ports that do not exist or that disagree at their
// two ends. Errors name the file and the key.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "hw/ethernet.hpp"
#include "hw/machine.hpp"

namespace machine {

enum class WireKind { None, Cable, Generator, Interface, CaptureFile };

struct PortWire {
    WireKind kind = WireKind::None;
    // kind == Cable: the other end.
    std::uint32_t peerBoard = 0;
    std::uint32_t peerPort = 0;
    // kind == Generator.
    hw::GeneratorOptions generator;
    // kind == Interface ("iface").
    hw::InterfaceOptions interface;
    // kind == CaptureFile ("pcap"): the file relative to the description's folder.
    hw::CaptureFileOptions capture;
};

struct BoardDescription {
    hw::BoardOptions options;
    PortWire ports[2];
};

struct Description {
    hw::ClockMode clock = hw::ClockMode::RealTime;
    std::chrono::nanoseconds autonegotiationDelay = std::chrono::milliseconds(20);
    std::vector<BoardDescription> boards;
    std::string source;  // the file it came from, or "built-in default"
};

// One board with two ports, each fed by a generator at a modest steady rate
// with mixed frame sizes: a capture on it shows traffic at once.
Description DefaultDescription();

// Parses `text`; `source` names it in messages. false with `error` set to
// "<source>: <key>: <what is wrong>" (or toml++'s line and column for a
// syntax error).
bool ParseDescription(std::string_view text, std::string_view source, Description* description,
                      std::string* error);

// Reads and parses a file.
bool LoadDescription(const std::filesystem::path& file, Description* description, std::string* error);

}  // namespace machine
