// The management and negotiation threads of the real driver module on a
// booted machine, on real threads: passthru pairs formed by MAC address,
// brought up at a common speed and forwarding every frame both ways; and
// the data path end to end through instances: readers at their own pace,
// a pair between two ordinary ports, and what is counted when a reader
// cannot keep up.
// Waits are generous; nothing here depends on how fast the machine is.
#define INITGUID /* before the first platform header: the GUID is defined here */
#include <gtest/gtest.h>

#include "booted_support.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <span>
#include <cstring>
#include <thread>

#include <hw/ethernet.hpp>
#include <km/debug.hpp>
#include <km/io.hpp>
#include <km/kernel.hpp>
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

// Issues one request through `issue` and waits for its completion, which
// the driver may run on any of its threads.
ControlResult Await(const std::function<NTSTATUS(km::io::Completion)>& issue, const std::string& what)
{
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    ControlResult result{STATUS_PENDING, 0};
    issue([&](NTSTATUS status, ULONG_PTR information) {
        std::lock_guard<std::mutex> guard(lock);
        result = {status, information};
        finished = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(done.wait_for(guard, 60s, [&] { return finished; })) << what;
    return result;
}

ControlResult Control(const km::io::FileHandle& file, ULONG code, const void* input, ULONG inputLength, void* output,
                      ULONG outputLength)
{
    return Await(
        [&](km::io::Completion completion) {
            return km::io::DeviceControl(file, code, input, inputLength, output, outputLength, std::move(completion));
        },
        "code " + std::to_string(code));
}

ControlResult Control(const km::io::FileHandle& file, ULONG code, void* output, ULONG outputLength)
{
    return Control(file, code, nullptr, 0, output, outputLength);
}

void SetULong(const km::io::FileHandle& file, ULONG code, ULONG value)
{
    EXPECT_EQ(Control(file, code, &value, sizeof(value), nullptr, 0).status, STATUS_SUCCESS) << "code " << code;
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
    // On a loaded machine the generator may be done before the pair has
    // settled: the frames it sent meanwhile were ignored, and 100 full
    // comes after.
    EXPECT_TRUE(WaitFor([&] { return Port(1).LinkMode() == hw::kMode100Full; })) << Port(1).LinkMode();
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

struct PacketHeader {  // one record's header in a read or a write
    std::uint64_t timestamp;
    std::uint32_t flags;
    std::uint16_t wireLength;
    std::uint16_t capturedLength;
    std::uint32_t errors;
    std::uint32_t reserved;
};
static_assert(sizeof(PacketHeader) == 24);

constexpr std::uint32_t kFcsIncluded = 0x1;  // record flag: the bytes end with their FCS
constexpr std::uint32_t kCrcError = 0x1;     // record error bit
constexpr ULONG kGoodAndCrcErrors = 0x3;     // error filter: good frames and CRC errors
constexpr ULONG kLargeRead = 512 * 1024;

// A record's bytes in a buffer: the header, then the packet padded to 8.
std::size_t RecordSize(std::size_t packetBytes)
{
    return sizeof(PacketHeader) + ((packetBytes + 7) & ~std::size_t{7});
}

// A record of a read with its bytes copied out.
struct PacketRecord {
    PacketHeader header;
    std::vector<std::uint8_t> bytes;
};

struct ReadResult {
    FL_READ_HEADER header{};
    std::vector<PacketRecord> records;
    ULONG_PTR length = 0;  // bytes the read returned
};

// One read of bufferSize bytes, completed by the instance thread at its
// timeout at the latest. Every record must lie whole within what the read
// returned.
ReadResult ReadRecords(const km::io::FileHandle& file, ULONG bufferSize)
{
    std::vector<std::uint8_t> buffer(bufferSize);
    const ControlResult r = Await(
        [&](km::io::Completion completion) {
            return km::io::Read(file, buffer.data(), bufferSize, std::move(completion));
        },
        "read");
    ReadResult result;
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    if (r.status != STATUS_SUCCESS) return result;
    EXPECT_GE(r.information, sizeof(FL_READ_HEADER));
    EXPECT_LE(r.information, bufferSize);
    if (r.information < sizeof(FL_READ_HEADER) || r.information > bufferSize) return result;
    result.length = r.information;
    std::memcpy(&result.header, buffer.data(), sizeof(result.header));
    for (std::size_t at = sizeof(FL_READ_HEADER); at < r.information;) {
        PacketRecord record;
        EXPECT_LE(at + sizeof(PacketHeader), r.information) << "a record header past the end";
        if (at + sizeof(PacketHeader) > r.information) break;
        std::memcpy(&record.header, &buffer[at], sizeof(PacketHeader));
        const std::size_t size = RecordSize(record.header.capturedLength);
        EXPECT_LE(at + size, r.information) << "a record past the end";
        if (at + size > r.information) break;
        const std::uint8_t* data = &buffer[at + sizeof(PacketHeader)];
        record.bytes.assign(data, data + record.header.capturedLength);
        result.records.push_back(std::move(record));
        at += size;
    }
    return result;
}

// A generator frame as one reader saw it.
struct Record {
    std::uint64_t timestamp;
    std::uint64_t sequence;
    std::uint16_t length;  // with the FCS
};

// One read of generator frames; their records are appended.
FL_READ_HEADER ReadOnce(const km::io::FileHandle& file, std::vector<Record>* records, ULONG bufferSize = kLargeRead)
{
    ReadResult read = ReadRecords(file, bufferSize);
    for (const PacketRecord& r : read.records) {
        auto info = hw::ParseGeneratorFrame(r.bytes);
        EXPECT_TRUE(info.has_value() && info->patternValid) << "record " << records->size();
        EXPECT_EQ(r.header.capturedLength, r.header.wireLength);
        if (info) records->push_back({r.header.timestamp, info->sequence, r.header.wireLength});
    }
    return read.header;
}

class Receiving : public Booted {
protected:
    void TearDown() override
    {
        for (km::io::FileHandle& file : instances_) km::io::Close(file);
        instances_.clear();
        Booted::TearDown();
    }

    // A handle on the port, closed when the test ends.
    km::io::FileHandle Instance(std::size_t port)
    {
        km::io::FileHandle file = Open(port);
        if (file) instances_.push_back(file);
        return file;
    }

    // A handle on the port with reception enabled: it reads from the frames
    // that arrive from now on.
    km::io::FileHandle Receiver(std::size_t port)
    {
        km::io::FileHandle file = Instance(port);
        EXPECT_TRUE(file);
        if (file) {
            EXPECT_EQ(Control(file, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0).status, STATUS_SUCCESS);
        }
        return file;
    }

    std::uint64_t PortCounter(std::size_t port, ULONG index)
    {
        km::io::FileHandle file = Open(port);
        ULONGLONG counters[FL_PORT_STAT_COUNT] = {};
        EXPECT_EQ(Control(file, IOCTL_PORT_QUERY_STATISTICS, counters, sizeof(counters)).status, STATUS_SUCCESS);
        km::io::Close(file);
        return counters[index];
    }

    std::array<ULONGLONG, FL_INSTANCE_COUNTER_COUNT> InstanceCounters(const km::io::FileHandle& file)
    {
        std::array<ULONGLONG, FL_INSTANCE_COUNTER_COUNT> counters{};
        const ControlResult r =
            Control(file, IOCTL_INSTANCE_QUERY_STATISTICS, counters.data(), sizeof(ULONGLONG) * counters.size());
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof(ULONGLONG) * counters.size());
        return counters;
    }

private:
    std::vector<km::io::FileHandle> instances_;
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
    km::io::FileHandle reader = Receiver(0);
    const std::uint64_t count = 300;
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.count = count;
    running_->Hardware().AttachGenerator(Port(0), generator);

    const auto before = std::chrono::system_clock::now();
    std::vector<Record> records;
    std::uint64_t lastHarvest = 0;
    ASSERT_TRUE(WaitFor([&] {
        FL_READ_HEADER header = ReadOnce(reader, &records);
        EXPECT_GE(header.HarvestTime, lastHarvest) << "the harvest time went back";
        lastHarvest = header.HarvestTime;
        return records.size() >= count;
    }));
    ASSERT_EQ(records.size(), count);
    // The harvest time is published after the slots of its poll, so a read
    // may carry frames of a poll whose time it does not show yet; it shows
    // it soon after.
    ASSERT_TRUE(WaitFor([&] {
        ULONGLONG harvest = 0;
        EXPECT_EQ(Control(reader, IOCTL_INSTANCE_QUERY_HARVEST_TIME, &harvest, sizeof(harvest)).status,
                  STATUS_SUCCESS);
        EXPECT_GE(harvest, lastHarvest) << "the harvest time went back";
        return harvest >= records.back().timestamp;
    })) << "the harvest time never reached the last frame's";
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
    km::io::FileHandle reader = Receiver(0);
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.count = 100;
    running_->Hardware().AttachGenerator(Port(0), generator);

    std::vector<Record> records;
    ASSERT_TRUE(WaitFor([&] {
        FL_READ_HEADER header = ReadOnce(reader, &records);
        EXPECT_EQ(header.HarvestTime, 0u);
        EXPECT_EQ(header.LastTimestamp, 0u);
        return records.size() >= 100;
    }));
    for (const Record& r : records) EXPECT_EQ(r.timestamp, 0u) << "frame " << r.sequence;
}

TEST_F(Receiving, FramesDroppedForAFullSlotRingAreCounted)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing}, {{"TimestampingMode", 2}});
    km::io::FileHandle reader = Receiver(0);
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
        ReadOnce(reader, &records);
        missed = PortCounter(0, FL_PORT_STAT_MISSED);
        return records.size() + missed >= count;
    })) << records.size() << " delivered, " << missed << " counted";
    EXPECT_EQ(records.size() + missed, count);
    EXPECT_GT(missed, 0u);
    EXPECT_EQ(Port(0).Counters().missed, missed);
    // What was delivered came in order, none twice.
    for (std::size_t n = 1; n < records.size(); n++) EXPECT_GT(records[n].sequence, records[n - 1].sequence);
}

