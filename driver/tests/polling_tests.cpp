// The management and negotiation threads of the real driver module on a
// booted machine, on real threads: passthru pairs formed by MAC address,
// brought up at a common speed and forwarding every frame both ways.
// Waits are generous; nothing here depends on how fast the machine is.
#define INITGUID /* before the first platform header: the GUID is defined here */
#include <gtest/gtest.h>

#include "booted_support.h"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <cstring>
#include <thread>

#include <hw/ethernet.hpp>
#include <km/debug.hpp>
#include <km/io.hpp>
#include <km/pnp.hpp>
#include <machine/install.hpp>
#include <machine/machine.hpp>
#include <nt/hive.h>

#include <ntddk.h>
#include "public.h"

namespace {

using namespace std::chrono_literals;

void SetValues(const std::string& keyPath, const std::map<std::string, ULONG>& values)
{
    nt::Ref<nt::RegistryKey> key;
    ASSERT_EQ(MachineHive()->CreateKey(keyPath, &key), STATUS_SUCCESS) << keyPath;
    for (const auto& [name, value] : values) ASSERT_EQ(key->SetDword(name, value), STATUS_SUCCESS) << name;
}

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
    km::io::DeviceControl(file, code, nullptr, 0, output, outputLength, [&](NTSTATUS status, ULONG_PTR information) {
        std::lock_guard<std::mutex> guard(lock);
        result = {status, information};
        finished = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(done.wait_for(guard, 60s, [&] { return finished; })) << "code " << code;
    return result;
}

// A machine booted from a description of the test's own, with registry
// values written before the driver reads them: a first boot only learns
// the ports' device instance paths, the second one runs the test.
class Booted : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (running_) running_->Shutdown();
        running_.reset();
        EXPECT_EQ(km::DriverFaultCount(), 0u);
    }

    // portValues[i]: the values of the machine's i-th port.
    void Boot(const std::string& description, const std::vector<std::map<std::string, ULONG>>& portValues,
              const std::map<std::string, ULONG>& parameters = {})
    {
        auto hive = MachineHive();
        nt::Ref<nt::RegistryKey> system;
        if (NT_SUCCESS(hive->OpenKey("SYSTEM", &system))) DeleteTree(*system);
        std::filesystem::create_directories(nt::Hive::MachinePath().parent_path());
        km::SetDebuggerLogPath(nt::Hive::MachinePath().parent_path() / "debugger.log");

        const std::filesystem::path file =
            std::filesystem::temp_directory_path() / ("fl_polling_" + std::to_string(::getpid()) + ".toml");
        {
            std::ofstream out(file);
            out << description;
        }
        machine::BootOptions options;
        options.description = file;
        options.driverDirectory = FL_DRIVER_DIR;
        std::string error;
        ASSERT_EQ(machine::RunningMachine::Boot(options, &running_, &error), STATUS_SUCCESS) << error;
        std::vector<std::string> ids;
        for (const machine::Device& device : running_->Devices()) ids.push_back(device.instanceId);
        running_->Shutdown();
        running_.reset();

        ASSERT_EQ(machine::InstallDriverService(*MachineHive()), STATUS_SUCCESS);
        SetValues(std::string(machine::kServicesKey) + "\\FL\\Parameters", parameters);
        ASSERT_LE(portValues.size(), ids.size());
        for (std::size_t i = 0; i < portValues.size(); i++) {
            SetValues(std::string(machine::kEnumKey) + "\\" + ids[i] + "\\Device Parameters", portValues[i]);
        }
        ASSERT_EQ(machine::RunningMachine::Boot(options, &running_, &error), STATUS_SUCCESS) << error;
        std::filesystem::remove(file);
        for (const machine::Device& device : running_->Devices()) ASSERT_EQ(device.status, STATUS_SUCCESS);
    }

    hw::Port& Port(std::size_t i) { return *running_->Devices().at(i).port; }

