// The driver's lifecycle through the platform's loader and PnP manager,
// on real threads: driver entry and unload, port add with its checks and
// registry values, start, suspend and resume, instances, and the default
// machine's boot and shutdown.
#define INITGUID /* before the first platform header: the GUID is defined here */
#include <gtest/gtest.h>

#include "booted_support.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include <km/debug.hpp>
#include <km/io.hpp>
#include <km/pnp.hpp>
#include <machine/install.hpp>
#include <machine/machine.hpp>
#include <nt/hive.h>
#include <nt/pool.h>

#include <ntddk.h>
#include "public.h"

namespace {

using namespace std::chrono_literals;

const ULONG kPoolTag = nt::PoolTag("FL2D");

std::size_t ProcessThreads()
{
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        n++;
    }
    return n;
}

void ResetHive()
{
    auto hive = MachineHive();
    nt::Ref<nt::RegistryKey> system;
    if (NT_SUCCESS(hive->OpenKey("SYSTEM", &system))) DeleteTree(*system);
}

// The debugger log from a mark on.
class LogWatch {
public:
    LogWatch() : path_(km::DebuggerLogPath())
    {
        std::error_code ec;
        start_ = std::filesystem::exists(path_, ec) ? std::filesystem::file_size(path_, ec) : 0;
    }
    std::vector<std::string> Lines(std::string_view containing) const
    {
        std::ifstream in(path_);
        in.seekg(static_cast<std::streamoff>(start_));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (line.find(containing) != std::string::npos) lines.push_back(line);
        }
        return lines;
    }

private:
    std::filesystem::path path_;
    std::uintmax_t start_ = 0;
};

// A synchronous device control; the status and the bytes returned.
struct ControlResult {
    NTSTATUS status;
    ULONG_PTR information;
};

ControlResult Control(const km::io::FileHandle& file, ULONG code, void* output, ULONG outputLength)
{
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    ControlResult result{STATUS_PENDING, 0};
    NTSTATUS issued = km::io::DeviceControl(file, code, nullptr, 0, output, outputLength,
                                            [&](NTSTATUS status, ULONG_PTR information) {
                                                std::lock_guard<std::mutex> guard(lock);
                                                result = {status, information};
                                                finished = true;
                                                done.notify_all();
                                            });
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(done.wait_for(guard, 60s, [&] { return finished; })) << "code " << code << " issued " << issued;
    return result;
}

// A device control left to complete later (a link-change wait).
class PendingControl {
public:
    PendingControl(const km::io::FileHandle& file, ULONG code)
    {
        km::io::DeviceControl(file, code, nullptr, 0, &link_, sizeof(link_),
                              [this](NTSTATUS status, ULONG_PTR information) {
                                  std::lock_guard<std::mutex> guard(lock_);
                                  result_ = {status, information};
                                  finished_ = true;
                                  done_.notify_all();
                              });
    }
    ~PendingControl() { Wait(60s); }

    bool Finished()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return finished_;
    }
    ControlResult Wait(std::chrono::seconds limit = 60s)
    {
        std::unique_lock<std::mutex> guard(lock_);
        EXPECT_TRUE(done_.wait_for(guard, limit, [&] { return finished_; }));
        return result_;
    }
    FL_IOCTL_LINK_STATUS Link()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return link_;
    }

private:
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    ControlResult result_{STATUS_PENDING, 0};
    FL_IOCTL_LINK_STATUS link_{};
};

ULONG QueryULong(const km::io::FileHandle& file, ULONG code)
{
    ULONG value = 0xDEADBEEF;
    ControlResult r = Control(file, code, &value, sizeof(value));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof(ULONG));
    return value;
}

hw::MacAddress QueryMac(const km::io::FileHandle& file)
{
    hw::MacAddress mac{};
    ControlResult r = Control(file, IOCTL_PORT_QUERY_MAC_ADDRESS, mac.data(), 6);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 6u);
    return mac;
}

FL_IOCTL_LINK_STATUS QueryLink(const km::io::FileHandle& file)
{
    FL_IOCTL_LINK_STATUS link{};
    ControlResult r = Control(file, IOCTL_PORT_QUERY_LINK_STATUS, &link, sizeof(link));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof(link));
    return link;
}