TEST_F(Receiving, TwoReadersAtTheirOwnPaceEachGetEveryFrameOnce)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing});
    km::io::FileHandle fast = Receiver(0);
    km::io::FileHandle slow = Receiver(0);
    // The slow reader's reads complete as soon as more than its small
    // buffer waits, so that most of them are full and leave records behind.
    constexpr ULONG kSmallRead = 4096;
    SetULong(slow, IOCTL_INSTANCE_SET_READ_THRESHOLD, kSmallRead);

    // Every size from the smallest to the largest; the whole stream fits
    // the 4096 slots, so no frame may be missing whatever the pace.
    const std::uint64_t count = 600;
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.minSize = 64;
    generator.maxSize = 1518;
    generator.count = count;
    running_->Hardware().AttachGenerator(Port(0), generator);

    std::vector<Record> fastRecords;
    auto fastDone = std::async(std::launch::async, [&] {
        return WaitFor([&] {
            ReadOnce(fast, &fastRecords);
            return fastRecords.size() >= count;
        });
    });

    // Frames come faster than the slow reader takes them: its reads run
    // full, and the record that would not fit waits for the next read.
    std::vector<Record> slowRecords;
    std::uint64_t reads = 0;
    std::uint64_t fullReads = 0;  // the next read's first record would not have fitted
    ULONG_PTR previousLength = 0;
    const bool slowDone = WaitFor([&] {
        std::this_thread::sleep_for(3ms);
        ReadResult read = ReadRecords(slow, kSmallRead);
        for (const PacketRecord& r : read.records) {
            auto info = hw::ParseGeneratorFrame(r.bytes);
            EXPECT_TRUE(info.has_value() && info->patternValid) << "record " << slowRecords.size();
            if (info) slowRecords.push_back({r.header.timestamp, info->sequence, r.header.wireLength});
        }
        if (!read.records.empty()) {
            if (reads > 0 && previousLength + RecordSize(read.records.front().header.capturedLength) > kSmallRead) {
                fullReads++;
            }
            previousLength = read.length;
            reads++;
        }
        return slowRecords.size() >= count;
    });
    ASSERT_TRUE(fastDone.get()) << fastRecords.size() << " frames read quickly";
    ASSERT_TRUE(slowDone) << slowRecords.size() << " frames read slowly";

    // Each reader: every frame once, in order, stamped with times that
    // never go back; both saw the same frames with the same stamps.
    for (const auto* records : {&fastRecords, &slowRecords}) {
        ASSERT_EQ(records->size(), count);
        for (std::size_t n = 0; n < count; n++) {
            ASSERT_EQ((*records)[n].sequence, n) << (records == &fastRecords ? "fast" : "slow") << " reader";
            if (n > 0) {
                EXPECT_GE((*records)[n].timestamp, (*records)[n - 1].timestamp) << "frame " << n;
            }
        }
    }
    for (std::size_t n = 0; n < count; n++) {
        EXPECT_EQ(fastRecords[n].timestamp, slowRecords[n].timestamp) << "frame " << n;
        EXPECT_EQ(fastRecords[n].length, slowRecords[n].length) << "frame " << n;
    }
    EXPECT_GT(fullReads, 0u) << "the slow reader's buffer never ran full in " << reads << " reads";
    // Nothing more comes: no frame was delivered twice.
    EXPECT_TRUE(ReadRecords(fast, kLargeRead).records.empty());
    EXPECT_TRUE(ReadRecords(slow, kSmallRead).records.empty());

    // What each instance counts is what it read.
    std::uint64_t octets = 0;
    for (const Record& r : fastRecords) octets += r.length;
    for (const km::io::FileHandle& reader : {fast, slow}) {
        const auto counters = InstanceCounters(reader);
        EXPECT_EQ(counters[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], count);
        EXPECT_EQ(counters[FL_INSTANCE_COUNTER_GOOD_RECEIVED], count);
        EXPECT_EQ(counters[FL_INSTANCE_COUNTER_OCTETS_RECEIVED], octets);
        EXPECT_EQ(counters[FL_INSTANCE_COUNTER_RECEIVE_ERRORS], 0u);
        EXPECT_EQ(counters[FL_INSTANCE_COUNTER_DROPPED], 0u);
    }
}

