// Ports and boards: the physical port of one board, the board aggregating
// port over both ports of a board, the aggregating port over every physical
// port, and the board record that ties two ports together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Objects.h"

namespace FlApi {

class PhysicalPort;

inline constexpr char kBoardDescription[] = "Ferrolan Gigabit Ethernet Board";
inline constexpr char kBapPortDescription[] = "Ferrolan Board Aggregating Port";
inline constexpr char kBapPortNamePrefix[] = "\\\\?\\FL_bap_";
inline constexpr char kFlApPortName[] = "\\\\?\\FL_flan";
inline constexpr char kFlApPortDescription[] = "Ferrolan Aggregating Port";

// One 82571 controller: its two ports, whose MAC addresses differ only in
// bit 0 of the last byte. A plain record: whoever made it owns it (a port
// list, or the port or aggregating port that holds a copy) and its ports.
struct Board {
    char Description[sizeof(kBoardDescription)];
    uint8_t MacAddress[6];   // the first port's address with bit 0 of byte 5 cleared
    FL_PORT Ports[2];
    uint32_t PortCount;
};

// A board for a port with address `portMac`, with no ports yet.
std::unique_ptr<Board> NewBoard(const uint8_t portMac[6]);

// Whether a port with address `portMac` belongs on `board`: bytes 0..4 equal,
// byte 5 equal but for bit 0, and a slot still free (a controller has two
// functions; a third matching address is a different board).
bool BoardTakes(const Board& board, const uint8_t portMac[6]) noexcept;

// Puts `port` into the board's next slot and records the board in the port.
void AttachPort(Board& board, PhysicalPort* port) noexcept;

// A board copied with its ports: each port opened again. Null when a port
// cannot be copied; nothing is left behind then. Released with DestroyBoard.
Board* CopyBoard(const Board& source);

// Destroys a copied board: its ports, then the record.
void DestroyBoard(Board* board) noexcept;

bool SameMac(const uint8_t a[6], const uint8_t b[6]) noexcept;

class PhysicalPort final : public Port {
public:
    // Opens the port's device to read its MAC address: FL_ERROR_UNKNOWN when
    // the device does not open, FL_ERROR_INVALID_REQUEST when the driver
    // does not answer with the 6 bytes. `description` null or empty: the
    // path describes the port.
    static FL_STATUS Create(const char* path, const char* description,
                            std::unique_ptr<PhysicalPort>* port);

    // A port whose address is already known.
    PhysicalPort(std::string name, std::string description, const uint8_t macAddress[6]);
    ~PhysicalPort() override;

    Port* Clone(bool withBoard) override;
    const char* GetName() override;
    const char* GetDescription() override;
    FL_STATUS SetDescription(const char* description) override;
    FL_STATUS QueryBoard(Board** board) override;
    uint32_t GetType() override;
    FL_STATUS QueryMacAddress(uint8_t* macAddress) override;
    bool IsEqual(Port* other) override;
    FL_STATUS QueryLinkStatus(FL_LINK_STATUS* linkStatus) override;
    FL_STATUS SetFeature(uint32_t feature, uint32_t value) override;
    FL_STATUS QueryFeature(uint32_t feature, uint32_t* value) override;
    FL_STATUS QueryAutonegotiationParameters(FL_AUTONEGOTIATION_PARAMETERS* parameters) override;
    FL_STATUS SetAutonegotiationParameters(FL_AUTONEGOTIATION_PARAMETERS* parameters) override;
    FL_STATUS QueryStatistics(Statistics** statistics) override;

    const uint8_t* MacAddress() const noexcept { return mac_; }
    Board* GetBoard() const noexcept { return board_; }
    // Records the port's board; `owns`: the port is the one that releases
    // the board (a copy made by Clone(true)).
    void SetBoard(Board* board, bool owns) noexcept;

private:
    uint8_t mac_[6];
    std::string name_;
    std::string description_;
    Board* board_ = nullptr;
    bool ownsBoard_ = false;
};

class BapPort final : public Port {
public:
    // `owns`: the port releases the board and its ports (a copy).
    BapPort(Board* board, bool owns);
    ~BapPort() override;

    Port* Clone(bool withBoard) override;
    const char* GetName() override;
    const char* GetDescription() override;
    FL_STATUS QueryBoard(Board** board) override;
    uint32_t GetType() override;
    FL_STATUS QueryAggregatedPortList(FL_PORT** portList, uint32_t* portCount) override;
    bool IsEqual(Port* other) override;
    FL_STATUS QueryStatistics(Statistics** statistics) override;

private:
    Board* board_;
    bool ownsBoard_;
    char name_[24];
};

class FlApPort final : public Port {
public:
    // `owns`: the port releases its members (copies).
    FlApPort(std::vector<FL_PORT> members, bool owns);
    ~FlApPort() override;

    Port* Clone(bool withBoard) override;
    const char* GetName() override;
    const char* GetDescription() override;
    uint32_t GetType() override;
    FL_STATUS QueryAggregatedPortList(FL_PORT** portList, uint32_t* portCount) override;
    bool IsEqual(Port* other) override;
    FL_STATUS QueryStatistics(Statistics** statistics) override;

private:
    std::vector<FL_PORT> members_;
    bool ownsMembers_;
};

} // namespace FlApi
