// Booting machines: with and without the driver installed, the PnP order of
// boot and shutdown, the process's machine, and frames through the
// descriptor rings of the tests' own driver, end to end on real threads.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "hw/ethernet.hpp"
#include "km/debug.hpp"
#include "km/pnp.hpp"
#include "machine/install.hpp"
#include "machine/machine.hpp"
#include "nt/hive.h"
#include "testdriver.h"

namespace {

using namespace std::chrono_literals;

std::filesystem::path TestDir() {
    const char* tmp = std::getenv("FL_TEST_TMP");
    std::filesystem::path dir = std::filesystem::path(tmp != nullptr ? tmp : "/tmp/fl-machine-tests") / "boot";
    std::filesystem::create_directories(dir);
    return dir;
}

// Generous: sanitizer builds on a shared machine are slow.
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::shared_ptr<nt::Hive> MachineHive() {
    std::shared_ptr<nt::Hive> hive;
    EXPECT_EQ(nt::Hive::Machine(&hive), STATUS_SUCCESS);
    return hive;
}

void DeleteTree(nt::RegistryKey& key) {
    std::string name;
    while (NT_SUCCESS(key.EnumerateSubkey(0, &name))) {
        nt::Ref<nt::RegistryKey> child;
        ASSERT_EQ(key.OpenSubkey(name, &child), STATUS_SUCCESS);
        DeleteTree(*child);
    }
    ASSERT_EQ(key.Delete(), STATUS_SUCCESS);
}

// The hive as nobody has set it up.
void ResetHive() {
    auto hive = MachineHive();
    nt::Ref<nt::RegistryKey> system;
    if (NT_SUCCESS(hive->OpenKey("SYSTEM", &system))) DeleteTree(*system);
    ASSERT_TRUE(machine::HiveIsFresh(*hive));
}

// The FL service with the tests' driver as its image.
void InstallTestDriver() {
    auto hive = MachineHive();
    ASSERT_EQ(machine::InstallDriverService(*hive), STATUS_SUCCESS);
    nt::Ref<nt::RegistryKey> service;
    ASSERT_EQ(hive->OpenKey("SYSTEM\\CurrentControlSet\\Services\\FL", &service), STATUS_SUCCESS);
    ASSERT_EQ(service->SetString("ImagePath", FLTEST_DRIVER), STATUS_SUCCESS);
}

std::filesystem::path WriteDescription(const std::string& name, const std::string& text) {
    const std::filesystem::path file = TestDir() / name;
    std::ofstream(file) << text;
    return file;
}

// The debugger log from a mark on.
class LogWatch {
public:
    LogWatch() : path_(km::DebuggerLogPath()) {
        std::error_code ec;
        start_ = std::filesystem::exists(path_, ec) ? std::filesystem::file_size(path_, ec) : 0;
    }
    std::vector<std::string> Lines(std::string_view containing = "") const {
        std::ifstream in(path_);
        in.seekg(static_cast<std::streamoff>(start_));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (line.find(containing) != std::string::npos) lines.push_back(line);
        }
        return lines;
    }
    std::string Text() const {
        std::ostringstream all;
        for (const std::string& line : Lines()) all << line << "\n";
        return all.str();
    }

private:
    std::filesystem::path path_;
    std::uintmax_t start_ = 0;
};

std::unique_ptr<machine::RunningMachine> Boot(const machine::BootOptions& options) {
    std::unique_ptr<machine::RunningMachine> running;
    std::string error;
    EXPECT_EQ(machine::RunningMachine::Boot(options, &running, &error), STATUS_SUCCESS) << error;
    return running;
}

std::string MacText(const hw::MacAddress& mac) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

class MachineBoot : public ::testing::Test {
protected:
    void SetUp() override {
        // The machine's log lives beside the hive; a boot sets it, so set it
        // here too for watches taken before the first boot.
        km::SetDebuggerLogPath(nt::Hive::MachinePath().parent_path() / "debugger.log");
        std::filesystem::create_directories(nt::Hive::MachinePath().parent_path());
    }
};