// ------------------------------------------------------------------------
// A passthru pair between two ordinary ports: board 0's ports are the pair,
// each cabled to one port of board 1.

const std::string kPairBetweenTwoPorts =
    "clock = \"realtime\"\nautonegotiation_delay_ms = 20\n"
    "[[board]]\nmac = \"02:00:f1:0e:00:10\"\n"
    "[[board.port]]\nwire = \"cable\"\nto = { board = 1, port = 0 }\n"
    "[[board.port]]\nwire = \"cable\"\nto = { board = 1, port = 1 }\n"
    "[[board]]\nmac = \"02:00:f1:0e:00:20\"\n[[board.port]]\n[[board.port]]\n";

// A frame the test sends, as it travels on the wire (FCS included).
struct MarkedFrame {
    std::vector<std::uint8_t> bytes;
    bool ownFcs = false;  // the write carries the FCS; otherwise the controller appends it
    bool badFcs = false;  // ... and it is wrong on purpose
};

// Frame `sequence` of `direction`, 64 to 1518 bytes with the FCS (the size
// scrambled from the sequence number): after the EtherType the direction
// and the sequence number, then a pattern of both. Of every five, two get
// their FCS from the controller, two carry a good one and one a wrong one.
MarkedFrame MarkFrame(const hw::MacAddress& to, const hw::MacAddress& from, std::uint8_t direction,
                      std::uint32_t sequence)
{
    const std::size_t size = 64 + (sequence * 2654435761u >> 9) % (1518 - 64 + 1);
    MarkedFrame frame;
    std::vector<std::uint8_t>& b = frame.bytes;
    b.insert(b.end(), to.begin(), to.end());
    b.insert(b.end(), from.begin(), from.end());
    b.push_back(0x88);
    b.push_back(0xB6);
    b.push_back(direction);
    for (int i = 0; i < 4; i++) b.push_back(static_cast<std::uint8_t>(sequence >> (8 * i)));
    while (b.size() < size - 4) b.push_back(static_cast<std::uint8_t>(sequence * 7 + b.size() * 13 + direction));
    hw::AppendFcs(b);
    frame.ownFcs = sequence % 5 >= 2;
    frame.badFcs = sequence % 5 == 4;
    if (frame.badFcs) b.back() ^= 0x5A;
    return frame;
}

