// The device control interface of a port through the real driver module,
// loaded by the platform's loader onto ports of the board model, on real
// threads: request routing in the caller's context, event registration,
// every group of control codes with its sizes and statuses, and reads and
// writes as the routing and the queues answer them.
#define INITGUID /* before the first platform header: the GUID is defined here */
#include <gtest/gtest.h>

#include "booted_support.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <hw/machine.hpp>
#include <km/debug.hpp>
#include <km/io.hpp>
#include <km/pnp.hpp>
#include <machine/install.hpp>
#include <machine/machine.hpp>
#include <nt/dispatcher.h>
#include <nt/hive.h>
#include <nt/object.h>
#include <nt/pool.h>

#include <ntddk.h>
#include "driver.h"
#include "public.h"

namespace {

using namespace std::chrono_literals;

constexpr ULONG kLedCtl = 0x0E00;

struct Result {
    NTSTATUS status;
    ULONG_PTR information;
    NTSTATUS returned;  // what the issuing call returned (STATUS_PENDING when it waited)
};

// One request issued through the I/O manager boundary and waited for.
class Pending {
public:
    km::io::Completion Completion()
    {
        return [this](NTSTATUS status, ULONG_PTR information) {
            std::lock_guard<std::mutex> guard(lock_);
            result_.status = status;
            result_.information = information;
            finished_ = true;
            done_.notify_all();
        };
    }
    void Issued(NTSTATUS returned)
    {
        std::lock_guard<std::mutex> guard(lock_);
        result_.returned = returned;
    }
    bool Finished()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return finished_;
    }
    Result Wait(std::chrono::seconds limit = 60s)
    {
        std::unique_lock<std::mutex> guard(lock_);
        EXPECT_TRUE(done_.wait_for(guard, limit, [&] { return finished_; }));
        return result_;
    }

private:
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    Result result_{STATUS_PENDING, 0, STATUS_PENDING};
};

Result Control(const km::io::FileHandle& file, ULONG code, const void* input, ULONG inputLength, void* output,
               ULONG outputLength)
{
    Pending pending;
    pending.Issued(km::io::DeviceControl(file, code, input, inputLength, output, outputLength, pending.Completion()));
    return pending.Wait();
}

NTSTATUS Do(const km::io::FileHandle& file, ULONG code) { return Control(file, code, nullptr, 0, nullptr, 0).status; }

template <typename T>
NTSTATUS Set(const km::io::FileHandle& file, ULONG code, T value)
{
    Result r = Control(file, code, &value, sizeof(value), nullptr, 0);
    EXPECT_EQ(r.information, 0u);
    return r.status;
}

template <typename T>
T Query(const km::io::FileHandle& file, ULONG code)
{
    T value{};
    Result r = Control(file, code, nullptr, 0, &value, sizeof(value));
    EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(r.information, sizeof(T)) << std::hex << code;
    return value;
}

Result Read(const km::io::FileHandle& file, void* buffer, ULONG length)
{
    Pending pending;
    pending.Issued(km::io::Read(file, buffer, length, pending.Completion()));
    return pending.Wait();
}

Result Write(const km::io::FileHandle& file, const void* buffer, ULONG length)
{
    Pending pending;
    pending.Issued(km::io::Write(file, buffer, length, pending.Completion()));
    return pending.Wait();
}

// A user-mode event with a handle in the object manager's table, as
// CreateEvent gives one.
class UserEvent {
public:
    UserEvent() : event_(nt::MakeRef<nt::Event>(nt::EventType::Notification, false))
    {
        EXPECT_EQ(nt::InsertHandle(event_.get(), &handle_), STATUS_SUCCESS);
        baseline_ = event_->ReferenceCount();
    }
    ~UserEvent() { nt::CloseHandle(handle_); }
    ULONG64 Handle() const { return reinterpret_cast<ULONG64>(handle_); }
    // References beyond the test's own and its handle's: the driver's.
    LONG DriverReferences() const { return event_->ReferenceCount() - baseline_; }
    bool Signaled() const { return event_->ReadState() != 0; }

private:
    nt::Ref<nt::Event> event_;
    HANDLE handle_ = nullptr;
    LONG baseline_ = 0;
};