TEST(MachineImagePath, WindowsPathsMapToTheDriverFolderAndLinuxPathsStay) {
    EXPECT_EQ(machine::ResolveImagePath("\\SystemRoot\\System32\\drivers\\fl.sys", "/opt/fl/lib"),
              std::filesystem::path("/opt/fl/lib/fl.sys"));
    EXPECT_EQ(machine::ResolveImagePath("System32\\DRIVERS\\Other.sys", "/d"), std::filesystem::path("/d/Other.sys"));
    EXPECT_EQ(machine::ResolveImagePath("/srv/drivers/fltest.sys", "/d"), std::filesystem::path("/srv/drivers/fltest.sys"));
    // The default folder is the one this library was loaded from.
    EXPECT_TRUE(std::filesystem::exists(machine::LibraryDirectory() / "libfl_machine.so"))
        << machine::LibraryDirectory();
}

TEST_F(MachineBoot, FreshHiveGetsTheDriverInstalledAndAMissingImageIsLogged) {
    ResetHive();
    const std::filesystem::path emptyDir = TestDir() / "no-drivers";
    std::filesystem::create_directories(emptyDir);
    LogWatch log;
    machine::BootOptions options;
    options.driverDirectory = emptyDir;
    auto running = Boot(options);
    ASSERT_TRUE(running);

    // The built-in machine: one board whose ports are fed by generators.
    EXPECT_EQ(running->GetDescription().source, "built-in default");
    ASSERT_EQ(running->Hardware().BoardCount(), 1u);
    std::string image;
    EXPECT_TRUE(machine::ServiceInstalled(*MachineHive(), "FL", &image));
    EXPECT_EQ(image, machine::kDriverImagePath);
    ASSERT_EQ(running->Devices().size(), 2u);
    for (const machine::Device& device : running->Devices()) {
        EXPECT_EQ(device.service, "FL");
        EXPECT_EQ(device.node, nullptr);  // its image is not there
    }
    EXPECT_TRUE(running->Drivers().empty());
    const auto missing = log.Lines("not found");
    ASSERT_EQ(missing.size(), 1u) << log.Text();
    EXPECT_NE(missing[0].find((emptyDir / "fl.sys").string()), std::string::npos) << missing[0];

    hw::Machine& hardware = running->Hardware();
    EXPECT_TRUE(WaitFor([&] {
        return hardware.GeneratorSent(hardware.GetBoard(0).GetPort(0)) > 0 &&
               hardware.GeneratorSent(hardware.GetBoard(0).GetPort(1)) > 0;
    }));
    running->Shutdown();
    running->Shutdown();  // a second time does nothing
    EXPECT_TRUE(km::Devices().empty());
}

TEST_F(MachineBoot, WithoutTheServiceNoDriverAndNoInterfaces) {
    ResetHive();
    nt::Ref<nt::RegistryKey> services;
    ASSERT_EQ(MachineHive()->CreateKey(std::string(machine::kServicesKey), &services), STATUS_SUCCESS);
    machine::BootOptions options;
    options.description = WriteDescription("one-board.toml", "[[board]]\n");
    {
        LogWatch log;
        auto running = Boot(options);
        ASSERT_TRUE(running);
        EXPECT_FALSE(machine::ServiceInstalled(*MachineHive(), "FL", nullptr));  // not a fresh hive
        EXPECT_TRUE(running->Drivers().empty());
        ASSERT_EQ(running->Devices().size(), 2u);
        for (const machine::Device& device : running->Devices()) {
            EXPECT_EQ(device.service, "");
            EXPECT_EQ(device.node, nullptr);
        }
        EXPECT_TRUE(km::Devices().empty());
        EXPECT_TRUE(km::GetDeviceInterfaces(GUID_DEVINTERFACE_FLTEST).empty());
        EXPECT_TRUE(log.Lines("fltest:").empty());
        EXPECT_EQ(log.Lines("no driver installed").size(), 2u) << log.Text();
    }
    // Installing the driver later: the known functions get it at the next boot.
    InstallTestDriver();
    auto running = Boot(options);
    ASSERT_TRUE(running);
    ASSERT_EQ(running->Drivers().size(), 1u);
    for (const machine::Device& device : running->Devices()) {
        EXPECT_EQ(device.service, "FL");
        ASSERT_NE(device.node, nullptr);
        EXPECT_EQ(km::GetDeviceState(*device.node), km::DeviceState::Started);
    }
    EXPECT_EQ(km::GetDeviceInterfaces(GUID_DEVINTERFACE_FLTEST).size(), 2u);
}