// The write records of the frames, packed one after another.
std::vector<std::uint8_t> WriteRecords(const std::vector<MarkedFrame>& frames)
{
    std::vector<std::uint8_t> buffer;
    for (const MarkedFrame& f : frames) {
        const std::size_t length = f.ownFcs ? f.bytes.size() : f.bytes.size() - 4;
        PacketHeader h{};
        h.flags = f.ownFcs ? kFcsIncluded : 0;
        h.wireLength = static_cast<std::uint16_t>(length);
        h.capturedLength = h.wireLength;
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&h);
        buffer.insert(buffer.end(), raw, raw + sizeof(h));
        buffer.insert(buffer.end(), f.bytes.begin(), f.bytes.begin() + static_cast<std::ptrdiff_t>(length));
        buffer.resize(buffer.size() + RecordSize(length) - sizeof(h) - length, 0);
    }
    return buffer;
}

// Writes the buffer in pieces that need not end on a record; each write
// takes the whole records it can and the rest is offered again.
bool WriteAll(const km::io::FileHandle& file, const std::vector<std::uint8_t>& buffer, std::size_t piece)
{
    std::size_t offset = 0;
    return WaitFor([&] {
        const ULONG length = static_cast<ULONG>(std::min(piece, buffer.size() - offset));
        const ControlResult r = Await(
            [&](km::io::Completion completion) {
                return km::io::Write(file, buffer.data() + offset, length, std::move(completion));
            },
            "write");
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_LE(r.information, length);
        if (r.status != STATUS_SUCCESS || r.information > length) return true;
        offset += r.information;
        if (offset < buffer.size()) std::this_thread::sleep_for(1ms);
        return offset == buffer.size();
    }) && offset == buffer.size();
}