    km::io::FileHandle Open(std::size_t i)
    {
        const std::string& id = running_->Devices().at(i).instanceId;
        for (const km::DeviceInterface& d : km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL)) {
            if (d.instanceId == id && d.enabled) {
                km::io::FileHandle file;
                EXPECT_EQ(km::io::Open(d.symbolicLink, &file), STATUS_SUCCESS);
                return file;
            }
        }
        ADD_FAILURE() << "no enabled interface for " << id;
        return nullptr;
    }

    FL_IOCTL_LINK_STATUS QueryLink(std::size_t i)
    {
        km::io::FileHandle file = Open(i);
        FL_IOCTL_LINK_STATUS link{};
        ControlResult r = Control(file, IOCTL_PORT_QUERY_LINK_STATUS, &link, sizeof(link));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        km::io::Close(file);
        return link;
    }

    std::unique_ptr<machine::RunningMachine> running_;
};

// One board, each port on a generator; the autonegotiation delay leaves the
// test time to start capturing before a pair's links come up.
std::string GeneratorBoard(const std::string& port0, const std::string& port1, int delayMs = 300)
{
    return "clock = \"realtime\"\nautonegotiation_delay_ms = " + std::to_string(delayMs) +
           "\n[[board]]\nmac = \"02:00:f1:0e:00:10\"\n[[board.port]]\nwire = \"generator\"\n" + port0 +
           "\n[[board.port]]\nwire = \"generator\"\n" + port1 + "\n";
}

const std::map<std::string, ULONG> kPassthru = {{"PassthruEnabled", 1}, {"RxSlots", 4096}, {"TxSlots", 4096}};

std::map<std::string, ULONG> With(std::map<std::string, ULONG> values, const std::string& name, ULONG value)
{
    values[name] = value;
    return values;
}

// ------------------------------------------------------------------------

TEST_F(Booted, PassthruPairForwardsEveryFrameBothWaysCrcErrorsIncluded)
{
    const std::uint64_t count = 400;
    const std::string generator =
        "rate = 2000\ncount = " + std::to_string(count) + "\nfcs_error_every = 10\nmin_size = 64\nmax_size = 1518";
    Boot(GeneratorBoard(generator, generator), {kPassthru, kPassthru});
    Port(0).CaptureTransmitted(true);
    Port(1).CaptureTransmitted(true);

    hw::Machine& hardware = running_->Hardware();
    ASSERT_TRUE(WaitFor([&] {
        return hardware.GeneratorSent(Port(0)) == count && hardware.GeneratorSent(Port(1)) == count &&
               Port(0).Counters().transmitted + Port(0).Counters().txDropped >= count &&
               Port(1).Counters().transmitted + Port(1).Counters().txDropped >= count;
    })) << Port(0).Counters().transmitted << " and " << Port(1).Counters().transmitted << " forwarded";

    // What one port received leaves by the other, in order, byte for byte:
    // the generator's stream of the receiving port, bad FCS where it was bad.
    for (std::size_t in = 0; in < 2; in++) {
        hw::Port& out = Port(1 - in);
        EXPECT_EQ(Port(in).Counters().missed, 0u);
        EXPECT_EQ(out.Counters().txDropped, 0u);
        const auto frames = out.TakeTransmitted();
        ASSERT_EQ(frames.size(), count) << "port " << in << " to port " << 1 - in;
        std::optional<std::uint32_t> stream;
        std::uint64_t badFcs = 0;
        for (std::uint64_t n = 0; n < frames.size(); n++) {
            auto info = hw::ParseGeneratorFrame(frames[n]);
            ASSERT_TRUE(info.has_value()) << "frame " << n;
            if (!stream) stream = info->stream;
            EXPECT_EQ(info->stream, *stream);
            EXPECT_EQ(info->sequence, n);
            EXPECT_TRUE(info->patternValid) << "frame " << n;
            EXPECT_EQ(info->fcsValid, (n + 1) % 10 != 0) << "frame " << n;
            if (!info->fcsValid) badFcs++;
        }
        EXPECT_EQ(badFcs, count / 10);
    }
}