TEST_F(MachineBoot, BootAndShutdownFollowThePnpOrder) {
    ResetHive();
    InstallTestDriver();
    machine::BootOptions options;
    options.description = WriteDescription("order.toml", "[[board]]\n");
    LogWatch log;
    auto running = Boot(options);
    ASSERT_TRUE(running);
    ASSERT_EQ(running->Devices().size(), 2u);
    const auto interfaces = km::GetDeviceInterfaces(GUID_DEVINTERFACE_FLTEST);
    ASSERT_EQ(interfaces.size(), 2u);
    for (const machine::Device& device : running->Devices()) {
        ASSERT_NE(device.node, nullptr);
        EXPECT_EQ(device.status, STATUS_SUCCESS);
        EXPECT_EQ(km::GetInstanceId(*device.node), device.instanceId);
        bool published = false;
        for (const auto& i : interfaces) published = published || (i.instanceId == device.instanceId && i.enabled);
        EXPECT_TRUE(published) << device.instanceId;
    }
    const std::string mac0 = MacText(running->Devices()[0].port->Mac());
    const std::string mac1 = MacText(running->Devices()[1].port->Mac());
    running->Shutdown();
    EXPECT_TRUE(km::Devices().empty());
    EXPECT_TRUE(km::GetDeviceInterfaces(GUID_DEVINTERFACE_FLTEST).empty());

    std::vector<std::string> calls;
    for (const std::string& line : log.Lines("fltest: ")) calls.push_back(line.substr(line.find("fltest: ") + 8));
    const std::vector<std::string> expected = {
        "driver entry",
        // Function 0, then function 1, each started before the next is added.
        "device add", "prepare hardware", "D0 entry " + mac0, "self-managed I/O init",
        "device add", "prepare hardware", "D0 entry " + mac1, "self-managed I/O init",
        // The last added goes first.
        "self-managed I/O suspend", "D0 exit", "release hardware", "device cleanup",
        "self-managed I/O suspend", "D0 exit", "release hardware", "device cleanup",
        "driver unload",
    };
    EXPECT_EQ(calls, expected) << log.Text();
}

// What the tests reach of their driver: the exports of the loaded image.
class TestDriver {
public:
    TestDriver() {
        module_ = dlopen(FLTEST_DRIVER, RTLD_NOW | RTLD_NOLOAD);
        if (module_ == nullptr) return;
        find_ = reinterpret_cast<PFN_FLTEST_FIND_PORT>(dlsym(module_, "FlTestFindPort"));
        count_ = reinterpret_cast<PFN_FLTEST_RECEIVED_COUNT>(dlsym(module_, "FlTestReceivedCount"));
        frame_ = reinterpret_cast<PFN_FLTEST_RECEIVED_FRAME>(dlsym(module_, "FlTestReceivedFrame"));
        transmit_ = reinterpret_cast<PFN_FLTEST_TRANSMIT>(dlsym(module_, "FlTestTransmit"));
        transmitted_ = reinterpret_cast<PFN_FLTEST_TRANSMITTED>(dlsym(module_, "FlTestTransmitted"));
    }
    ~TestDriver() {
        if (module_ != nullptr) dlclose(module_);
    }
    bool Loaded() const { return find_ && count_ && frame_ && transmit_ && transmitted_; }
    PVOID Port(const hw::MacAddress& mac) const { return find_(mac.data()); }
    LONG64 Received(PVOID port) const { return count_(port); }
    std::vector<std::uint8_t> Frame(PVOID port, LONG64 index) const {
        std::vector<std::uint8_t> bytes(2048);
        bytes.resize(frame_(port, index, bytes.data(), static_cast<ULONG>(bytes.size())));
        return bytes;
    }
    NTSTATUS Transmit(PVOID port, const std::vector<std::uint8_t>& frame) const {
        return transmit_(port, frame.data(), static_cast<ULONG>(frame.size()));
    }
    LONG64 Transmitted(PVOID port) const { return transmitted_(port); }

private:
    void* module_ = nullptr;
    PFN_FLTEST_FIND_PORT find_ = nullptr;
    PFN_FLTEST_RECEIVED_COUNT count_ = nullptr;
    PFN_FLTEST_RECEIVED_FRAME frame_ = nullptr;
    PFN_FLTEST_TRANSMIT transmit_ = nullptr;
    PFN_FLTEST_TRANSMITTED transmitted_ = nullptr;
};