// A broadcast frame of Size bytes ending in its FCS (IEEE CRC-32 of the
// bytes before it, low byte first).
std::vector<std::uint8_t> Frame(std::size_t size)
{
    std::vector<std::uint8_t> frame(size, 0x5A);
    for (std::size_t i = 0; i < 6; i++) frame[i] = 0xFF;
    frame[12] = 0x08;
    frame[13] = 0x00;
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i + 4 < size; i++) {
        crc ^= frame[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    for (std::size_t i = 0; i < 4; i++) frame[size - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    return frame;
}

// A write buffer of one record: the 24-byte header, then the frame (no
// FCS: the controller appends it) padded to a multiple of 8.
std::vector<std::uint8_t> WriteRecord(std::size_t frameSize)
{
    std::vector<std::uint8_t> record(24 + ((frameSize + 7) & ~std::size_t{7}), 0);
    const USHORT wire = static_cast<USHORT>(frameSize);
    std::memcpy(&record[12], &wire, sizeof(wire));
    const auto frame = Frame(frameSize);
    std::memcpy(&record[24], frame.data(), frameSize);
    return record;
}

class ControlCodes : public ::testing::Test {
protected:
    void SetUp() override
    {
        km::ClearDriverFaults();
        auto hive = MachineHive();
        nt::Ref<nt::RegistryKey> system;
        if (NT_SUCCESS(hive->OpenKey("SYSTEM", &system))) DeleteTree(*system);
        ASSERT_EQ(machine::InstallDriverService(*MachineHive()), STATUS_SUCCESS);
        ASSERT_EQ(km::LoadDriver(FL_DRIVER_PATH, "FL", &driver_), STATUS_SUCCESS);
        hardware_ = std::make_unique<hw::Machine>();
        board_ = &hardware_->AddBoard();
    }

    void TearDown() override
    {
        for (auto& file : files_) {
            if (file) km::io::Close(file);
        }
        files_.clear();
        for (auto& node : nodes_) km::RemoveDevice(node);
        nodes_.clear();
        km::UnloadDriver(driver_);
        driver_.reset();
        // Every reference and allocation went with the handles and the ports.
        EXPECT_EQ(nt::PoolOutstandingBlocks(nt::PoolTag("FL2D")), 0u);
        hardware_.reset();
        EXPECT_EQ(km::DriverFaultCount(), 0u) << (km::DriverFaults().empty() ? "" : km::DriverFaults()[0]);
    }

    static std::string InstanceId(std::size_t function)
    {
        return "PCI\\VEN_F10E&DEV_0001&SUBSYS_00000000&REV_00\\FLCONTROL&" + std::to_string(function);
    }

    // Starts function 0 of the board with small rings; without passthru a
    // partner is attached so that autonegotiation completes.
    void StartPort(bool passthru, hw::GeneratorOptions partner = {0, 64, 64, 0, 0, hw::kModesAll, {}, {}})
    {
        StartFunction(0, passthru, partner);
    }

    void StartFunction(std::size_t function, bool passthru,
                       hw::GeneratorOptions partner = {0, 64, 64, 0, 0, hw::kModesAll, {}, {}})
    {
        nt::Ref<nt::RegistryKey> key;
        ASSERT_EQ(MachineHive()->CreateKey(std::string(machine::kEnumKey) + "\\" + InstanceId(function) +
                                               "\\Device Parameters",
                                           &key),
                  STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("RxSlots", 4096), STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("TxSlots", 4096), STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("PassthruEnabled", passthru ? 1u : 0u), STATUS_SUCCESS);
        hw::Port& port = board_->GetPort(function);
        if (!passthru) hardware_->AttachGenerator(port, partner);

        km::PciDeviceConfig config;
        config.instanceId = InstanceId(function);
        config.function = &port;
        config.bus = &hardware_->Bus();
        std::shared_ptr<km::DeviceNode> node;
        ASSERT_EQ(km::AddPciDevice(driver_, config, &node), STATUS_SUCCESS);
        nodes_.push_back(node);
    }

    hw::Port& Port() { return board_->GetPort(0); }

    // The driver's count of enabled directions and passthru pairs, read
    // from its own record as a kernel debugger would: no control code
    // reports it.
    LONG ActiveInstances()
    {
        const WDFDRIVER driver = km::DriverObject(*driver_);
        EXPECT_NE(driver, nullptr);
        if (driver == nullptr) return -1;
        const PDRIVER_CONTEXT context = DriverGetContext(driver);
        EXPECT_NE(context, nullptr);
        return context != nullptr ? ReadAcquire(&context->ActiveInstanceCount) : -1;
    }

    km::io::FileHandle Open()
    {
        for (const km::DeviceInterface& i : km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL)) {
            if (i.instanceId == InstanceId(0) && i.enabled) {
                km::io::FileHandle file;
                EXPECT_EQ(km::io::Open(i.symbolicLink, &file), STATUS_SUCCESS);
                files_.push_back(file);
                return file;
            }
        }
        ADD_FAILURE() << "no enabled interface";
        return nullptr;
    }

    void Close(km::io::FileHandle& file)
    {
        for (auto& held : files_) {
            if (held == file) held.reset();
        }
        km::io::Close(file);
        file.reset();
    }

    std::shared_ptr<km::DriverImage> driver_;
    std::unique_ptr<hw::Machine> hardware_;
    hw::Board* board_ = nullptr;
    std::vector<std::shared_ptr<km::DeviceNode>> nodes_;
    std::vector<km::io::FileHandle> files_;
};

// ------------------------------------------------------------------------
// Enabling reception and transmission

TEST_F(ControlCodes, ReceptionIsEnabledOnceAndFifteenHandlesShareThePort)
{
    StartPort(false);
    std::vector<km::io::FileHandle> handles;
    for (int i = 0; i < 16; i++) handles.push_back(Open());
    for (int i = 0; i < 15; i++) ASSERT_EQ(Do(handles[i], IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS) << i;
    EXPECT_EQ(Do(handles[0], IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Query<ULONG>(handles[0], IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED), 1u);

    // The sixteenth finds no reader entry and stays as it was.
    EXPECT_EQ(Do(handles[15], IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Query<ULONG>(handles[15], IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED), 0u);
    ULONGLONG time = 0;
    EXPECT_EQ(Control(handles[15], IOCTL_INSTANCE_QUERY_HARVEST_TIME, nullptr, 0, &time, sizeof(time)).status,
              STATUS_INVALID_DEVICE_REQUEST);

    // A handle that also enabled transmission gives its entry back at close.
    ASSERT_EQ(Do(handles[3], IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_SUCCESS);
    Close(handles[3]);
    EXPECT_EQ(Do(handles[15], IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    Result r = Control(handles[15], IOCTL_INSTANCE_QUERY_HARVEST_TIME, nullptr, 0, &time, sizeof(time));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof(time));
    UCHAR shortTime[4];
    EXPECT_EQ(Control(handles[15], IOCTL_INSTANCE_QUERY_HARVEST_TIME, nullptr, 0, shortTime, 4).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlCodes, TransmissionIsRefusedUnderPassthruAndOnTheSecondTry)
{
    StartPort(true);
    km::io::FileHandle file = Open();
    EXPECT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED), 0u);
    // Writes need transmission, empty ones too (they reach the driver).
    std::vector<std::uint8_t> record(64, 0);
    EXPECT_EQ(Write(file, record.data(), (ULONG)record.size()).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Write(file, record.data(), 0).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(ControlCodes, TransmissionIsEnabledOnce)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    EXPECT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_SUCCESS);
    EXPECT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED), 1u);
    // Another handle of the same port has its own state.
    km::io::FileHandle other = Open();
    EXPECT_EQ(Query<ULONG>(other, IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED), 0u);
}

TEST_F(ControlCodes, EachEnabledDirectionCountsAsAnActiveInstanceUntilItsHandleCloses)
{
    StartPort(false);
    const LONG idle = ActiveInstances();
    EXPECT_EQ(idle, 0) << "no handle, no passthru pair";

    // Both directions: one each, both gone with the handle.
    km::io::FileHandle both = Open();
    EXPECT_EQ(ActiveInstances(), idle) << "an open handle alone is not active";
    ASSERT_EQ(Do(both, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    EXPECT_EQ(ActiveInstances(), idle + 1);
    ASSERT_EQ(Do(both, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_SUCCESS);
    EXPECT_EQ(ActiveInstances(), idle + 2);

    // Refused enables count nothing.
    EXPECT_EQ(Do(both, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Do(both, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ActiveInstances(), idle + 2);

    // Reception only, and transmission only, beside it.
    km::io::FileHandle receiving = Open();
    ASSERT_EQ(Do(receiving, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    km::io::FileHandle sending = Open();
    ASSERT_EQ(Do(sending, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_SUCCESS);
    EXPECT_EQ(ActiveInstances(), idle + 4);

    Close(both);
    EXPECT_EQ(ActiveInstances(), idle + 2) << "closing both directions lowers the count by 2";
    Close(receiving);
    EXPECT_EQ(ActiveInstances(), idle + 1);
    Close(sending);
    EXPECT_EQ(ActiveInstances(), idle);

    // A handle that enabled nothing leaves the count alone.
    km::io::FileHandle idleHandle = Open();
    Close(idleHandle);
    EXPECT_EQ(ActiveInstances(), idle);
}

TEST_F(ControlCodes, APassthruPairCountsAsOneActiveInstanceWhilePaired)
{
    StartFunction(0, true);
    EXPECT_EQ(ActiveInstances(), 0) << "a passthru port alone forwards nothing";
    StartFunction(1, true);
    EXPECT_TRUE(WaitFor([&] { return ActiveInstances() == 1; })) << ActiveInstances();

    // Its ports' own handles count on top; transmission stays refused.
    km::io::FileHandle file = Open();
    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    EXPECT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ActiveInstances(), 2);
    Close(file);
    EXPECT_EQ(ActiveInstances(), 1);

    // The pair ends with either port.
    km::RemoveDevice(nodes_.back());
    nodes_.pop_back();
    EXPECT_TRUE(WaitFor([&] { return ActiveInstances() == 0; })) << ActiveInstances();
}

// ------------------------------------------------------------------------
// Routing in the caller's context: reads and event registration

TEST_F(ControlCodes, ReadBeforeReceptionIsRefusedAtOnce)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    std::vector<std::uint8_t> buffer(4096);
    Result r = Read(file, buffer.data(), (ULONG)buffer.size());
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.returned, STATUS_INVALID_DEVICE_REQUEST) << "completed before the call returned";
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Read(file, buffer.data(), 0).returned, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(ControlCodes, ReadsWaitForTheirTimeoutOnceReceptionIsEnabled)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    ASSERT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_TIMEOUT, 20), STATUS_SUCCESS);

    // Shorter than the read header, empty included: too small (empty
    // reads reach the driver rather than succeed with nothing).
    std::vector<std::uint8_t> buffer(65536, 0xEE);
    Result r = Read(file, buffer.data(), 8);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Read(file, buffer.data(), 0).status, STATUS_BUFFER_TOO_SMALL);

    // Queued, then completed by the instance thread when the timeout ran
    // out, with at least the header.
    r = Read(file, buffer.data(), (ULONG)buffer.size());
    EXPECT_EQ(r.returned, STATUS_PENDING);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_GE(r.information, sizeof(FL_READ_HEADER));

    // A read still waiting when the handle goes is cancelled.
    ASSERT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_TIMEOUT, 3600000u), STATUS_SUCCESS);
    ASSERT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_THRESHOLD, 0xFFFFFFFFu), STATUS_SUCCESS);
    Pending waiting;
    waiting.Issued(km::io::Read(file, buffer.data(), (ULONG)buffer.size(), waiting.Completion()));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(waiting.Finished());
    Close(file);
    EXPECT_EQ(waiting.Wait().status, STATUS_CANCELLED);
}

TEST_F(ControlCodes, SecondEventRegistrationIsRefusedAndTheFirstKept)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    UserEvent first, second, transmit, other;
    EXPECT_EQ(Set<ULONG64>(file, IOCTL_INSTANCE_SET_RECEIVE_EVENT, first.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(first.DriverReferences(), 1);
    EXPECT_EQ(Set<ULONG64>(file, IOCTL_INSTANCE_SET_RECEIVE_EVENT, second.Handle()), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(second.DriverReferences(), 0) << "the refused reference was dropped";
    EXPECT_EQ(first.DriverReferences(), 1) << "the first stays registered";

    EXPECT_EQ(Set<ULONG64>(file, IOCTL_INSTANCE_SET_TRANSMIT_EVENT, transmit.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(Set<ULONG64>(file, IOCTL_INSTANCE_SET_TRANSMIT_EVENT, other.Handle()), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(transmit.DriverReferences(), 1);
    EXPECT_EQ(other.DriverReferences(), 0);

    // A 64-bit caller's handle is 8 bytes; a handle that names nothing
    // fails with the reference's own status; neither fills the slot.
    km::io::FileHandle fresh = Open();
    EXPECT_EQ(Set<ULONG>(fresh, IOCTL_INSTANCE_SET_RECEIVE_EVENT, 4u), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Set<ULONG64>(fresh, IOCTL_INSTANCE_SET_RECEIVE_EVENT, 0x7FFF0ull), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Set<ULONG64>(fresh, IOCTL_INSTANCE_SET_RECEIVE_EVENT, other.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(other.DriverReferences(), 1);

    // The references are held until the handle closes.
    Close(file);
    EXPECT_EQ(first.DriverReferences(), 0);
    EXPECT_EQ(transmit.DriverReferences(), 0);
    Close(fresh);
    EXPECT_EQ(other.DriverReferences(), 0);
}

TEST_F(ControlCodes, ReadsCarryWholeRecordsCutToTheSnapLength)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    ASSERT_EQ(Set<USHORT>(file, IOCTL_INSTANCE_SET_SNAPLEN, 32), STATUS_SUCCESS);
    const auto frame = Frame(100);
    for (int i = 0; i < 3; i++) Port().InjectFrame(frame);

    std::vector<std::uint8_t> buffer(65536);
    std::size_t records = 0;
    ASSERT_TRUE(WaitFor([&] {
        Result r = Read(file, buffer.data(), (ULONG)buffer.size());
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        for (std::size_t offset = sizeof(FL_READ_HEADER); offset + 24 <= r.information; offset += 24 + 32) {
            USHORT wire, captured;
            std::memcpy(&wire, &buffer[offset + 12], 2);
            std::memcpy(&captured, &buffer[offset + 14], 2);
            EXPECT_EQ(wire, 100u);
            EXPECT_EQ(captured, 32u);
            records++;
        }
        return records >= 3;
    }));
    EXPECT_EQ(records, 3u);
}

TEST_F(ControlCodes, TheFirstRegisteredReceiveEventIsTheOneSet)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    UserEvent first, second;
    ASSERT_EQ(Set<ULONG64>(file, IOCTL_INSTANCE_SET_RECEIVE_EVENT, first.Handle()), STATUS_SUCCESS);
    ASSERT_EQ(Set<ULONG64>(file, IOCTL_INSTANCE_SET_RECEIVE_EVENT, second.Handle()), STATUS_INVALID_DEVICE_REQUEST);
    // The timeout far away, so that only the threshold makes a read due.
    ASSERT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_TIMEOUT, 3600000u), STATUS_SUCCESS);
    ASSERT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_THRESHOLD, 0u), STATUS_SUCCESS);
    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    const auto frame = Frame(64);
    EXPECT_TRUE(WaitFor([&] {
        Port().InjectFrame(frame);
        return first.Signaled();
    }));
    EXPECT_FALSE(second.Signaled());
}

TEST_F(ControlCodes, InstanceCountersStartWhenReceptionIsEnabled)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    const auto frame = Frame(80);
    Port().InjectFrame(frame);
    Port().InjectFrame(frame);
    std::array<ULONGLONG, 16> port{};
    ASSERT_TRUE(WaitFor([&] {
        Control(file, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, port.data(), 128);
        return port[FL_PORT_STAT_PACKETS_RECEIVED] >= 2;
    }));
    std::array<ULONGLONG, 7> instance;
    instance.fill(1);
    ASSERT_EQ(Control(file, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 56).status, STATUS_SUCCESS);
    for (ULONGLONG value : instance) EXPECT_EQ(value, 0u) << "nothing before reception";

    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);
    for (int i = 0; i < 3; i++) Port().InjectFrame(frame);
    ASSERT_TRUE(WaitFor([&] {
        Control(file, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 56);
        return instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED] >= 3;
    }));
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], 3u);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_GOOD_RECEIVED], 3u);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_OCTETS_RECEIVED], 3u * 80);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_DROPPED], 0u);
    // The port keeps counting from its start.
    Control(file, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, port.data(), 128);
    EXPECT_EQ(port[FL_PORT_STAT_PACKETS_RECEIVED], 5u);
    EXPECT_EQ(port[FL_PORT_STAT_GOOD_RECEIVED], 5u);
    EXPECT_EQ(port[FL_PORT_STAT_CRC_ERRORS], 0u);
    EXPECT_EQ(port[FL_PORT_STAT_RESERVED], 0u);
}