km::io::FileHandle Open(const std::string& instanceId)
{
    for (const km::DeviceInterface& i : km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL)) {
        if (i.instanceId == instanceId && i.enabled) {
            km::io::FileHandle file;
            EXPECT_EQ(km::io::Open(i.symbolicLink, &file), STATUS_SUCCESS);
            return file;
        }
    }
    ADD_FAILURE() << "no enabled interface for " << instanceId;
    return nullptr;
}

void Close(km::io::FileHandle& file)
{
    if (file) km::io::Close(file);
    file.reset();
}

// ------------------------------------------------------------------------
// The default machine, booted the way every program of the system boots it.

TEST(DefaultMachine, BootStartsBothPortsAndShutdownFreesEverything)
{
    ResetHive();
    std::filesystem::create_directories(nt::Hive::MachinePath().parent_path());
    km::SetDebuggerLogPath(nt::Hive::MachinePath().parent_path() / "debugger.log");
    LogWatch log;
    // A thread started and ended first, so that a sanitizer's helper
    // thread (started with the first thread of a process) is in the count.
    std::thread([] {}).join();
    const std::size_t threadsBefore = ProcessThreads();

    machine::BootOptions options;
    options.driverDirectory = FL_DRIVER_DIR;
    std::unique_ptr<machine::RunningMachine> running;
    std::string error;
    ASSERT_EQ(machine::RunningMachine::Boot(options, &running, &error), STATUS_SUCCESS) << error;

    const auto banner = log.Lines("Driver v 1.4.1843.846 compiled at ");
    ASSERT_EQ(banner.size(), 1u);
    EXPECT_NE(banner[0].find(__DATE__), std::string::npos) << banner[0];

    ASSERT_EQ(running->Devices().size(), 2u);
    hw::MacAddress macs[2];
    for (std::size_t i = 0; i < 2; i++) {
        const machine::Device& device = running->Devices()[i];
        ASSERT_EQ(device.status, STATUS_SUCCESS) << device.instanceId;
        km::io::FileHandle file = Open(device.instanceId);
        ASSERT_TRUE(file);
        macs[i] = QueryMac(file);
        EXPECT_EQ(macs[i], device.port->Mac());
        FL_IOCTL_LINK_STATUS link{};
        EXPECT_TRUE(WaitFor([&] {
            link = QueryLink(file);
            return link.LinkUp == 1;
        }));
        EXPECT_EQ(link.Speed, 1000u);
        EXPECT_EQ(link.Duplex, (ULONG)FL_LINK_DUPLEX_FULL);
        Close(file);
    }
    EXPECT_EQ(running->Devices()[0].port->Index(), 0u);
    hw::MacAddress second = macs[0];
    second[5] ^= 0x01;
    EXPECT_EQ(macs[1], second);

    EXPECT_GT(nt::PoolOutstandingBlocks(kPoolTag), 0u);
    EXPECT_GT(ProcessThreads(), threadsBefore + 1);  // the management and negotiation threads at least
    running->Shutdown();
    // Every thread the boot started has ended: the driver's two waited for
    // at unload, the model's and the interrupts' with the machine.
    EXPECT_TRUE(WaitFor([&] { return ProcessThreads() <= threadsBefore; }, 10s))
        << ProcessThreads() << " threads, " << threadsBefore << " before the boot";
    EXPECT_EQ(nt::PoolOutstandingBlocks(kPoolTag), 0u);
    EXPECT_EQ(nt::PoolOutstandingBytes(kPoolTag), 0u);
    EXPECT_TRUE(km::Devices().empty());
    EXPECT_EQ(km::DriverFaultCount(), 0u);
}

// ------------------------------------------------------------------------
// Ports added one by one to the driver, on boards of the test's own.