// Sends `count` frames of growing size from one driver port and checks that
// the cabled port's driver receives each one whole, with its FCS.
void SendAcross(const TestDriver& driver, hw::Port& from, hw::Port& to, int count) {
    PVOID sender = driver.Port(from.Mac());
    PVOID receiver = driver.Port(to.Mac());
    ASSERT_NE(sender, nullptr);
    ASSERT_NE(receiver, nullptr);
    const LONG64 firstReceived = driver.Received(receiver);
    const LONG64 firstSent = driver.Transmitted(sender);
    std::vector<std::vector<std::uint8_t>> sent;
    for (int i = 0; i < count; ++i) {
        const std::size_t size = 60 + (static_cast<std::size_t>(i) * 331) % (1514 - 60 + 1);
        std::vector<std::uint8_t> frame(size);
        const hw::MacAddress dst = to.Mac(), src = from.Mac();
        std::copy(dst.begin(), dst.end(), frame.begin());
        std::copy(src.begin(), src.end(), frame.begin() + 6);
        frame[12] = 0x88;
        frame[13] = 0xB6;
        for (std::size_t b = 14; b < size; ++b) frame[b] = static_cast<std::uint8_t>(b * 7 + i);
        NTSTATUS status;
        // The ring may be full for a moment; the driver's thread cleans it.
        ASSERT_TRUE(WaitFor([&] { return (status = driver.Transmit(sender, frame)) != STATUS_DEVICE_BUSY; }));
        ASSERT_EQ(status, STATUS_SUCCESS);
        sent.push_back(std::move(frame));
    }
    ASSERT_TRUE(WaitFor([&] {
        return driver.Received(receiver) >= firstReceived + count && driver.Transmitted(sender) >= firstSent + count;
    })) << "received " << driver.Received(receiver) - firstReceived << " of " << count;
    EXPECT_EQ(driver.Received(receiver), firstReceived + count);  // nothing else on that wire
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> got = driver.Frame(receiver, firstReceived + i);
        ASSERT_EQ(got.size(), sent[i].size() + 4) << "frame " << i;
        EXPECT_TRUE(std::equal(sent[i].begin(), sent[i].end(), got.begin())) << "frame " << i;
        EXPECT_TRUE(hw::FcsValid(got)) << "frame " << i;
    }
}

TEST_F(MachineBoot, DriverReceivesGeneratorFramesAndTransmitsAcrossACable) {
    ResetHive();
    InstallTestDriver();
    machine::BootOptions options;
    options.description = WriteDescription("e2e.toml", R"(
[[board]]
  [[board.port]]
  wire = "generator"
  rate = 2000
  min_size = 64
  max_size = 1518
  [[board.port]]
  wire = "cable"
  to = { board = 1, port = 0 }
[[board]]
)");
    auto running = Boot(options);
    ASSERT_TRUE(running);
    ASSERT_EQ(running->Devices().size(), 4u);
    for (const machine::Device& device : running->Devices()) ASSERT_NE(device.node, nullptr);
    hw::Machine& hardware = running->Hardware();
    hw::Port& generated = hardware.GetBoard(0).GetPort(0);
    hw::Port& cableA = hardware.GetBoard(0).GetPort(1);
    hw::Port& cableB = hardware.GetBoard(1).GetPort(0);

    TestDriver driver;
    ASSERT_TRUE(driver.Loaded());

    // Generator frames through the receive descriptors.
    PVOID port = driver.Port(generated.Mac());
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(WaitFor([&] { return driver.Received(port) >= 200; })) << driver.Received(port);
    const LONG64 received = driver.Received(port);
    std::optional<std::uint64_t> last;
    std::set<std::size_t> sizes;
    for (LONG64 i = received - 200; i < received; ++i) {
        const std::vector<std::uint8_t> frame = driver.Frame(port, i);
        const auto info = hw::ParseGeneratorFrame(frame);
        ASSERT_TRUE(info.has_value()) << "frame " << i << " of " << frame.size() << " bytes";
        EXPECT_TRUE(info->fcsValid);
        EXPECT_TRUE(info->patternValid);
        if (last) {
            EXPECT_GT(info->sequence, *last);  // in wire order
        }
        last = info->sequence;
        EXPECT_GE(frame.size(), 64u);
        EXPECT_LE(frame.size(), 1518u);
        sizes.insert(frame.size());
    }
    EXPECT_GT(sizes.size(), 1u);  // mixed sizes
    EXPECT_LE(driver.Received(port), static_cast<LONG64>(hardware.GeneratorSent(generated)));

    // Frames from one driver port reach the cabled port's driver whole.
    ASSERT_TRUE(WaitFor([&] { return cableA.LinkUp() && cableB.LinkUp(); }));
    SendAcross(driver, cableA, cableB, 150);  // more than a ring: it wraps
    SendAcross(driver, cableB, cableA, 20);
    EXPECT_EQ(hardware.Bus().FaultCount(), 0u);
    // The port without a wire saw nothing.
    EXPECT_EQ(driver.Received(driver.Port(hardware.GetBoard(1).GetPort(1).Mac())), 0);
}