// Reads until `count` records have come (or the generous wait ran out),
// then once more, so that a record delivered twice would show.
std::vector<PacketRecord> ReadAll(const km::io::FileHandle& file, std::size_t count)
{
    std::vector<PacketRecord> records;
    const auto readOnce = [&] {
        ReadResult read = ReadRecords(file, kLargeRead);
        for (PacketRecord& r : read.records) records.push_back(std::move(r));
    };
    if (WaitFor([&] {
            readOnce();
            return records.size() >= count;
        })) {
        readOnce();
    }
    return records;
}

TEST_F(Receiving, PairBetweenTwoPortsForwardsBothWaysWhileEveryPortReads)
{
    // Board 1's ports send little at a time (256 descriptors), so that
    // nothing overruns the pair's receive rings and every loss is a fault.
    const std::map<std::string, ULONG> ordinary = {{"RxSlots", 4096}, {"TxSlots", 4096}, {"TxDescriptors", 256}};
    Boot(kPairBetweenTwoPorts, {kPassthru, kPassthru, ordinary, ordinary});
    ASSERT_EQ(Port(0).GetBoard().GetPort(1).Mac(), Port(1).Mac());
    ASSERT_EQ(Port(2).Mac()[5], 0x20);
    ASSERT_EQ(Port(3).Mac()[5], 0x21);
    ASSERT_TRUE(WaitFor([&] {
        for (std::size_t i = 0; i < 4; i++) {
            if (QueryLink(i).LinkUp != 1) return false;
        }
        return true;
    })) << "the four links never came up";

    // Direction 0 runs from board 1 port 0 through the pair to board 1
    // port 1; direction 1 back.
    struct Direction {
        std::size_t sender, pairIn, far;
    };
    const Direction directions[2] = {{2, 0, 3}, {3, 1, 2}};
    const std::size_t count = 300;
    std::vector<MarkedFrame> frames[2];
    for (std::uint8_t d = 0; d < 2; d++) {
        for (std::uint32_t n = 0; n < count; n++) {
            frames[d].push_back(MarkFrame(Port(directions[d].far).Mac(), Port(directions[d].sender).Mac(), d, n));
        }
    }

    std::vector<km::io::FileHandle> readers(4);
    for (std::size_t i = 0; i < 4; i++) {
        readers[i] = Receiver(i);
        ASSERT_TRUE(readers[i]);
        SetULong(readers[i], IOCTL_INSTANCE_SET_ERROR_FILTER, kGoodAndCrcErrors);
    }
    for (std::size_t i = 2; i < 4; i++) {
        ASSERT_EQ(Control(readers[i], IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0).status, STATUS_SUCCESS);
    }

    std::future<std::vector<PacketRecord>> read[4];
    for (std::size_t i = 0; i < 4; i++) {
        read[i] = std::async(std::launch::async, [&, i] { return ReadAll(readers[i], count); });
    }
    std::future<bool> written[2];
    for (std::size_t d = 0; d < 2; d++) {
        written[d] = std::async(std::launch::async, [&, d] {
            return WriteAll(readers[directions[d].sender], WriteRecords(frames[d]), 16 * 1024);
        });
    }
    for (std::size_t d = 0; d < 2; d++) EXPECT_TRUE(written[d].get()) << "direction " << d;
    std::vector<PacketRecord> records[4];
    for (std::size_t i = 0; i < 4; i++) records[i] = read[i].get();

    // Where the frames entered the pair and where they left it, every
    // frame once, in order, byte for byte with the FCS it had on the wire,
    // the wrong ones marked as CRC errors.
    for (std::size_t d = 0; d < 2; d++) {
        for (std::size_t port : {directions[d].pairIn, directions[d].far}) {
            SCOPED_TRACE("direction " + std::to_string(d) + ", read on port " + std::to_string(port));
            const std::vector<PacketRecord>& got = records[port];
            ASSERT_EQ(got.size(), count);
            for (std::size_t n = 0; n < count; n++) {
                const MarkedFrame& sent = frames[d][n];
                const PacketHeader& h = got[n].header;
                ASSERT_EQ(got[n].bytes, sent.bytes) << "frame " << n;
                EXPECT_EQ(h.flags, kFcsIncluded) << "frame " << n;
                EXPECT_EQ(h.wireLength, sent.bytes.size()) << "frame " << n;
                EXPECT_EQ(h.errors, sent.badFcs ? kCrcError : 0u) << "frame " << n;
            }
        }
    }

    // The sender's counters have every frame with its FCS, whoever added
    // it; the readers' have every frame, the bad ones not among the good.
    for (std::size_t d = 0; d < 2; d++) {
        std::uint64_t octets = 0;
        std::uint64_t bad = 0;
        for (const MarkedFrame& f : frames[d]) {
            octets += f.bytes.size();
            bad += f.badFcs;
        }
        const auto sender = InstanceCounters(readers[directions[d].sender]);
        EXPECT_EQ(sender[FL_INSTANCE_COUNTER_PACKETS_SENT], count) << "direction " << d;
        EXPECT_EQ(sender[FL_INSTANCE_COUNTER_OCTETS_SENT], octets) << "direction " << d;
        for (std::size_t port : {directions[d].pairIn, directions[d].far}) {
            const auto counters = InstanceCounters(readers[port]);
            EXPECT_EQ(counters[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], count) << "port " << port;
            EXPECT_EQ(counters[FL_INSTANCE_COUNTER_GOOD_RECEIVED], count - bad) << "port " << port;
            EXPECT_EQ(counters[FL_INSTANCE_COUNTER_OCTETS_RECEIVED], octets) << "port " << port;
            EXPECT_EQ(counters[FL_INSTANCE_COUNTER_DROPPED], 0u) << "port " << port;
        }
    }
    for (std::size_t i = 0; i < 4; i++) {
        EXPECT_EQ(Port(i).Counters().missed, 0u) << "port " << i;
        EXPECT_EQ(Port(i).Counters().txDropped, 0u) << "port " << i;
    }
}