class Ports : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetHive();
        ASSERT_EQ(machine::InstallDriverService(*MachineHive()), STATUS_SUCCESS);
        ASSERT_EQ(km::LoadDriver(FL_DRIVER_PATH, "FL", &driver_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        for (auto& node : nodes_) km::RemoveDevice(node);
        nodes_.clear();
        km::UnloadDriver(driver_);
        driver_.reset();
        // Every allocation of the driver went with its device or driver.
        EXPECT_EQ(nt::PoolOutstandingBlocks(kPoolTag), 0u);
        hardware_.reset();
        EXPECT_EQ(km::DriverFaultCount(), 0u);
    }

    hw::Board& AddBoard(const hw::BoardOptions& options = {})
    {
        if (!hardware_) hardware_ = std::make_unique<hw::Machine>();
        return hardware_->AddBoard(options);
    }

    static std::string InstanceId(std::size_t n)
    {
        return "PCI\\VEN_F10E&DEV_0001&SUBSYS_00000000&REV_00\\FLTEST&" + std::to_string(n);
    }

    // Small rings keep many ports cheap; passthru ports advertise nothing
    // and so start without waiting for a partner.
    void SetValues(std::size_t n, const std::vector<std::pair<std::string, ULONG>>& values)
    {
        nt::Ref<nt::RegistryKey> key;
        ASSERT_EQ(MachineHive()->CreateKey(std::string(machine::kEnumKey) + "\\" + InstanceId(n) +
                                               "\\Device Parameters",
                                           &key),
                  STATUS_SUCCESS);
        for (const auto& [name, value] : values) ASSERT_EQ(key->SetDword(name, value), STATUS_SUCCESS);
    }

    void SetSmall(std::size_t n, bool passthru = true)
    {
        SetValues(n, {{"RxSlots", 4096}, {"TxSlots", 4096}, {"PassthruEnabled", passthru ? 1u : 0u}});
    }

    NTSTATUS Add(std::size_t n, hw::Port& port)
    {
        km::PciDeviceConfig config;
        config.instanceId = InstanceId(n);
        config.function = &port;
        config.bus = &hardware_->Bus();
        std::shared_ptr<km::DeviceNode> node;
        NTSTATUS status = km::AddPciDevice(driver_, config, &node);
        if (node) nodes_.push_back(node);
        return status;
    }

    std::shared_ptr<km::DriverImage> driver_;
    std::unique_ptr<hw::Machine> hardware_;
    std::vector<std::shared_ptr<km::DeviceNode>> nodes_;
};

TEST_F(Ports, SeventeenthPortIsRefusedAndTheCountStaysAtSixteen)
{
    std::vector<hw::Port*> ports;
    for (int b = 0; b < 9; b++) {
        hw::Board& board = AddBoard();
        ports.push_back(&board.GetPort(0));
        ports.push_back(&board.GetPort(1));
    }
    for (std::size_t n = 0; n < 18; n++) SetSmall(n);
    for (std::size_t n = 0; n < 16; n++) ASSERT_EQ(Add(n, *ports[n]), STATUS_SUCCESS) << n;
    EXPECT_EQ(Add(16, *ports[16]), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Add(17, *ports[17]), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(km::GetDeviceState(*nodes_[16]), km::DeviceState::Failed);

    // The refused adds gave their count back: one port leaving makes room
    // for exactly one.
    ASSERT_EQ(km::DisableDevice(nodes_[0]), STATUS_SUCCESS);
    EXPECT_EQ(km::EnableDevice(nodes_[16]), STATUS_SUCCESS);
    EXPECT_EQ(km::EnableDevice(nodes_[17]), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(km::EnableDevice(nodes_[0]), STATUS_UNSUCCESSFUL);
}

TEST_F(Ports, ForeignPciIdentityIsRefused)
{
    hw::BoardOptions foreign;
    foreign.vendorId = 0x8086;  // the controller maker's own identity
    hw::Board& other = AddBoard(foreign);
    hw::BoardOptions second;
    second.deviceId = 0x0002;
    hw::Board& ours = AddBoard(second);
    SetSmall(0);
    SetSmall(1);
    EXPECT_EQ(Add(0, other.GetPort(0)), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL).empty());
    EXPECT_EQ(Add(1, ours.GetPort(0)), STATUS_SUCCESS);
    EXPECT_EQ(km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL).size(), 1u);
}

