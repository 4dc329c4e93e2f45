// What the panel's tests share: the machine they run on, the message boxes
// the dialog puts up (recorded and answered), the import table with a few
// entries watched or standing in for failures, and the registry values the
// dialog reads and writes.
#pragma once

#include <gtest/gtest.h>

#include "FlPanelDlg.h"
#include "FlPanelImports.h"

#include <fl_test_machine.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace paneltest {

// Board 0: both ports hear generators that advertise every mode. Board 1:
// nothing on its wires; its address is odd, so its first port (function 0)
// has an odd last byte.
constexpr char kMachine[] = "autonegotiation_delay_ms = 20\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:a0\"\n"
                            "[[board.port]]\n"
                            "wire = \"generator\"\n"
                            "rate = 50\n"
                            "[[board.port]]\n"
                            "wire = \"generator\"\n"
                            "rate = 50\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:b1\"\n";

inline void UseMachine()
{
    FlUseTestMachine("panel", kMachine);
}

inline bool WaitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct MESSAGE {
    std::string Text;
    std::string Caption;
    unsigned Type;
};

// Message boxes as the dialog would show them; questions get the queued
// answers (No when none is queued).
class MessageLog {
public:
    CFlPanelDlg::MESSAGE_BOX Box()
    {
        return [this](const std::string& text, const std::string& caption, unsigned type) {
            messages.push_back({text, caption, type});
            if ((type & MB_YESNO) == 0) return IDOK;
            if (answers.empty()) return IDNO;
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        };
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const MESSAGE& message : messages) texts.push_back(message.Text);
        return texts;
    }
    std::vector<MESSAGE> messages;
    std::deque<int> answers;
};

// Calls of the watched imports, in order, and the failures to stand in.
struct Watch {
    std::vector<std::string> calls;
    FL_STATUS boardSetFeature = FL_SUCCESS;  // used when forced
    bool forceBoardSetFeature = false;
    int failSetAutonegotiationAt = -1;       // the n-th set (0-based) fails
    int autonegotiationSets = 0;
    bool failBoardQueryFeature = false;
    bool forcePassthruOn = false;
    bool failPortSetFeature = false;
    bool failPortSetDescription = false;
    LSTATUS setValueError = ERROR_SUCCESS;
};
inline Watch g_watch;

inline std::string MacOf(FL_PORT port)
{
    uint8_t mac[6] = {};
    FlPortQueryMacAddress(port, mac);
    char text[32];
    std::snprintf(text, sizeof text, "%02x", mac[5]);
    return text;
}

inline FL_STATUS WatchedSetAutonegotiation(FL_PORT port, const FL_AUTONEGOTIATION_PARAMETERS* parameters)
{
    g_watch.calls.push_back("autoneg " + MacOf(port) + " " + std::to_string(parameters->Modes) + "," +
                            std::to_string(parameters->SupportedModes) + "," +
                            std::to_string(parameters->Enabled));
    if (g_watch.autonegotiationSets++ == g_watch.failSetAutonegotiationAt) return FL_ERROR_IO;
    return FlPortSetAutonegotiationParameters(port, parameters);
}

inline FL_STATUS WatchedBoardSetFeature(FL_BOARD board, uint32_t feature, uint32_t value)
{
    g_watch.calls.push_back("board " + std::to_string(feature) + "=" + std::to_string(value));
    if (g_watch.forceBoardSetFeature) return g_watch.boardSetFeature;
    return FlBoardSetFeature(board, feature, value);
}

inline FL_STATUS WatchedBoardQueryFeature(FL_BOARD board, uint32_t feature, uint32_t* value)
{
    if (g_watch.failBoardQueryFeature) return FL_ERROR_REGISTRY;
    if (g_watch.forcePassthruOn) {
        *value = 1;
        return FL_SUCCESS;
    }
    return FlBoardQueryFeature(board, feature, value);
}

inline FL_STATUS WatchedPortSetFeature(FL_PORT port, uint32_t feature, uint32_t value)
{
    g_watch.calls.push_back("led " + MacOf(port) + " " + std::to_string(feature) + "=" + std::to_string(value));
    if (g_watch.failPortSetFeature) return FL_ERROR_IO;
    return FlPortSetFeature(port, feature, value);
}