TEST_F(Receiving, ReaderThatFallsBehindAPassthruPairCountsWhatWasPrunedForIt)
{
    // An instance on port 0 starts reading while the port has no wire yet,
    // and then reads nothing while port 0 takes in twice what its 4096 slots
    // hold. Forwarding goes on at the expense of that reader: it is moved
    // past frames it did not read, and counts them. Pruning keeps three
    // quarters of the ring free and the rate is modest, so that a management
    // thread slowed down by a loaded machine still loses nothing. (Port 1's
    // one frame leaves by port 0 and is not read here.)
    const std::string board =
        "clock = \"realtime\"\nautonegotiation_delay_ms = 20\n[[board]]\nmac = \"02:00:f1:0e:00:10\"\n"
        "[[board.port]]\nwire = \"none\"\n[[board.port]]\nwire = \"generator\"\nrate = 1\ncount = 1\n";
    Boot(board, {With(kPassthru, "RxTailPruningThreshold", 75), kPassthru});
    km::io::FileHandle reader = Receiver(0);
    Port(1).CaptureTransmitted(true);

    // Frames of one to three slots: what is counted must be frames.
    const std::uint64_t count = 4000;
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.minSize = 64;
    generator.maxSize = 768;
    generator.count = count;
    hw::Machine& hardware = running_->Hardware();
    hardware.AttachGenerator(Port(0), generator);
    ASSERT_TRUE(WaitFor([&] {
        return hardware.GeneratorSent(Port(0)) == count &&
               Port(1).Counters().transmitted + Port(0).Counters().missed >= count;
    })) << Port(1).Counters().transmitted << " forwarded of " << hardware.GeneratorSent(Port(0));

    // The forwarding lost nothing.
    EXPECT_EQ(Port(0).Counters().missed, 0u);
    const auto forwarded = Port(1).TakeTransmitted();
    ASSERT_EQ(forwarded.size(), count);
    for (std::uint64_t n = 0; n < count; n++) {
        auto info = hw::ParseGeneratorFrame(forwarded[n]);
        ASSERT_TRUE(info.has_value() && info->patternValid && info->fcsValid) << "frame " << n;
        ASSERT_EQ(info->sequence, n);
    }

    // The reader: what it was moved past, then the rest in order.
    const std::uint64_t dropped = InstanceCounters(reader)[FL_INSTANCE_COUNTER_DROPPED];
    EXPECT_GT(dropped, 0u);
    std::vector<Record> records;
    ASSERT_TRUE(WaitFor([&] {
        ReadOnce(reader, &records);
        return dropped + records.size() >= count;
    })) << records.size() << " read after " << dropped << " dropped";
    EXPECT_EQ(dropped + records.size(), count);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().sequence, dropped) << "the frames moved past are the oldest ones";
    for (std::size_t n = 1; n < records.size(); n++) {
        ASSERT_EQ(records[n].sequence, records[n - 1].sequence + 1) << "record " << n;
    }
    const auto counters = InstanceCounters(reader);
    EXPECT_EQ(counters[FL_INSTANCE_COUNTER_DROPPED], dropped);
    EXPECT_EQ(counters[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], count);
    EXPECT_EQ(PortCounter(0, FL_PORT_STAT_MISSED), 0u);
}