TEST_F(Ports, SecondFunctionAnswersWithBitZeroOfItsLastByteInverted)
{
    hw::BoardOptions options;
    options.mac = hw::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    hw::Board& board = AddBoard(options);
    SetSmall(0);
    SetSmall(1);
    ASSERT_EQ(Add(0, board.GetPort(0)), STATUS_SUCCESS);
    ASSERT_EQ(Add(1, board.GetPort(1)), STATUS_SUCCESS);
    km::io::FileHandle first = Open(InstanceId(0));
    km::io::FileHandle second = Open(InstanceId(1));
    EXPECT_EQ(QueryMac(first), (hw::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(QueryMac(second), (hw::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x54}));
    // The controller filters on the address the driver read.
    EXPECT_EQ(board.GetPort(1).ReadRegister(0x5404) & 0xFFFF, 0x5444u);
    Close(first);
    Close(second);
}

TEST_F(Ports, RegistryValuesComeFromTheDeviceKey)
{
    hw::Board& board = AddBoard();
    SetValues(0, {{"RxSlots", 4096}, {"TxSlots", 5000}, {"PassthruEnabled", 1}, {"RxSlotSize", 300},
                  {"TxSlotSize", 300}, {"TxDescriptors", 4100}, {"RxDescriptors", 8}});
    SetValues(1, {{"RxSlots", 8192}, {"TxSlots", 4096}, {"PassthruEnabled", 1}, {"RxSlotSize", 2048},
                  {"TxSlotSize", 0}, {"TxDescriptors", 1001}, {"RxDescriptors", 4096}});
    {
        // A value of the wrong type is as good as missing.
        nt::Ref<nt::RegistryKey> key;
        ASSERT_EQ(MachineHive()->OpenKey(std::string(machine::kEnumKey) + "\\" + InstanceId(1) +
                                             "\\Device Parameters",
                                         &key),
                  STATUS_SUCCESS);
        ASSERT_EQ(key->SetString("TxSlots", "8192"), STATUS_SUCCESS);
    }
    ASSERT_EQ(Add(0, board.GetPort(0)), STATUS_SUCCESS);
    ASSERT_EQ(Add(1, board.GetPort(1)), STATUS_SUCCESS);

    km::io::FileHandle file = Open(InstanceId(0));
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_RX_SLOTS), 4096u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_TX_SLOTS), 5000u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_RX_SLOT_SIZE), 256u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_TX_SLOT_SIZE), 300u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_TX_DESCRIPTORS), 4096u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_RX_DESCRIPTORS), 8u);
    Close(file);

    file = Open(InstanceId(1));
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_RX_SLOTS), 8192u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_TX_SLOTS), 131072u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_RX_SLOT_SIZE), 2048u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_TX_SLOT_SIZE), 256u);
    EXPECT_EQ(QueryULong(file, IOCTL_PORT_QUERY_TX_DESCRIPTORS), 4096u);
    // The controller's buffer size follows the receive slot size.
    EXPECT_EQ(board.GetPort(1).ReadRegister(0x0100) & 0x2030000u, 0u);
    // Codes the port does not handle, and a buffer too small for the answer.
    ULONG value = 0;
    EXPECT_EQ(Control(file, 0x222008, &value, sizeof(value)).status, STATUS_INVALID_DEVICE_REQUEST);
    UCHAR small[4];
    ControlResult r = Control(file, IOCTL_PORT_QUERY_MAC_ADDRESS, small, sizeof(small));
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    Close(file);
}

TEST_F(Ports, PhyThatNeverAnswersFailsTheStartWithoutAHang)
{
    hw::Board& board = AddBoard();
    SetSmall(0, false);
    board.GetPort(0).SetFaults(hw::PortFaults{true});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Add(0, board.GetPort(0)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(km::GetDeviceState(*nodes_[0]), km::DeviceState::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    // Its interface was published at device add but never enabled.
    for (const km::DeviceInterface& i : km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL)) {
        EXPECT_FALSE(i.enabled) << i.symbolicLink;
    }
}

TEST_F(Ports, LinkFollowsThePartnerThroughSuspendAndResume)
{
    hw::Board& board = AddBoard();
    hardware_->AttachGenerator(board.GetPort(0), hw::GeneratorOptions{1, 64, 64, 0, 0, hw::kModesAll, {}, {}});
    SetSmall(0, false);
    ASSERT_EQ(Add(0, board.GetPort(0)), STATUS_SUCCESS);
    km::io::FileHandle file = Open(InstanceId(0));
    ASSERT_TRUE(WaitFor([&] { return QueryLink(file).LinkUp == 1; }));
    EXPECT_EQ(QueryLink(file).Speed, 1000u);

    // The interrupt reports the partner going away and coming back.
    hardware_->Disconnect(board.GetPort(0));
    ASSERT_TRUE(WaitFor([&] { return QueryLink(file).LinkUp == 0; }));
    FL_IOCTL_LINK_STATUS down = QueryLink(file);
    EXPECT_EQ(down.Speed, 0u);
    EXPECT_EQ(down.Duplex, (ULONG)FL_LINK_DUPLEX_DOWN);
    hardware_->AttachGenerator(board.GetPort(0), hw::GeneratorOptions{1, 64, 64, 0, 0, hw::kMode100Full, {}, {}});
    ASSERT_TRUE(WaitFor([&] { return QueryLink(file).LinkUp == 1; }));
    EXPECT_EQ(QueryLink(file).Speed, 100u);

    // Out of D0 the controller is reset; back in D0 it starts again and
    // renegotiates with the partner.
    ASSERT_EQ(km::SuspendDevice(nodes_[0]), STATUS_SUCCESS);
    EXPECT_EQ(board.GetPort(0).ReadRegister(0x0100), 0u);  // RCTL cleared by the reset
    ASSERT_EQ(km::ResumeDevice(nodes_[0]), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return QueryLink(file).LinkUp == 1; }));
    EXPECT_EQ(QueryLink(file).Speed, 100u);
    Close(file);
}