TEST_F(ControlCodes, WritesTakeWholeRecordsOnceTransmissionIsEnabled)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    const auto record = WriteRecord(60);
    EXPECT_EQ(Write(file, record.data(), (ULONG)record.size()).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Write(file, record.data(), 0).status, STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_TRANSMISSION), STATUS_SUCCESS);

    // Empty: taken as nothing, successfully. A record cut short: nothing.
    Result r = Write(file, record.data(), 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    r = Write(file, record.data(), (ULONG)record.size() - 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    r = Write(file, record.data(), (ULONG)record.size());
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, record.size());

    std::array<ULONGLONG, 7> instance{};
    ASSERT_EQ(Control(file, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 56).status, STATUS_SUCCESS);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_PACKETS_SENT], 1u);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_OCTETS_SENT], 64u) << "the FCS the controller appends counts";
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], 0u);
}

TEST_F(ControlCodes, RacingRegistrationsLeaveExactlyOneEvent)
{
    StartPort(false);
    // Registrations are finished in each caller's own context, so two
    // threads registering on one handle really race for its slot.
    for (int round = 0; round < 20; round++) {
        km::io::FileHandle file = Open();
        UserEvent a, b;
        NTSTATUS statusA = STATUS_PENDING, statusB = STATUS_PENDING;
        std::thread first([&] { statusA = Set<ULONG64>(file, IOCTL_INSTANCE_SET_RECEIVE_EVENT, a.Handle()); });
        std::thread second([&] { statusB = Set<ULONG64>(file, IOCTL_INSTANCE_SET_RECEIVE_EVENT, b.Handle()); });
        first.join();
        second.join();
        ASSERT_EQ(NT_SUCCESS(statusA) + NT_SUCCESS(statusB), 1) << std::hex << statusA << " " << statusB;
        EXPECT_EQ(NT_SUCCESS(statusA) ? statusB : statusA, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(a.DriverReferences(), NT_SUCCESS(statusA) ? 1 : 0);
        EXPECT_EQ(b.DriverReferences(), NT_SUCCESS(statusB) ? 1 : 0);
        Close(file);
        EXPECT_EQ(a.DriverReferences() + b.DriverReferences(), 0);
    }
}

// ------------------------------------------------------------------------
// Statistics and their size protocol

TEST_F(ControlCodes, StatisticsAnswerTheirSizeToAShortBuffer)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    struct Case {
        ULONG code;
        ULONG size;
    };
    for (Case c : {Case{IOCTL_PORT_QUERY_STATISTICS, 128}, Case{IOCTL_INSTANCE_QUERY_STATISTICS, 56}}) {
        std::array<std::uint8_t, 8> small;
        small.fill(0xEE);
        Result r = Control(file, c.code, nullptr, 0, small.data(), 8);
        EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(r.information, 4u);
        ULONG size;
        std::memcpy(&size, small.data(), 4);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(small[4], 0xEE) << "only the size is written";

        r = Control(file, c.code, nullptr, 0, small.data(), 2);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0u);

        std::vector<ULONGLONG> full(c.size / 8 + 1, 0xEEEEEEEEEEEEEEEEull);
        r = Control(file, c.code, nullptr, 0, full.data(), c.size + 8);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, c.size);
    }
}