// ------------------------------------------------------------------------
// The driver's shared state: counters, the threads and their priorities.

// A GPRC or TPR register at its top stops counting; folded in time, the
// port's 64-bit counters go on past it however long nobody asks.
TEST_F(Receiving, CountersGoPastTheirRegistersTopWithNobodyAsking)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing});
    km::io::FileHandle reader = Receiver(0);
    const std::uint64_t base = PortCounter(0, FL_PORT_STAT_GOOD_RECEIVED);
    const std::uint64_t nearTop = 0xFFFFFFFFull - 5;
    Port(0).PresetStatistic(0x4074, nearTop);  // GPRC
    Port(0).PresetStatistic(0x40D0, nearTop);  // TPR
    // Nobody asks for a while: only the driver itself reads the registers.
    std::this_thread::sleep_for(2s);

    const std::uint64_t frames = 20;
    for (std::uint64_t i = 0; i < frames; i++) {
        Port(0).InjectFrame(hw::BuildGeneratorFrame(hw::MacAddress{{0x02, 0, 0, 0, 0, 1}},
                                                    hw::MacAddress{{0x02, 0, 0, 0, 0, 2}}, 0, i, 128, false));
    }
    std::vector<Record> records;
    ASSERT_TRUE(WaitFor([&] {
        ReadOnce(reader, &records);
        return records.size() >= frames;
    }, 60s));
    EXPECT_EQ(PortCounter(0, FL_PORT_STAT_GOOD_RECEIVED), base + nearTop + frames);
    EXPECT_EQ(PortCounter(0, FL_PORT_STAT_PACKETS_RECEIVED), base + nearTop + frames);
}

// Board 0 receives; board 1 is a passthru pair on generators.
const std::string kReceiverAndPair =
    "clock = \"realtime\"\nautonegotiation_delay_ms = 20\n"
    "[[board]]\nmac = \"02:00:f1:0e:00:30\"\n[[board.port]]\nwire = \"none\"\n[[board.port]]\nwire = \"none\"\n"
    "[[board]]\nmac = \"02:00:f1:0e:00:40\"\n[[board.port]]\nwire = \"generator\"\nrate = 100\n"
    "[[board.port]]\nwire = \"generator\"\nrate = 100\n";