TEST_F(Booted, FramesWaitForThePartnersLinkWhileThePairNegotiates)
{
    // Gigabit is tried first and comes up on port 0 only, its generator
    // sending at once; port 1's wire has no gigabit, so the pair settles on
    // 100 full. What port 0 took in meanwhile leaves by port 1 once its
    // link is up, not into a dead wire. (Frames the generator still sent
    // as port 0's link went down for the next attempt never reached the
    // driver: the board counts them as ignored.)
    const std::uint64_t count = 200;
    const std::string sender = "rate = 2000\ncount = " + std::to_string(count) + "\nmin_size = 64\nmax_size = 512";
    Boot(GeneratorBoard(sender, "rate = 1\ncount = 1\npartner_modes = 15", 20), {kPassthru, kPassthru});
    Port(1).CaptureTransmitted(true);
    hw::Machine& hardware = running_->Hardware();
    const auto accounted = [&] {
        return Port(1).Counters().transmitted + Port(1).Counters().txDropped + Port(0).Counters().ignored +
               Port(0).Counters().missed;
    };
    ASSERT_TRUE(WaitFor([&] { return hardware.GeneratorSent(Port(0)) == count && accounted() >= count; }))
        << Port(1).Counters().transmitted << " forwarded of " << hardware.GeneratorSent(Port(0)) << ", "
        << Port(0).Counters().ignored << " ignored";
    EXPECT_EQ(accounted(), count);
    EXPECT_EQ(Port(1).LinkMode(), (std::uint32_t)hw::kMode100Full);
    EXPECT_EQ(Port(1).Counters().txDropped, 0u);
    EXPECT_EQ(Port(0).Counters().missed, 0u);
    const auto frames = Port(1).TakeTransmitted();
    EXPECT_EQ(frames.size() + Port(0).Counters().ignored, count);
    std::uint64_t previous = 0;
    for (std::size_t n = 0; n < frames.size(); n++) {
        auto info = hw::ParseGeneratorFrame(frames[n]);
        ASSERT_TRUE(info.has_value() && info->patternValid && info->fcsValid) << "frame " << n;
        if (n > 0) {
            EXPECT_GT(info->sequence, previous) << "frame " << n;
        }
        previous = info->sequence;
    }
}

TEST_F(Booted, PairWhoseModesUniteToFiveComesUpAtHundredFullDuplex)
{
    // 10 Mb/s full on one port, 100 full on the other: 1000 is never tried
    // and 100 full comes before 10 full.
    Boot(GeneratorBoard("rate = 1\ncount = 1", "rate = 1\ncount = 1", 20),
         {With(kPassthru, "AutonegotiationConfiguration", 0x01), With(kPassthru, "AutonegotiationConfiguration", 0x04)});
    for (std::size_t i = 0; i < 2; i++) {
        ASSERT_TRUE(WaitFor([&] { return QueryLink(i).LinkUp == 1; })) << "port " << i;
        FL_IOCTL_LINK_STATUS link = QueryLink(i);
        EXPECT_EQ(link.Speed, 100u) << "port " << i;
        EXPECT_EQ(link.Duplex, (ULONG)FL_LINK_DUPLEX_FULL) << "port " << i;
        EXPECT_EQ(Port(i).LinkMode(), (std::uint32_t)hw::kMode100Full) << "port " << i;
    }
}

TEST_F(Booted, PassthruPortWhosePartnerIsNotInPassthruStaysSilent)
{
    const std::string generator = "rate = 2000\ncount = 200";
    Boot(GeneratorBoard(generator, generator, 20), {kPassthru, With(kPassthru, "PassthruEnabled", 0)});
    Port(0).CaptureTransmitted(true);
    Port(1).CaptureTransmitted(true);
    hw::Machine& hardware = running_->Hardware();
    // Without its pair the passthru port advertises nothing: no link, and
    // its generator stops (it may have sent a little on the PHY's reset
    // advertisement before the driver started the port). The other port
    // links up as usual.
    ASSERT_TRUE(WaitFor([&] { return hardware.GeneratorSent(Port(1)) == 200; }));
    const std::uint64_t sent = hardware.GeneratorSent(Port(0));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(Port(0).LinkUp());
    EXPECT_EQ(hardware.GeneratorSent(Port(0)), sent);
    EXPECT_TRUE(Port(0).TakeTransmitted().empty());
    EXPECT_TRUE(Port(1).TakeTransmitted().empty());
}