// ------------------------------------------------------------------------
// Port settings on the hardware

TEST_F(ControlCodes, AutonegotiationRecordsAreCheckedBeforeThePhyIsTouched)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    ASSERT_TRUE(WaitFor([&] { return Query<FL_IOCTL_LINK_STATUS>(file, IOCTL_PORT_QUERY_LINK_STATUS).LinkUp; }));
    EXPECT_EQ(Query<FL_IOCTL_LINK_STATUS>(file, IOCTL_PORT_QUERY_LINK_STATUS).Speed, 1000u);
    FL_IOCTL_AUTONEGOTIATION current = Query<FL_IOCTL_AUTONEGOTIATION>(file, IOCTL_PORT_QUERY_AUTONEGOTIATION);
    EXPECT_EQ(current.Modes, 31u);
    EXPECT_EQ(current.SupportedModes, 31u);
    EXPECT_EQ(current.Enabled, 1);

    auto record = [](ULONG modes, ULONG supported, UCHAR enabled) {
        FL_IOCTL_AUTONEGOTIATION a{};
        a.Modes = modes;
        a.SupportedModes = supported;
        a.Enabled = enabled;
        return a;
    };
    for (const auto& bad : {record(5, 4, 1), record(32, 32, 1), record(5, 5, 0)}) {
        EXPECT_EQ(Set(file, IOCTL_PORT_SET_AUTONEGOTIATION, bad), STATUS_INVALID_PARAMETER) << bad.Modes;
    }
    EXPECT_EQ(Query<FL_IOCTL_AUTONEGOTIATION>(file, IOCTL_PORT_QUERY_AUTONEGOTIATION).Modes, 31u);
    EXPECT_EQ(Port().LinkMode(), hw::kMode1000Full) << "the refused records left the link alone";
    UCHAR shortRecord[8] = {5, 0, 0, 0, 5, 0, 0, 0};
    EXPECT_EQ(Control(file, IOCTL_PORT_SET_AUTONEGOTIATION, shortRecord, 8, nullptr, 0).status,
              STATUS_BUFFER_TOO_SMALL);

    // 10 and 100 Mb/s full duplex: the partner settles on 100.
    EXPECT_EQ(Set(file, IOCTL_PORT_SET_AUTONEGOTIATION, record(5, 5, 1)), STATUS_SUCCESS);
    EXPECT_EQ(Query<FL_IOCTL_AUTONEGOTIATION>(file, IOCTL_PORT_QUERY_AUTONEGOTIATION).Modes, 5u);
    EXPECT_TRUE(WaitFor([&] {
        FL_IOCTL_LINK_STATUS link = Query<FL_IOCTL_LINK_STATUS>(file, IOCTL_PORT_QUERY_LINK_STATUS);
        return link.LinkUp && link.Speed == 100 && link.Duplex == FL_LINK_DUPLEX_FULL;
    }));
    FL_IOCTL_AUTONEGOTIATION partner = Query<FL_IOCTL_AUTONEGOTIATION>(file, IOCTL_PORT_QUERY_PARTNER_ABILITIES);
    EXPECT_EQ(partner.Modes & (FL_MODE_10_FULL | FL_MODE_100_FULL), FL_MODE_10_FULL | FL_MODE_100_FULL);
    EXPECT_EQ(partner.SupportedModes, 31u);

    // No modes at all is a valid record: nothing is advertised and the
    // link goes down.
    EXPECT_EQ(Set(file, IOCTL_PORT_SET_AUTONEGOTIATION, record(0, 0, 1)), STATUS_SUCCESS);
    EXPECT_EQ(Query<FL_IOCTL_AUTONEGOTIATION>(file, IOCTL_PORT_QUERY_AUTONEGOTIATION).Modes, 0u);
    EXPECT_TRUE(WaitFor([&] { return !Query<FL_IOCTL_LINK_STATUS>(file, IOCTL_PORT_QUERY_LINK_STATUS).LinkUp; }));
}