// The negotiation thread may be busy for a long time (PHY accesses, polls
// of a pair's links); a pair added meanwhile must not hold the harvest of
// every other port up: frames on port 0 keep arriving, none missed.
TEST_F(Receiving, HarvestGoesOnWhileAPairIsAddedAndTheNegotiationThreadIsBusy)
{
    Boot(kReceiverAndPair, {kSmallRing, kSmallRing, kPassthru, kPassthru});
    const auto pairNode = running_->Devices().at(3).node;
    ASSERT_EQ(km::SuspendDevice(pairNode), STATUS_SUCCESS);

    struct Release {
        ~Release() { km::ReleaseHeldThreads(); }
    } release;
    km::HoldThreadsAtDelay("Negotiation");
    ASSERT_TRUE(WaitFor([] { return km::HeldThreadCount() == 1; }, 60s)) << "no thread named Negotiation";

    km::io::FileHandle reader = Receiver(0);
    const std::uint64_t count = 600;
    hw::GeneratorOptions generator;
    generator.framesPerSecond = 2000;
    generator.count = count;
    running_->Hardware().AttachGenerator(Port(0), generator);
    // The pair forms again while the negotiation thread cannot answer.
    auto resumed = std::async(std::launch::async, [&] { return km::ResumeDevice(pairNode); });

    std::vector<Record> records;
    EXPECT_TRUE(WaitFor([&] {
        ReadOnce(reader, &records);
        return records.size() >= count;
    }, 30s)) << records.size() << " of " << count << " frames while the pair was added";
    EXPECT_EQ(records.size(), count);
    for (std::size_t n = 0; n < records.size(); n++) ASSERT_EQ(records[n].sequence, n);
    EXPECT_EQ(PortCounter(0, FL_PORT_STAT_MISSED), 0u);
    EXPECT_EQ(resumed.wait_for(30s), std::future_status::ready) << "the resume waited for the negotiation thread";

    // Once free, the negotiation thread brings the pair up.
    km::ReleaseHeldThreads();
    EXPECT_EQ(resumed.get(), STATUS_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return Port(2).LinkUp() && Port(3).LinkUp(); }));
}

std::vector<km::SystemThread> ThreadsNamed(const std::string& name)
{
    std::vector<km::SystemThread> found;
    for (const km::SystemThread& t : km::SystemThreads()) {
        if (t.name == name) found.push_back(t);
    }
    return found;
}

// An instance whose thread cannot be referenced fails to open, and no
// thread goes on running on its freed record.
TEST_F(Receiving, InstanceWhoseThreadCannotBeReferencedLeavesNoThreadBehind)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing});
    ASSERT_TRUE(ThreadsNamed("Instance").empty());
    const std::string& id = running_->Devices().at(0).instanceId;
    std::string link;
    for (const km::DeviceInterface& d : km::GetDeviceInterfaces(GUID_DEVINTERFACE_FL)) {
        if (d.instanceId == id && d.enabled) link = d.symbolicLink;
    }
    ASSERT_FALSE(link.empty());

    km::FailThreadReferences(1);
    km::io::FileHandle file;
    EXPECT_NE(km::io::Open(link, &file), STATUS_SUCCESS);
    km::FailThreadReferences(0);
    EXPECT_TRUE(ThreadsNamed("Instance").empty()) << "an instance thread outlived its failed open";
    // Its record is gone: a thread still on it would be seen by ASan here.
    std::this_thread::sleep_for(50ms);

    km::io::FileHandle good = Instance(0);
    ASSERT_TRUE(good);
    EXPECT_TRUE(WaitFor([] { return ThreadsNamed("Instance").size() == 1; }));
}

// The management thread polls at MgmThreadPriority; instance threads run
// below it, so that none of them preempts the harvest. Every thread of the
// driver carries its name.
TEST_F(Receiving, ManagementThreadPollsAtItsPriorityAboveTheInstances)
{
    Boot(kQuietBoard, {kSmallRing, kSmallRing}, {{"MgmThreadPriority", 20}});
    km::io::FileHandle reader = Receiver(0);
    EXPECT_TRUE(WaitFor([] {
        auto management = ThreadsNamed("Management");
        return management.size() == 1 && management[0].priority == 20;
    })) << "the management thread does not poll at MgmThreadPriority";
    EXPECT_EQ(ThreadsNamed("Negotiation").size(), 1u);
    ASSERT_TRUE(WaitFor([] {
        auto instances = ThreadsNamed("Instance");
        return instances.size() == 1 && instances[0].priority == 19;
    })) << "the instance thread is not just below the management thread";
}

}  // namespace