TEST_F(MachineBoot, OneMachineAtATimeAndBoardAddressesDistinct) {
    ResetHive();
    machine::BootOptions options;
    options.description = WriteDescription("two.toml", "[[board]]\n[[board]]\n");
    auto running = Boot(options);
    ASSERT_TRUE(running);
    std::unique_ptr<machine::RunningMachine> second;
    std::string error;
    EXPECT_EQ(machine::RunningMachine::Boot(options, &second, &error), STATUS_DEVICE_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(error.empty());
    // The address the model gives board 0 by default, given to board 1 as well.
    const std::string taken = MacText(running->Hardware().GetBoard(0).GetPort(0).Mac());
    running.reset();

    options.description = WriteDescription("same-mac.toml", "[[board]]\n[[board]]\nmac = \"" + taken + "\"\n");
    EXPECT_EQ(machine::RunningMachine::Boot(options, &second, &error), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(error.rfind(options.description.string() + ": board[1].mac: " + taken, 0), 0u) << error;
    EXPECT_TRUE(km::Devices().empty());
    // A refused boot leaves the process free for the next one.
    options.description = WriteDescription("two.toml", "[[board]]\n[[board]]\n");
    EXPECT_TRUE(Boot(options));
}

TEST_F(MachineBoot, PortsTheDriverRefusesAreSaidOnceOnStandardError) {
    ResetHive();
    InstallTestDriver();  // it drives four ports at most
    machine::BootOptions options;
    options.description = WriteDescription("three.toml", "[[board]]\n[[board]]\n[[board]]\n");
    testing::internal::CaptureStderr();
    auto running = Boot(options);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(running);
    std::size_t started = 0;
    for (const machine::Device& device : running->Devices()) started += NT_SUCCESS(device.status) ? 1 : 0;
    EXPECT_EQ(started, 4u);
    EXPECT_EQ(said, "machine: 2 of 6 ports were not started by their driver (first refusal 0xC0000182); details in " +
                        km::DebuggerLogPath().string() + "\n");
}

TEST_F(MachineBoot, AfterShutdownTheHiveFileAloneHoldsTheSettings) {
    ResetHive();
    InstallTestDriver();
    machine::BootOptions options;
    options.description = WriteDescription("one-board.toml", "[[board]]\n");
    auto running = Boot(options);
    ASSERT_TRUE(running);
    nt::Ref<nt::RegistryKey> parameters;
    ASSERT_EQ(MachineHive()->OpenKey("SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters", &parameters),
              STATUS_SUCCESS);
    ASSERT_EQ(parameters->SetDword("Marker", 0x5A), STATUS_SUCCESS);
    running->Shutdown();
    // Copied as a user backs it up: the file, without its log.
    const std::filesystem::path copy = TestDir() / "copy.db";
    std::filesystem::remove(copy);
    std::filesystem::copy_file(MachineHive()->File(), copy);
    std::shared_ptr<nt::Hive> copied;
    ASSERT_EQ(nt::Hive::Open(copy, &copied), STATUS_SUCCESS);
    EXPECT_TRUE(machine::ServiceInstalled(*copied, "FL", nullptr));
    ASSERT_EQ(copied->OpenKey("SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters", &parameters),
              STATUS_SUCCESS);
    ULONG marker = 0;
    EXPECT_EQ(parameters->QueryDword("Marker", &marker), STATUS_SUCCESS);
    EXPECT_EQ(marker, 0x5Au);
}

TEST_F(MachineBoot, ModelTracesReachTheDebuggerLogWithoutFloodingIt) {
    ResetHive();
    machine::BootOptions options;
    options.description = WriteDescription("traces.toml", "[[board]]\n");
    auto running = Boot(options);
    ASSERT_TRUE(running);
    LogWatch log;
    hw::Port& port = running->Hardware().GetBoard(0).GetPort(0);
    for (int i = 0; i < 1000; ++i) port.WriteRegister(0x2, 1);  // not a register offset
    EXPECT_GE(running->Hardware().TraceCount(), 1000u);
    const auto traces = log.Lines("hw: ");
    ASSERT_GE(traces.size(), 2u);
    EXPECT_LT(traces.size(), 1000u);
    EXPECT_NE(traces.back().find("not logged"), std::string::npos) << traces.back();
}

TEST_F(MachineBoot, ProcessMachineBootsOnceForConcurrentCallers) {
    ResetHive();
    InstallTestDriver();
    const auto description = WriteDescription("process.toml", "[[board]]\n");
    ASSERT_EQ(setenv("FL_MACHINE", description.c_str(), 1), 0);
    LogWatch log;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    std::vector<machine::RunningMachine*> seen(8);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            if (machine::EnsureBooted() != STATUS_SUCCESS) failures.fetch_add(1);
            seen[i] = machine::CurrentMachine();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_NE(seen[0], nullptr);
    for (auto* m : seen) EXPECT_EQ(m, seen[0]);
    EXPECT_EQ(seen[0]->GetDescription().source, description.string());
    EXPECT_EQ(log.Lines("fltest: driver entry").size(), 1u);
    EXPECT_EQ(machine::EnsureBooted(), STATUS_SUCCESS);
    EXPECT_EQ(log.Lines("fltest: device add").size(), 2u);

    machine::ShutdownMachine();
    EXPECT_EQ(machine::CurrentMachine(), nullptr);
    EXPECT_EQ(log.Lines("fltest: driver unload").size(), 1u);
    EXPECT_TRUE(km::Devices().empty());
    unsetenv("FL_MACHINE");
}

TEST_F(MachineBoot, ProcessMachineKeepsABadDescriptionsErrorUntilShutDown) {
    ResetHive();
    const auto description = WriteDescription("bad.toml", "[[board]]\nlink_width = 3\n");
    ASSERT_EQ(setenv("FL_MACHINE", description.c_str(), 1), 0);
    EXPECT_EQ(machine::EnsureBooted(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine::CurrentMachine(), nullptr);
    EXPECT_EQ(machine::BootError().rfind(description.string() + ": board[0].link_width: ", 0), 0u)
        << machine::BootError();
    // Mended, but the process keeps its first answer...
    WriteDescription("bad.toml", "[[board]]\n");
    EXPECT_EQ(machine::EnsureBooted(), STATUS_INVALID_PARAMETER);
    // ...until it lets go of its machine. The next boot takes the driver
    // folder from the environment too.
    machine::ShutdownMachine();
    EXPECT_EQ(machine::BootError(), "");
    const std::filesystem::path drivers = TestDir() / "env-drivers";
    std::filesystem::create_directories(drivers);
    ASSERT_EQ(setenv("FL_DRIVER_DIR", drivers.c_str(), 1), 0);
    LogWatch log;
    EXPECT_EQ(machine::EnsureBooted(), STATUS_SUCCESS);
    EXPECT_NE(machine::CurrentMachine(), nullptr);
    const auto missing = log.Lines("not found");
    ASSERT_EQ(missing.size(), 1u) << log.Text();
    EXPECT_NE(missing[0].find((drivers / "fl.sys").string()), std::string::npos) << missing[0];
    machine::ShutdownMachine();
    unsetenv("FL_DRIVER_DIR");
    unsetenv("FL_MACHINE");
}

TEST_F(MachineBoot, ProcessMachineIsShutDownAtExit) {
    ResetHive();
    InstallTestDriver();
    const auto description = WriteDescription("exit.toml", "[[board]]\n");
    LogWatch log;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("FL_MACHINE", description.c_str(), 1);
            if (machine::EnsureBooted() != STATUS_SUCCESS) std::_Exit(3);
            std::exit(0);  // no explicit shutdown: the exit handler does it
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(log.Lines("fltest: driver entry").size(), 1u) << log.Text();
    EXPECT_EQ(log.Lines("fltest: device cleanup").size(), 2u) << log.Text();
    EXPECT_EQ(log.Lines("fltest: driver unload").size(), 1u) << log.Text();
}

}  // namespace