TEST_F(ControlCodes, TheHarvestTimeIsAnsweredWhileSlowRequestsHoldTheControlQueue)
{
    // Autonegotiation that does not complete while the test runs: every
    // advertisement waits out its whole bound (about 300 ms) in the port's
    // sequential control queue.
    hardware_ = std::make_unique<hw::Machine>(hw::MachineOptions{hw::ClockMode::RealTime, 600s, {}, {}});
    board_ = &hardware_->AddBoard();
    StartPort(false);
    km::io::FileHandle file = Open();
    ASSERT_EQ(Do(file, IOCTL_INSTANCE_ENABLE_RECEPTION), STATUS_SUCCESS);

    FL_IOCTL_AUTONEGOTIATION modes{};
    modes.Modes = modes.SupportedModes = FL_MODES_ALL;
    modes.Enabled = 1;
    constexpr int kSlow = 4;
    std::vector<std::unique_ptr<Pending>> slow;
    for (int i = 0; i < kSlow; i++) slow.push_back(std::make_unique<Pending>());
    std::atomic<int> queued{0};
    std::vector<std::thread> issuers;
    for (int i = 0; i < kSlow; i++) {
        issuers.emplace_back([&, i] {
            slow[i]->Issued(km::io::DeviceControl(file, IOCTL_PORT_SET_AUTONEGOTIATION, &modes, sizeof(modes),
                                                  nullptr, 0, slow[i]->Completion()));
            queued++;
        });
    }
    // One runs in its caller's thread (and delivers the others after it);
    // the rest wait in the queue.
    ASSERT_TRUE(WaitFor([&] { return queued.load() >= kSlow - 1; }));

    ULONGLONG time = 0;
    Result r = Control(file, IOCTL_INSTANCE_QUERY_HARVEST_TIME, nullptr, 0, &time, sizeof(time));
    int unfinished = 0;
    for (auto& p : slow) unfinished += p->Finished() ? 0 : 1;
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.returned, STATUS_SUCCESS) << "answered before the call returned";
    EXPECT_EQ(r.information, sizeof(time));
    EXPECT_GT(unfinished, 0) << "answered while the slow requests still held the queue";

    for (auto& p : slow) EXPECT_EQ(p->Wait().status, STATUS_SUCCESS);
    for (auto& t : issuers) t.join();
}

