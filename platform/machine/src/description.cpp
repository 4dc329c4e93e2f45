// Reading machine descriptions (TOML, through toml++).
#include "machine/description.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>

namespace machine {
namespace {

// A problem found while reading; carries the dotted key it is about.
struct Problem {
    std::string key;
    std::string what;
};

std::string Key(std::string_view parent, std::string_view name) {
    if (parent.empty()) return std::string(name);
    return std::string(parent) + "." + std::string(name);
}

std::string Indexed(std::string_view parent, std::string_view name, std::size_t index) {
    return Key(parent, name) + "[" + std::to_string(index) + "]";
}

// Every key of a table must be one we know: a misspelt "fcs_eror_every"
// would otherwise leave a default in place without a word.
std::optional<Problem> CheckKeys(const toml::table& table, std::string_view where,
                                 std::initializer_list<std::string_view> known) {
    for (const auto& [name, node] : table) {
        (void)node;
        bool found = false;
        for (std::string_view k : known) found = found || k == name.str();
        if (!found) return Problem{Key(where, name.str()), "unknown key"};
    }
    return std::nullopt;
}

// Reads an integer in [low, high]; absent leaves *out alone.
std::optional<Problem> ReadInteger(const toml::table& table, std::string_view where,
                                   std::string_view name, std::int64_t low, std::int64_t high,
                                   std::int64_t* out) {
    const toml::node* node = table.get(name);
    if (node == nullptr) return std::nullopt;
    const auto value = node->value_exact<std::int64_t>();
    if (!value) return Problem{Key(where, name), "must be an integer"};
    if (*value < low || *value > high) {
        return Problem{Key(where, name), "must be between " + std::to_string(low) + " and " +
                                             std::to_string(high) + ", not " + std::to_string(*value)};
    }
    *out = *value;
    return std::nullopt;
}

template <typename T>
std::optional<Problem> ReadUnsigned(const toml::table& table, std::string_view where,
                                    std::string_view name, std::int64_t low, std::int64_t high, T* out) {
    std::int64_t value = static_cast<std::int64_t>(*out);
    if (auto p = ReadInteger(table, where, name, low, high, &value)) return p;
    *out = static_cast<T>(value);
    return std::nullopt;
}

// A number that may be written as an integer or a float, in (low, high].
std::optional<Problem> ReadNumber(const toml::table& table, std::string_view where, std::string_view name,
                                  double low, bool lowIncluded, double high, double* out) {
    const toml::node* node = table.get(name);
    if (node == nullptr) return std::nullopt;
    const auto value = node->value<double>();  // integers convert
    if (!value || !(node->is_integer() || node->is_floating_point())) {
        return Problem{Key(where, name), "must be a number"};
    }
    const bool aboveLow = lowIncluded ? *value >= low : *value > low;
    if (!std::isfinite(*value) || !aboveLow || *value > high) {
        std::ostringstream text;
        text << "must be " << (lowIncluded ? "at least " : "greater than ") << low << " and at most "
             << high << ", not " << *value;
        return Problem{Key(where, name), text.str()};
    }
    *out = *value;
    return std::nullopt;
}

std::optional<Problem> ReadString(const toml::table& table, std::string_view where, std::string_view name,
                                  std::optional<std::string>* out) {
    const toml::node* node = table.get(name);
    if (node == nullptr) return std::nullopt;
    const auto value = node->value_exact<std::string>();
    if (!value) return Problem{Key(where, name), "must be a string"};
    *out = *value;
    return std::nullopt;
}

// "02:00:f1:0e:00:00" (':' or '-' between the six bytes).
std::optional<hw::MacAddress> ParseMac(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    hw::MacAddress mac{};
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = hex(text[i * 3]);
        const int low = hex(text[i * 3 + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        if (i < 5 && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-') return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return mac;
}

// A generator as the built-in machine has it, and as a described one starts
// out: a modest steady rate with every frame size from the smallest to the
// largest, so that captures show traffic at once without flooding anything.
hw::GeneratorOptions DefaultGenerator() {
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 1000;
    generator.minSize = hw::kMinFrameWithFcs;
    generator.maxSize = hw::kMaxFrameWithFcs;
    return generator;
}

struct PendingPort {
    PortWire wire;
    bool explicitWire = false;  // "wire" was given (a cable's far end may leave it out)
};

std::optional<Problem> ReadGenerator(const toml::table& port, std::string_view where,
                                     hw::GeneratorOptions* generator) {
    if (auto p = ReadNumber(port, where, "rate", 0, false, 10'000'000, &generator->framesPerSecond)) return p;
    if (auto p = ReadUnsigned(port, where, "min_size", hw::kMinFrameWithFcs, 16128, &generator->minSize)) return p;
    if (auto p = ReadUnsigned(port, where, "max_size", hw::kMinFrameWithFcs, 16128, &generator->maxSize)) return p;
    if (generator->minSize > generator->maxSize) {
        return Problem{Key(where, "min_size"), "must not exceed max_size (" +
                                                   std::to_string(generator->maxSize) + ")"};
    }
    if (const toml::node* node = port.get("sizes")) {
        // A mix of sizes (IMIX and the like), cycled in the order given.
        const toml::array* sizes = node->as_array();
        const std::string key = Key(where, "sizes");
        if (sizes == nullptr || sizes->empty() || sizes->size() > 4096)
            return Problem{key, "must be a list of 1 to 4096 frame sizes"};
        for (const toml::node& size : *sizes) {
            const auto value = size.value_exact<std::int64_t>();
            if (!value || *value < static_cast<std::int64_t>(hw::kMinFrameWithFcs) || *value > 16128)
                return Problem{key, "each size must be an integer from 64 to 16128"};
            generator->sizes.push_back(static_cast<std::uint32_t>(*value));
        }
    }
    if (auto p = ReadUnsigned(port, where, "count", 0, INT64_MAX, &generator->count)) return p;
    std::int64_t delay = 0;
    if (auto p = ReadInteger(port, where, "start_delay_ms", 0, 3'600'000, &delay)) return p;
    generator->startDelay = std::chrono::milliseconds(delay);
    if (auto p = ReadUnsigned(port, where, "fcs_error_every", 0, UINT32_MAX, &generator->fcsErrorEvery)) return p;
    if (auto p = ReadUnsigned(port, where, "partner_modes", 0, hw::kModesAll, &generator->partnerModes)) return p;
    return std::nullopt;
}

std::optional<Problem> ReadPort(const toml::table& port, std::string_view where, const std::filesystem::path& folder,
                               PendingPort* out) {
    std::optional<std::string> wire;
    if (auto p = ReadString(port, where, "wire", &wire)) return p;
    out->explicitWire = wire.has_value();
    const std::string kind = wire.value_or("none");
    if (kind == "none") {
        if (auto p = CheckKeys(port, where, {"wire"})) return p;
        out->wire.kind = WireKind::None;
    } else if (kind == "cable") {
        if (auto p = CheckKeys(port, where, {"wire", "to"})) return p;
        const toml::table* to = port["to"].as_table();
        const std::string toKey = Key(where, "to");
        if (to == nullptr) return Problem{toKey, "a cable needs its far end: to = { board = B, port = P }"};
        if (auto p = CheckKeys(*to, toKey, {"board", "port"})) return p;
        std::int64_t board = -1, number = -1;
        if (auto p = ReadInteger(*to, toKey, "board", 0, INT32_MAX, &board)) return p;
        if (auto p = ReadInteger(*to, toKey, "port", 0, 1, &number)) return p;
        if (board < 0 || number < 0) return Problem{toKey, "needs both board and port"};
        out->wire.kind = WireKind::Cable;
        out->wire.peerBoard = static_cast<std::uint32_t>(board);
        out->wire.peerPort = static_cast<std::uint32_t>(number);
    } else if (kind == "generator") {
        if (auto p = CheckKeys(port, where, {"wire", "rate", "min_size", "max_size", "sizes", "count", "start_delay_ms",
                                             "fcs_error_every", "partner_modes"})) {
            return p;
        }
        out->wire.kind = WireKind::Generator;
        out->wire.generator = DefaultGenerator();
        if (auto p = ReadGenerator(port, where, &out->wire.generator)) return p;
    } else if (kind == "iface") {
        if (auto p = CheckKeys(port, where, {"wire", "interface"})) return p;
        std::optional<std::string> name;
        if (auto p = ReadString(port, where, "interface", &name)) return p;
        if (!name) return Problem{Key(where, "interface"), "a Linux interface wire needs its interface = \"NAME\""};
        out->wire.kind = WireKind::Interface;
        out->wire.interface.name = *name;
    } else if (kind == "pcap") {
        if (auto p = CheckKeys(port, where, {"wire", "file", "pace", "repeat"})) return p;
        std::optional<std::string> file;
        if (auto p = ReadString(port, where, "file", &file)) return p;
        if (!file || file->empty()) return Problem{Key(where, "file"), "a capture file wire needs its file = \"NAME\""};
        out->wire.kind = WireKind::CaptureFile;
        // Relative to the description's folder, so that a description and
        // its recordings move together.
        const std::filesystem::path path(*file);
        out->wire.capture.file = path.is_absolute() ? path : folder / path;
        std::optional<std::string> pace;
        if (auto p = ReadString(port, where, "pace", &pace)) return p;
        if (pace && *pace == "line") {
            out->wire.capture.pace = hw::ReplayPace::Line;
        } else if (pace && *pace != "recorded") {
            return Problem{Key(where, "pace"), "must be \"recorded\" or \"line\", not \"" + *pace + "\""};
        }
        if (auto p = ReadUnsigned(port, where, "repeat", 0, INT64_MAX, &out->wire.capture.repeat)) return p;
    } else {
        return Problem{Key(where, "wire"), "must be \"none\", \"cable\", \"generator\", \"iface\" or \"pcap\", not \"" +
                                               kind + "\""};
    }
    return std::nullopt;
}

std::optional<Problem> ReadBoard(const toml::table& board, std::string_view where, const std::filesystem::path& folder,
                                 BoardDescription* out, PendingPort ports[2]) {
    if (auto p = CheckKeys(board, where, {"device_id", "vendor_id", "mac", "link_width", "port"})) return p;
    if (auto p = ReadUnsigned(board, where, "device_id", 1, 2, &out->options.deviceId)) return p;
    if (auto p = ReadUnsigned(board, where, "vendor_id", 0, 0xFFFF, &out->options.vendorId)) return p;
    std::int64_t width = out->options.pcieLinkWidth;
    if (auto p = ReadInteger(board, where, "link_width", 1, 4, &width)) return p;
    if (width == 3) return Problem{Key(where, "link_width"), "must be 1, 2 or 4, not 3"};
    out->options.pcieLinkWidth = static_cast<std::uint32_t>(width);
    std::optional<std::string> mac;
    if (auto p = ReadString(board, where, "mac", &mac)) return p;
    if (mac) {
        out->options.mac = ParseMac(*mac);
        if (!out->options.mac) {
            return Problem{Key(where, "mac"), "must be six hexadecimal bytes such as \"02:00:f1:0e:00:00\", not \"" +
                                                  *mac + "\""};
        }
        if ((*out->options.mac)[0] & 1) return Problem{Key(where, "mac"), "is a multicast address"};
    }
    if (const toml::node* node = board.get("port")) {
        const toml::array* list = node->as_array();
        if (list == nullptr || !list->is_array_of_tables()) {
            return Problem{Key(where, "port"), "must be a list of port tables ([[board.port]])"};
        }
        if (list->size() > 2) return Problem{Key(where, "port"), "a board has two ports, not " + std::to_string(list->size())};
        for (std::size_t i = 0; i < list->size(); ++i) {
            if (auto p = ReadPort(*list->get(i)->as_table(), Indexed(where, "port", i), folder, &ports[i])) return p;
        }
    }
    return std::nullopt;
}

std::optional<Problem> ReadDescription(const toml::table& root, const std::filesystem::path& folder, Description* out) {
    if (auto p = CheckKeys(root, "", {"clock", "autonegotiation_delay_ms", "board"})) return p;
    std::optional<std::string> clock;
    if (auto p = ReadString(root, "", "clock", &clock)) return p;
    if (clock) {
        if (*clock == "realtime") {
            out->clock = hw::ClockMode::RealTime;
        } else if (*clock == "manual") {
            out->clock = hw::ClockMode::Manual;
        } else {
            return Problem{"clock", "must be \"realtime\" or \"manual\", not \"" + *clock + "\""};
        }
    }
    double delayMs = std::chrono::duration<double, std::milli>(out->autonegotiationDelay).count();
    if (auto p = ReadNumber(root, "", "autonegotiation_delay_ms", 0, true, 60'000, &delayMs)) return p;
    out->autonegotiationDelay =
        std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(delayMs * 1e6)));

    std::vector<std::array<PendingPort, 2>> pending;
    if (const toml::node* node = root.get("board")) {
        const toml::array* list = node->as_array();
        if (list == nullptr || !list->is_array_of_tables()) {
            return Problem{"board", "must be a list of board tables ([[board]])"};
        }
        for (std::size_t i = 0; i < list->size(); ++i) {
            BoardDescription board;
            std::array<PendingPort, 2> ports;
            if (auto p = ReadBoard(*list->get(i)->as_table(), Indexed("", "board", i), folder, &board, ports.data())) {
                return p;
            }
            out->boards.push_back(board);
            pending.push_back(ports);
        }
    }

    // Two boards with one address would look like one board to everything
    // that groups ports by address.
    for (std::size_t i = 0; i < out->boards.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const auto& a = out->boards[i].options.mac;
            const auto& b = out->boards[j].options.mac;
            if (a && b && ((*a)[5] & 0xFE) == ((*b)[5] & 0xFE) &&
                std::equal(a->begin(), a->begin() + 5, b->begin())) {
                return Problem{Indexed("", "board", i) + ".mac", "is also board[" + std::to_string(j) + "]'s"};
            }
        }
    }

    // A cable has two ends: the far one either names this port back or
    // leaves its wire out (and gets the cable).
    for (std::size_t b = 0; b < pending.size(); ++b) {
        for (std::uint32_t p = 0; p < 2; ++p) {
            const PortWire& wire = pending[b][p].wire;
            if (wire.kind != WireKind::Cable) continue;
            const std::string where = Indexed(Indexed("", "board", b), "port", p) + ".to";
            if (wire.peerBoard >= pending.size()) {
                return Problem{where, "board " + std::to_string(wire.peerBoard) + " does not exist"};
            }
            if (wire.peerBoard == b && wire.peerPort == p) return Problem{where, "a port cannot be cabled to itself"};
            PendingPort& far = pending[wire.peerBoard][wire.peerPort];
            const bool backToUs = far.wire.kind == WireKind::Cable && far.wire.peerBoard == b && far.wire.peerPort == p;
            if (far.explicitWire && !backToUs) {
                return Problem{where, "board[" + std::to_string(wire.peerBoard) + "].port[" +
                                          std::to_string(wire.peerPort) + "] is wired to something else"};
            }
            far.wire.kind = WireKind::Cable;
            far.wire.peerBoard = static_cast<std::uint32_t>(b);
            far.wire.peerPort = p;
            far.explicitWire = true;
        }
    }
    for (std::size_t b = 0; b < pending.size(); ++b) {
        for (std::uint32_t p = 0; p < 2; ++p) out->boards[b].ports[p] = pending[b][p].wire;
    }
    return std::nullopt;
}

}  // namespace

Description DefaultDescription() {
    Description description;
    description.source = "built-in default";
    BoardDescription board;
    for (PortWire& port : board.ports) {
        port.kind = WireKind::Generator;
        port.generator = DefaultGenerator();
    }
    description.boards.push_back(board);
    return description;
}

bool ParseDescription(std::string_view text, std::string_view source, Description* description,
                      std::string* error) {
    Description parsed;
    parsed.source = std::string(source);
    try {
        const toml::table root = toml::parse(text, source);
        if (auto problem = ReadDescription(root, std::filesystem::path(source).parent_path(), &parsed)) {
            if (error) *error = std::string(source) + ": " + problem->key + ": " + problem->what;
            return false;
        }
    } catch (const toml::parse_error& e) {
        if (error) {
            std::ostringstream text;
            text << source << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
                 << e.description();
            *error = text.str();
        }
        return false;
    } catch (const std::exception& e) {
        if (error) *error = std::string(source) + ": " + e.what();
        return false;
    }
    *description = std::move(parsed);
    return true;
}

bool LoadDescription(const std::filesystem::path& file, Description* description, std::string* error) {
    std::error_code ec;
    std::ifstream in;
    // A folder opens as a stream on Linux and only fails on reading.
    if (std::filesystem::is_regular_file(file, ec)) in.open(file, std::ios::binary);
    if (!in.is_open()) {
        if (error) *error = file.string() + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        if (error) *error = file.string() + ": cannot be read";
        return false;
    }
    return ParseDescription(text.str(), file.string(), description, error);
}

}  // namespace machine