inline FL_STATUS WatchedPortSetDescription(FL_PORT port, const char* text)
{
    g_watch.calls.push_back("description " + MacOf(port));
    if (g_watch.failPortSetDescription) return FL_ERROR_REGISTRY;
    return FlPortSetDescription(port, text);
}

inline LSTATUS WINAPI WatchedSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    g_watch.calls.push_back(std::string("registry ") + name);
    if (g_watch.setValueError != ERROR_SUCCESS) return g_watch.setValueError;
    return RegSetValueExA(key, name, reserved, type, data, size);
}

// The real imports with the watched ones in their place.
inline const FLPANEL_IMPORTS* WatchedImports()
{
    static const FLPANEL_IMPORTS imports = [] {
        FLPANEL_IMPORTS watched = FlPanelSystemImports();
        watched.PortSetAutonegotiationParameters = WatchedSetAutonegotiation;
        watched.BoardSetFeature = WatchedBoardSetFeature;
        watched.BoardQueryFeature = WatchedBoardQueryFeature;
        watched.PortSetFeature = WatchedPortSetFeature;
        watched.PortSetDescription = WatchedPortSetDescription;
        watched.SetValue = WatchedSetValue;
        return watched;
    }();
    return &imports;
}

// A list of the library's own, to read back what the dialog stored.
class ReadBack {
public:
    ReadBack() { EXPECT_EQ(FlQueryPortList(&ports_, &count_), FL_SUCCESS); }
    ~ReadBack() { FlFreePortList(ports_); }
    ReadBack(const ReadBack&) = delete;
    ReadBack& operator=(const ReadBack&) = delete;

    FL_PORT ByMac(uint8_t last) const
    {
        for (uint32_t i = 0; i < count_; ++i) {
            uint8_t mac[6];
            if (FlPortGetType(ports_[i]) == FL_PORT_TYPE_PHYSICAL &&
                FlPortQueryMacAddress(ports_[i], mac) == FL_SUCCESS && mac[5] == last) {
                return ports_[i];
            }
        }
        ADD_FAILURE() << "no port ending in " << int(last);
        return nullptr;
    }
    uint32_t Modes(uint8_t last) const
    {
        FL_AUTONEGOTIATION_PARAMETERS parameters{};
        EXPECT_EQ(FlPortQueryAutonegotiationParameters(ByMac(last), &parameters), FL_SUCCESS);
        return parameters.Modes;
    }
    uint32_t Led(uint8_t last) const
    {
        uint32_t value = 0;
        EXPECT_EQ(FlPortQueryFeature(ByMac(last), FL_PORT_FT_LED0, &value), FL_SUCCESS);
        return value;
    }
    uint32_t Passthru(uint8_t last) const
    {
        FL_BOARD board = nullptr;
        EXPECT_EQ(FlPortQueryBoard(ByMac(last), &board), FL_SUCCESS);
        uint32_t value = 7;
        EXPECT_EQ(FlBoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &value), FL_SUCCESS);
        return value;
    }

private:
    FL_PORT* ports_ = nullptr;
    uint32_t count_ = 0;
};

// Advertises all modes again, through the library as the panel would.
inline void AllModes(uint8_t last)
{
    ReadBack list;
    const FL_AUTONEGOTIATION_PARAMETERS all = {FL_SPEED_ALL, FL_SPEED_ALL, 1, {}};
    EXPECT_EQ(FlPortSetAutonegotiationParameters(list.ByMac(last), &all), FL_SUCCESS);
}

// The driver's Parameters key, for the timestamping mode.
constexpr char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters";

inline bool SetParameter(const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const bool done = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return done;
}

inline void DeleteParameter(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// The stored mode, or -1 when there is no 4-byte REG_DWORD.
inline long StoredTimestampingMode()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    DWORD type = 0, value = 0, size = sizeof value;
    const LSTATUS error =
        RegQueryValueExA(key, "TimestampingMode", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS && type == REG_DWORD && size == 4 ? static_cast<long>(value) : -1;
}

} // namespace paneltest