TEST_F(ControlCodes, PartnerAbilitiesNeedAPartnerThatAnswered)
{
    // No wire: the PHY has never heard a partner, so register 5 carries no
    // IEEE 802.3 selector.
    StartPort(true);
    km::io::FileHandle file = Open();
    FL_IOCTL_AUTONEGOTIATION partner{};
    Result r = Control(file, IOCTL_PORT_QUERY_PARTNER_ABILITIES, nullptr, 0, &partner, sizeof(partner));
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(ControlCodes, PhyRegistersOutsideTheirListsAreRefused)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    FL_IOCTL_PHY_READ in{0xFFFF, 2};
    FL_IOCTL_PHY_READ out{};
    Result r = Control(file, IOCTL_PORT_READ_PHY_REGISTER, &in, sizeof(in), &out, sizeof(out));
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.information, 0u);

    // Register 1 answers with its register number beside the value; the
    // status register of a PHY that can autonegotiate has bit 3.
    in = {0, 1};
    r = Control(file, IOCTL_PORT_READ_PHY_REGISTER, &in, sizeof(in), &out, sizeof(out));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(out.Register, 1u);
    EXPECT_NE(out.Value & 0x0008, 0);

    FL_IOCTL_PHY_WRITE write{0, 0xFFFF, 1};
    EXPECT_EQ(Set(file, IOCTL_PORT_WRITE_PHY_REGISTER, write), STATUS_INVALID_DEVICE_REQUEST);

    // Only the bits under the mask change (register 16 can be read back).
    in = {0, 16};
    ASSERT_EQ(Control(file, IOCTL_PORT_READ_PHY_REGISTER, &in, sizeof(in), &out, sizeof(out)).status, STATUS_SUCCESS);
    const USHORT old = out.Value;
    write = {static_cast<USHORT>(~old), 0x0060, 16};
    EXPECT_EQ(Set(file, IOCTL_PORT_WRITE_PHY_REGISTER, write), STATUS_SUCCESS);
    ASSERT_EQ(Control(file, IOCTL_PORT_READ_PHY_REGISTER, &in, sizeof(in), &out, sizeof(out)).status, STATUS_SUCCESS);
    EXPECT_EQ(out.Value, static_cast<USHORT>((old & ~0x0060) | (~old & 0x0060)));
    EXPECT_EQ(out.Register, 16u);
    UCHAR shortWrite[4] = {};
    EXPECT_EQ(Control(file, IOCTL_PORT_WRITE_PHY_REGISTER, shortWrite, 4, nullptr, 0).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlCodes, LedsTakeTheirCodesAndReportThem)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    EXPECT_EQ(Set<ULONG>(file, IOCTL_PORT_SET_LED2, 2), STATUS_SUCCESS);
    EXPECT_EQ(Query<LONG>(file, IOCTL_PORT_QUERY_LED2), 2);
    EXPECT_TRUE(Port().LedState(2).blinking);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_PORT_SET_LED2, 3), STATUS_SUCCESS);
    EXPECT_EQ(Query<LONG>(file, IOCTL_PORT_QUERY_LED2), 3);
    EXPECT_FALSE(Port().LedState(2).blinking);

    const ULONG before = Port().ReadRegister(kLedCtl);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_PORT_SET_LED0, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Port().ReadRegister(kLedCtl), before);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_PORT_SET_LED0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Query<LONG>(file, IOCTL_PORT_QUERY_LED0), 1);
    EXPECT_FALSE(Port().LedState(0).on);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_PORT_SET_LED3, 0), STATUS_SUCCESS);
    EXPECT_EQ(Query<LONG>(file, IOCTL_PORT_QUERY_LED3), 0);
    EXPECT_TRUE(Port().LedState(3).on);
    EXPECT_EQ(Query<LONG>(file, IOCTL_PORT_QUERY_LED2), 3) << "the other LEDs kept their modes";
}