TEST_F(Booted, PairDissolvesWhenOnePortSuspendsAndFormsAgainOnResume)
{
    const std::string generator = "rate = 1000\nmin_size = 64\nmax_size = 256";
    Boot(GeneratorBoard(generator, generator, 20), {kPassthru, kPassthru});
    Port(0).CaptureTransmitted(true);
    Port(1).CaptureTransmitted(true);
    ASSERT_TRUE(WaitFor([&] { return Port(0).Counters().transmitted >= 50 && Port(1).Counters().transmitted >= 50; }));

    // The pair is dissolved: the port left running stops sending and both
    // ports advertise nothing, so their links go down.
    ASSERT_EQ(km::SuspendDevice(running_->Devices()[1].node), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return !Port(0).LinkUp(); }));
    const std::uint64_t stopped = Port(0).Counters().transmitted;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Port(0).Counters().transmitted, stopped);
    (void)Port(0).TakeTransmitted();
    (void)Port(1).TakeTransmitted();

    // Back in D0 the ports pair again, negotiate, and forward both ways.
    ASSERT_EQ(km::ResumeDevice(running_->Devices()[1].node), STATUS_SUCCESS);
    const std::uint64_t before1 = Port(1).Counters().transmitted;
    ASSERT_TRUE(WaitFor([&] {
        return Port(0).Counters().transmitted >= stopped + 50 && Port(1).Counters().transmitted >= before1 + 50;
    }));
    for (std::size_t out = 0; out < 2; out++) {
        const auto frames = Port(out).TakeTransmitted();
        ASSERT_GE(frames.size(), 50u);
        std::uint64_t previous = 0;
        for (std::size_t n = 0; n < frames.size(); n++) {
            auto info = hw::ParseGeneratorFrame(frames[n]);
            ASSERT_TRUE(info.has_value() && info->patternValid && info->fcsValid) << "port " << out << " frame " << n;
            if (n > 0) {
                EXPECT_GT(info->sequence, previous) << "port " << out << " frame " << n;
            }
            previous = info->sequence;
        }
    }
}

// ------------------------------------------------------------------------
// Reception through an instance.

struct Record {
    std::uint64_t timestamp;
    std::uint64_t sequence;
};

struct PacketHeader {  // one record's header in a read
    std::uint64_t timestamp;
    std::uint32_t flags;
    std::uint16_t wireLength;
    std::uint16_t capturedLength;
    std::uint32_t errors;
    std::uint32_t reserved;
};
static_assert(sizeof(PacketHeader) == 24);