TEST_F(Ports, LinkChangesReachEachInstancesWaits)
{
    hw::Board& board = AddBoard();
    hardware_->AttachGenerator(board.GetPort(0), hw::GeneratorOptions{1, 64, 64, 0, 0, hw::kModesAll, {}, {}});
    SetSmall(0, false);
    ASSERT_EQ(Add(0, board.GetPort(0)), STATUS_SUCCESS);
    km::io::FileHandle first = Open(InstanceId(0));
    km::io::FileHandle second = Open(InstanceId(0));
    ASSERT_EQ(QueryLink(first).LinkUp, 1);

    // Both handles were opened with the link up: nothing to report yet.
    auto wait = std::make_unique<PendingControl>(first, IOCTL_PORT_WAIT_LINK_CHANGE);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(wait->Finished());

    hardware_->Disconnect(board.GetPort(0));
    ControlResult r = wait->Wait();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof(FL_IOCTL_LINK_STATUS));
    EXPECT_EQ(wait->Link().LinkUp, 0);
    EXPECT_EQ(wait->Link().Speed, 0u);
    EXPECT_EQ(wait->Link().Duplex, (ULONG)FL_LINK_DUPLEX_DOWN);

    // A change with no wait pending is reported to the next wait: the link
    // went down and came back up while the second handle was not waiting.
    hardware_->AttachGenerator(board.GetPort(0), hw::GeneratorOptions{1, 64, 64, 0, 0, hw::kMode100Full, {}, {}});
    ASSERT_TRUE(WaitFor([&] { return QueryLink(first).LinkUp == 1; }));
    wait = std::make_unique<PendingControl>(second, IOCTL_PORT_WAIT_LINK_CHANGE);
    r = wait->Wait();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Link().LinkUp, 1);
    EXPECT_EQ(wait->Link().Speed, 100u);
    EXPECT_EQ(wait->Link().Duplex, (ULONG)FL_LINK_DUPLEX_FULL);

    // Reported once: the next wait stays pending until the handle goes.
    wait = std::make_unique<PendingControl>(second, IOCTL_PORT_WAIT_LINK_CHANGE);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(wait->Finished());
    Close(second);
    EXPECT_EQ(wait->Wait().status, STATUS_CANCELLED);

    UCHAR small[8];
    EXPECT_EQ(Control(first, IOCTL_PORT_WAIT_LINK_CHANGE, small, sizeof(small)).status, STATUS_BUFFER_TOO_SMALL);
    Close(first);
}

TEST_F(Ports, InstancesStartAndStopTheirThreads)
{
    hw::Board& board = AddBoard();
    SetSmall(0);
    ASSERT_EQ(Add(0, board.GetPort(0)), STATUS_SUCCESS);
    std::vector<km::io::FileHandle> files;
    for (int i = 0; i < 8; i++) files.push_back(Open(InstanceId(0)));
    for (auto& file : files) ASSERT_TRUE(file);
    // Closing some, then removing the port with the rest still open: the
    // removal ends those handles and each instance thread stops.
    for (int i = 0; i < 4; i++) Close(files[i]);
    km::RemoveDevice(nodes_[0]);
    for (int i = 4; i < 8; i++) {
        EXPECT_TRUE(km::io::Ended(files[i]));
        Close(files[i]);
    }
}

}  // namespace