TEST_F(ControlCodes, EepromWordsAreReadAndWrittenWithTheChecksumKept)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    const std::vector<std::uint16_t> image = board_->EepromImage();
    USHORT address = 1;
    FL_IOCTL_EEPROM_WORD word{};
    Result r = Control(file, IOCTL_PORT_READ_EEPROM_WORD, &address, sizeof(address), &word, sizeof(word));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(word.Address, 1u);
    EXPECT_EQ(word.Value, image[1]);

    EXPECT_EQ(Set(file, IOCTL_PORT_WRITE_EEPROM_WORD, FL_IOCTL_EEPROM_WORD{10, 0x1234}), STATUS_SUCCESS);
    const std::vector<std::uint16_t> after = board_->EepromImage();
    EXPECT_EQ(after[10], 0x1234u);
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < 64; i++) sum = static_cast<std::uint16_t>(sum + after[i]);
    EXPECT_EQ(sum, 0xBABAu);

    // A word address the controller cannot carry would land on another word.
    EXPECT_EQ(Set(file, IOCTL_PORT_WRITE_EEPROM_WORD, FL_IOCTL_EEPROM_WORD{0x8000, 0xFFFF}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(board_->EepromImage()[0], after[0]);
    address = 0x4000;
    EXPECT_EQ(Control(file, IOCTL_PORT_READ_EEPROM_WORD, &address, sizeof(address), &word, sizeof(word)).status,
              STATUS_INVALID_PARAMETER);
}

// ------------------------------------------------------------------------
// Instance settings and codes without a request

TEST_F(ControlCodes, InstanceSettingsAreCheckedAndReportedPerHandle)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    km::io::FileHandle other = Open();
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_READ_THRESHOLD), 0x100000u);
    EXPECT_EQ(Query<USHORT>(file, IOCTL_INSTANCE_QUERY_SNAPLEN), 0xFFFFu);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_READ_TIMEOUT), 10u);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_ERROR_FILTER), 3u);

    EXPECT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_THRESHOLD, 0xFFFFFFFFu), STATUS_SUCCESS);
    EXPECT_EQ(Set<USHORT>(file, IOCTL_INSTANCE_SET_SNAPLEN, 96), STATUS_SUCCESS);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_TIMEOUT, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_READ_TIMEOUT, 250), STATUS_SUCCESS);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_ERROR_FILTER, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set<ULONG>(file, IOCTL_INSTANCE_SET_ERROR_FILTER, 7), STATUS_SUCCESS);
    EXPECT_EQ(Set<USHORT>(file, IOCTL_INSTANCE_SET_READ_THRESHOLD, 1), STATUS_BUFFER_TOO_SMALL);

    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_READ_THRESHOLD), 0xFFFFFFFFu);
    EXPECT_EQ(Query<USHORT>(file, IOCTL_INSTANCE_QUERY_SNAPLEN), 96u);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_READ_TIMEOUT), 250u);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_INSTANCE_QUERY_ERROR_FILTER), 7u);
    EXPECT_EQ(Query<ULONG>(other, IOCTL_INSTANCE_QUERY_READ_TIMEOUT), 10u);
    EXPECT_EQ(Query<ULONG>(other, IOCTL_INSTANCE_QUERY_ERROR_FILTER), 3u);
}

TEST_F(ControlCodes, UnknownCodesAndUnusedFunctionNumbersAreRefused)
{
    StartPort(false);
    km::io::FileHandle file = Open();
    ULONG output[4] = {};
    for (ULONG function : {0x800u, 0x802u, 0x803u, 0x80Cu, 0x80Du, 0x82Au, 0xBB7u, 0xBBAu}) {
        Result r = Control(file, CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr,
                           0, output, sizeof(output));
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << function;
        EXPECT_EQ(r.information, 0u);
    }
    // A known function number with another transfer type is another code.
    EXPECT_EQ(Control(file, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x81E, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr, 0,
                      output, sizeof(output))
                  .status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Query<ULONG>(file, IOCTL_PORT_QUERY_RX_SLOTS), 4096u);
}

}  // namespace