class Receiving : public Booted {
protected:
    void EnableReception(std::size_t port)
    {
        file_ = Open(port);
        ASSERT_TRUE(file_);
        ASSERT_EQ(Control(file_, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0).status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (file_) km::io::Close(file_);
        file_.reset();
        Booted::TearDown();
    }

    // One read, completed by the instance thread at its timeout at the
    // latest; its records are appended.
    FL_READ_HEADER ReadOnce(std::vector<Record>* records)
    {
        std::vector<std::uint8_t> buffer(512 * 1024);
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR bytes = 0;
        km::io::Read(file_, buffer.data(), static_cast<ULONG>(buffer.size()), [&](NTSTATUS s, ULONG_PTR n) {
            std::lock_guard<std::mutex> guard(lock);
            status = s;
            bytes = n;
            finished = true;
            done.notify_all();
        });
        {
            std::unique_lock<std::mutex> guard(lock);
            EXPECT_TRUE(done.wait_for(guard, 60s, [&] { return finished; }));
        }
        FL_READ_HEADER header{};
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (status != STATUS_SUCCESS || bytes < sizeof(header)) return header;
        std::memcpy(&header, buffer.data(), sizeof(header));
        for (std::size_t at = sizeof(header); at + sizeof(PacketHeader) <= bytes;) {
            PacketHeader h;
            std::memcpy(&h, &buffer[at], sizeof(h));
            auto info = hw::ParseGeneratorFrame(std::span<const std::uint8_t>(&buffer[at + sizeof(h)], h.capturedLength));
            EXPECT_TRUE(info.has_value());
            if (info) records->push_back({h.timestamp, info->sequence});
            at += sizeof(h) + ((h.capturedLength + 7u) & ~7u);
        }
        return header;
    }

    std::uint64_t PortCounter(std::size_t port, ULONG index)
    {
        km::io::FileHandle file = Open(port);
        ULONGLONG counters[FL_PORT_COUNTER_COUNT] = {};
        EXPECT_EQ(Control(file, IOCTL_PORT_QUERY_STATISTICS, counters, sizeof(counters)).status, STATUS_SUCCESS);
        km::io::Close(file);
        return counters[index];
    }

    km::io::FileHandle file_;
};

// Port 0 on no wire until the test attaches its generator; port 1 idle.
const std::string kQuietBoard =
    "clock = \"realtime\"\n[[board]]\nmac = \"02:00:f1:0e:00:20\"\n[[board.port]]\nwire = \"none\"\n"
    "[[board.port]]\nwire = \"none\"\n";

const std::map<std::string, ULONG> kSmallRing = {{"RxSlots", 4096}, {"TxSlots", 4096}};

// Timestamping modes 1 (the poll spins while instances are open) and 2
// (a poll every millisecond) stamp alike.
class Stamping : public Receiving, public ::testing::WithParamInterface<ULONG> {};

TEST_P(Stamping, SteadyTrafficIsStampedWithTimesThatNeverGoBackwards)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing}, {{"TimestampingMode", GetParam()}});
    EnableReception(0);
    const std::uint64_t count = 300;
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.count = count;
    running_->Hardware().AttachGenerator(Port(0), generator);

    const auto before = std::chrono::system_clock::now();
    std::vector<Record> records;
    std::uint64_t lastHarvest = 0;
    ASSERT_TRUE(WaitFor([&] {
        FL_READ_HEADER header = ReadOnce(&records);
        EXPECT_GE(header.HarvestTime, lastHarvest) << "the harvest time went back";
        EXPECT_GE(header.HarvestTime, header.LastTimestamp);
        lastHarvest = header.HarvestTime;
        return records.size() >= count;
    }));
    ASSERT_EQ(records.size(), count);
    const auto after = std::chrono::system_clock::now();
    const auto ns = [](std::chrono::system_clock::time_point t) {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    };
    for (std::size_t n = 0; n < records.size(); n++) {
        EXPECT_EQ(records[n].sequence, n);
        if (n > 0) {
            EXPECT_GE(records[n].timestamp, records[n - 1].timestamp) << "record " << n;
        }
    }
    // Nanoseconds since 1970 on the system's clock (a second of slack for
    // the time base's one reading of it).
    EXPECT_GE(records.front().timestamp + 1'000'000'000ull, ns(before));
    EXPECT_LE(records.back().timestamp, ns(after) + 1'000'000'000ull);
    // Frames 0.5 ms apart over several 1 ms polls: not all in one.
    EXPECT_GT(records.back().timestamp, records.front().timestamp);
}

INSTANTIATE_TEST_SUITE_P(Modes, Stamping, ::testing::Values(1u, 2u));

TEST_F(Receiving, TimestampingOffGivesZeroTimesAndHarvestTime)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing}, {{"TimestampingMode", 0}});
    EnableReception(0);
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.count = 100;
    running_->Hardware().AttachGenerator(Port(0), generator);

    std::vector<Record> records;
    ASSERT_TRUE(WaitFor([&] {
        FL_READ_HEADER header = ReadOnce(&records);
        EXPECT_EQ(header.HarvestTime, 0u);
        EXPECT_EQ(header.LastTimestamp, 0u);
        return records.size() >= 100;
    }));
    for (const Record& r : records) EXPECT_EQ(r.timestamp, 0u) << "frame " << r.sequence;
}

TEST_F(Receiving, FramesDroppedForAFullSlotRingAreCounted)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing}, {{"TimestampingMode", 2}});
    EnableReception(0);
    // Far more small frames than the 4096 slots hold, while nobody reads.
    const std::uint64_t count = 20000;
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 200000;
    generator.minSize = 64;
    generator.maxSize = 64;
    generator.count = count;
    hw::Machine& hardware = running_->Hardware();
    hardware.AttachGenerator(Port(0), generator);
    ASSERT_TRUE(WaitFor([&] { return hardware.GeneratorSent(Port(0)) == count; }));

    // Reading frees the slots; what waited in the controller follows.
    std::vector<Record> records;
    std::uint64_t missed = 0;
    ASSERT_TRUE(WaitFor([&] {
        ReadOnce(&records);
        missed = PortCounter(0, FL_PORT_COUNTER_MISSED);
        return records.size() + missed >= count;
    })) << records.size() << " delivered, " << missed << " counted";
    EXPECT_EQ(records.size() + missed, count);
    EXPECT_GT(missed, 0u);
    EXPECT_EQ(Port(0).Counters().missed, missed);
    // What was delivered came in order, none twice.
    for (std::size_t n = 1; n < records.size(); n++) EXPECT_GT(records[n].sequence, records[n - 1].sequence);
}

}  // namespace
