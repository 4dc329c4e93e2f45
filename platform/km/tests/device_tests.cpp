// The framework, the I/O manager and the PnP manager driving the tests' own
// driver module through a fake PCI function.
#include <km/debug.hpp>
#include <km/io.hpp>
#include <km/pnp.hpp>

#include <hw/bus_space.hpp>
#include <hw/machine.hpp>
#include <nt/dispatcher.h>
#include <nt/hive.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "../src/object.hpp"
#include "fake_function.hpp"
#include "testdriver.h"

using namespace std::chrono_literals;

namespace {

// {5a0d2c4e-1b7f-4c11-9e0a-7d3f9b2e6a10}, the test driver's interface class.
const GUID kTestInterface = {0x5a0d2c4e, 0x1b7f, 0x4c11, {0x9e, 0x0a, 0x7d, 0x3f, 0x9b, 0x2e, 0x6a, 0x10}};

// One request's outcome, filled by its completion.
struct Outcome {
    std::mutex lock;
    std::condition_variable changed;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    int completions = 0;

    km::io::Completion Callback() {
        return [this](NTSTATUS s, ULONG_PTR i) {
            std::lock_guard guard(lock);
            status = s;
            information = i;
            ++completions;
            changed.notify_all();
        };
    }
    bool Wait() {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 10s, [&] { return completions > 0; });
    }
    int Count() {
        std::lock_guard guard(lock);
        return completions;
    }
};

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The driver's settings, as an installation would have left them.
        std::shared_ptr<nt::Hive> hive;
        ASSERT_EQ(nt::Hive::Machine(&hive), STATUS_SUCCESS);
        nt::Ref<nt::RegistryKey> key;
        ASSERT_EQ(hive->CreateKey("SYSTEM\\CurrentControlSet\\Services\\KmTest\\Parameters", &key), STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("Greeting", 0x4711), STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("FailEntry", 0), STATUS_SUCCESS);
        ASSERT_EQ(hive->CreateKey("SYSTEM\\CurrentControlSet\\Enum\\" + id0_ + "\\Device Parameters", &key),
                  STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("Lanes", 4), STATUS_SUCCESS);
        ASSERT_EQ(key->SetDword("FailAdd", 0), STATUS_SUCCESS);
        km::ClearDriverFaults();
        baseline_ = km::LiveObjectCount();
        ASSERT_EQ(km::LoadDriver(KM_TEST_DRIVER, "KmTest", &image_), STATUS_SUCCESS);
        // Our own reference keeps the journal readable after an unload.
        module_ = dlopen(KM_TEST_DRIVER, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(module_, nullptr);
        EXPECT_EQ(Journal(), "entry");
    }

    void TearDown() override {
        for (const auto& node : nodes_) km::RemoveDevice(node);
        km::UnloadDriver(image_);
        EXPECT_EQ(km::LiveObjectCount(), baseline_) << "framework objects left behind";
        EXPECT_EQ(bus_.MappingCount(), 0u) << "common buffers left mapped";
        if (module_) dlclose(module_);
    }

    std::shared_ptr<km::DeviceNode> Add(FakeFunction& function, const std::string& instance) {
        std::shared_ptr<km::DeviceNode> node;
        EXPECT_EQ(km::AddPciDevice(image_, {instance, &function, &bus_}, &node), STATUS_SUCCESS);
        nodes_.push_back(node);
        return node;
    }

    std::string Journal() {
        auto read = reinterpret_cast<TESTDRV_JOURNAL*>(dlsym(module_, "TestDriverJournal"));
        char text[1024] = {};
        if (read) read(text, sizeof text);
        return text;
    }

    static std::string PathOf(const std::string& instance) {
        for (const auto& entry : km::GetDeviceInterfaces(kTestInterface)) {
            if (entry.instanceId == instance) return entry.symbolicLink;
        }
        return {};
    }

    km::io::FileHandle Open(const std::string& instance) {
        km::io::FileHandle file;
        EXPECT_EQ(km::io::Open(PathOf(instance), &file), STATUS_SUCCESS);
        return file;
    }

    // A device control that completes before the call returns.
    NTSTATUS Control(const km::io::FileHandle& file, ULONG code, const void* in, ULONG inLength, void* out,
                     ULONG outLength, ULONG_PTR* information = nullptr) {
        Outcome outcome;
        NTSTATUS returned = km::io::DeviceControl(file, code, in, inLength, out, outLength, outcome.Callback());
        EXPECT_TRUE(outcome.Wait());
        EXPECT_EQ(returned, outcome.status) << "a request completed in the call returns its status";
        if (information) *information = outcome.information;
        return outcome.status;
    }

    const std::string id0_ = "PCI\\VEN_F10E&DEV_0001&SUBSYS_00000000&REV_00\\4&1A2B&0&0008";
    const std::string id1_ = "PCI\\VEN_F10E&DEV_0001&SUBSYS_00000000&REV_00\\4&1A2B&0&0009";
    hw::BusSpace bus_;
    FakeFunction function0_{0};
    FakeFunction function1_{1};
    std::shared_ptr<km::DriverImage> image_;
    std::vector<std::shared_ptr<km::DeviceNode>> nodes_;
    size_t baseline_ = 0;
    void* module_ = nullptr;
};

TEST_F(DeviceTest, StartAndRemoveRunTheCallbacksInWindowsOrder) {
    auto node = Add(function0_, id0_);
    EXPECT_EQ(km::GetDeviceState(*node), km::DeviceState::Started);
    EXPECT_EQ(Journal(), "add prepare d0entry intenable smioinit");

    auto interfaces = km::GetDeviceInterfaces(kTestInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].symbolicLink,
              "\\\\?\\pci#ven_f10e&dev_0001&subsys_00000000&rev_00#4&1a2b&0&0008#{5a0d2c4e-1b7f-4c11-9e0a-7d3f9b2e6a10}");

    km::RemoveDevice(node);
    EXPECT_EQ(km::GetDeviceState(*node), km::DeviceState::Removed);
    EXPECT_EQ(Journal(), "smiosuspend intdisable d0exit release smiocleanup devcleanup");
    EXPECT_TRUE(km::GetDeviceInterfaces(kTestInterface).empty());

    km::UnloadDriver(image_);
    EXPECT_EQ(Journal(), "unload drivercleanup");
}

TEST_F(DeviceTest, AFailedAddDeletesTheDeviceAndPublishesNothing) {
    std::shared_ptr<nt::Hive> hive;
    ASSERT_EQ(nt::Hive::Machine(&hive), STATUS_SUCCESS);
    nt::Ref<nt::RegistryKey> key;
    ASSERT_EQ(hive->CreateKey("SYSTEM\\CurrentControlSet\\Enum\\" + id0_ + "\\Device Parameters", &key),
              STATUS_SUCCESS);
    ASSERT_EQ(key->SetDword("FailAdd", 1), STATUS_SUCCESS);

    std::shared_ptr<km::DeviceNode> node;
    EXPECT_EQ(km::AddPciDevice(image_, {id0_, &function0_, &bus_}, &node), STATUS_DEVICE_CONFIGURATION_ERROR);
    nodes_.push_back(node);
    EXPECT_EQ(km::GetDeviceState(*node), km::DeviceState::Failed);
    // The framework deletes the device the add created: its cleanup runs.
    EXPECT_EQ(Journal(), "add devcleanup");
    EXPECT_TRUE(km::GetDeviceInterfaces(kTestInterface).empty());
    EXPECT_EQ(bus_.MappingCount(), 0u);

    ASSERT_EQ(key->SetDword("FailAdd", 0), STATUS_SUCCESS);
    EXPECT_EQ(km::EnableDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(km::GetDeviceState(*node), km::DeviceState::Started);
}

TEST(DriverLoad, AFailedEntryDeletesTheDriverWithoutUnload) {
    std::shared_ptr<nt::Hive> hive;
    ASSERT_EQ(nt::Hive::Machine(&hive), STATUS_SUCCESS);
    nt::Ref<nt::RegistryKey> key;
    ASSERT_EQ(hive->CreateKey("SYSTEM\\CurrentControlSet\\Services\\KmFail\\Parameters", &key), STATUS_SUCCESS);
    ASSERT_EQ(key->SetDword("FailEntry", 1), STATUS_SUCCESS);
    // Held open by us, so that the journal outlives the failed load.
    void* module = dlopen(KM_TEST_DRIVER, RTLD_NOW);
    ASSERT_NE(module, nullptr);
    size_t before = km::LiveObjectCount();
    std::shared_ptr<km::DriverImage> image;
    EXPECT_EQ(km::LoadDriver(KM_TEST_DRIVER, "KmFail", &image), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(image, nullptr);
    auto read = reinterpret_cast<TESTDRV_JOURNAL*>(dlsym(module, "TestDriverJournal"));
    char text[256] = {};
    read(text, sizeof text);
    EXPECT_STREQ(text, "entry drivercleanup");
    EXPECT_EQ(km::LiveObjectCount(), before);
    dlclose(module);

    EXPECT_EQ(km::LoadDriver("/nonexistent/driver.so", "KmNone", &image), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceTest, FileObjectsGetCreateCleanupAndCloseInOrder) {
    Add(function0_, id0_);
    Journal();
    km::io::FileHandle file = Open(id0_);
    EXPECT_EQ(Journal(), "create");
    km::io::Cleanup(file);
    km::io::Close(file);
    EXPECT_EQ(Journal(), "cleanup close");

    km::io::FileHandle none;
    EXPECT_EQ(km::io::Open("\\\\?\\pci#nothing#{5a0d2c4e-1b7f-4c11-9e0a-7d3f9b2e6a10}", &none),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Paths compare without regard to case, as Windows' object names do.
    std::string upper = PathOf(id0_);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(km::io::Open(upper, &none), STATUS_SUCCESS);
    km::io::Close(none);
}

TEST_F(DeviceTest, DriversReadTheirParametersAndDeviceKeysFromTheHive) {
    Add(function0_, id0_);
    Add(function1_, id1_);
    ULONG settings[2] = {};
    km::io::FileHandle file0 = Open(id0_);
    EXPECT_EQ(Control(file0, IOCTL_TESTDRV_SETTINGS, nullptr, 0, settings, sizeof settings), STATUS_SUCCESS);
    EXPECT_EQ(settings[0], 0x4711u);
    EXPECT_EQ(settings[1], 4u);
    km::io::Close(file0);
    // The second function has a hardware key of its own, without the value.
    km::io::FileHandle file1 = Open(id1_);
    EXPECT_EQ(Control(file1, IOCTL_TESTDRV_SETTINGS, nullptr, 0, settings, sizeof settings), STATUS_SUCCESS);
    EXPECT_EQ(settings[1], 0xFFFFFFFFu);
    km::io::Close(file1);
}

TEST_F(DeviceTest, BufferedControlsCopyInformationBytesBackForSuccessAndOverflow) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);

    const char message[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    char answer[16];
    std::memset(answer, '.', sizeof answer);
    ULONG_PTR information = 0;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_ECHO, message, 8, answer, sizeof answer, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 8u);
    EXPECT_EQ(std::string(answer, 9), "abcdefgh.");

    char shortAnswer[6];
    std::memset(shortAnswer, '.', sizeof shortAnswer);
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_ECHO, message, 8, shortAnswer, 4, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::string(shortAnswer, 6), "abcd..") << "only Information bytes, within the output length";

    // Unknown codes are refused by the driver; nothing comes back.
    EXPECT_EQ(Control(file, 0x222FFC, nullptr, 0, answer, sizeof answer, &information), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(information, 0u);

    // Answered in the caller's context, before the sequential queue.
    ULONG inlineAnswer = 0;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_INLINE, nullptr, 0, &inlineAnswer, sizeof inlineAnswer), STATUS_SUCCESS);
    EXPECT_EQ(inlineAnswer, 0xC0FFEEu);
    km::io::Close(file);
}

TEST_F(DeviceTest, ReadsAndWritesReachTheCallersBufferThroughTheMdl) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);

    const char data[] = "frames in, frames out";
    Outcome written;
    EXPECT_EQ(km::io::Write(file, data, sizeof data, written.Callback()), STATUS_SUCCESS);
    EXPECT_EQ(written.information, sizeof data);

    char back[64] = {};
    Outcome read;
    EXPECT_EQ(km::io::Read(file, back, sizeof back, read.Callback()), STATUS_SUCCESS);
    EXPECT_EQ(read.information, sizeof data);
    EXPECT_STREQ(back, data);

    // An empty read is answered by the framework without the driver.
    Outcome empty;
    EXPECT_EQ(km::io::Read(file, back, 0, empty.Callback()), STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    km::io::Close(file);
}

TEST_F(DeviceTest, SequentialQueueDeliversOneRequestAtATime) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    std::vector<std::thread> callers;
    std::atomic<ULONG> most{0};
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            ULONG inside = 0;
            Outcome outcome;
            km::io::DeviceControl(file, IOCTL_TESTDRV_SLOW, nullptr, 0, &inside, sizeof inside, outcome.Callback());
            ASSERT_TRUE(outcome.Wait());
            EXPECT_EQ(outcome.status, STATUS_SUCCESS);
            ULONG seen = most.load();
            while (inside > seen && !most.compare_exchange_weak(seen, inside)) {
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(most.load(), 1u);
    km::io::Close(file);
}

TEST_F(DeviceTest, ParallelQueueLetsRequestsInTogether) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    std::vector<std::thread> writers;
    std::atomic<int> met{0};
    for (int i = 0; i < 2; ++i) {
        writers.emplace_back([&] {
            Outcome outcome;
            km::io::Write(file, TESTDRV_RENDEZVOUS, sizeof TESTDRV_RENDEZVOUS, outcome.Callback());
            ASSERT_TRUE(outcome.Wait());
            if (outcome.status == STATUS_SUCCESS) ++met;
        });
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(met.load(), 2);
    km::io::Close(file);
}

TEST_F(DeviceTest, CancelIoReachesARequestTheDriverMarkedCancelable) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    Outcome held;
    EXPECT_EQ(km::io::DeviceControl(file, IOCTL_TESTDRV_HOLD, nullptr, 0, nullptr, 0, held.Callback()), STATUS_PENDING);
    km::io::Cancel(file);
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(held.status, STATUS_CANCELLED);

    // Unmarked before a cancel, the request is the driver's to complete.
    Outcome again;
    EXPECT_EQ(km::io::DeviceControl(file, IOCTL_TESTDRV_HOLD, nullptr, 0, nullptr, 0, again.Callback()), STATUS_PENDING);
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_RELEASE_HELD, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    ASSERT_TRUE(again.Wait());
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    km::io::Cancel(file);
    EXPECT_EQ(again.Count(), 1);
    EXPECT_EQ(km::DriverFaultCount(), 0u);

    // A held request is cancelled by the handle's cleanup too.
    Outcome last;
    km::io::DeviceControl(file, IOCTL_TESTDRV_HOLD, nullptr, 0, nullptr, 0, last.Callback());
    km::io::Close(file);
    ASSERT_TRUE(last.Wait());
    EXPECT_EQ(last.status, STATUS_CANCELLED);
}

TEST_F(DeviceTest, ManualQueueHandsOutRequestsByFileAndCancelIoCancelsOnlyThatFile) {
    Add(function0_, id0_);
    km::io::FileHandle a = Open(id0_);
    km::io::FileHandle b = Open(id0_);

    ULONG tagA = 0xA, tagB = 0xB;
    ULONG answerA = 0, answerB = 0;
    Outcome parkedA, parkedB;
    EXPECT_EQ(km::io::DeviceControl(a, IOCTL_TESTDRV_PARK, &tagA, sizeof tagA, &answerA, sizeof answerA,
                                    parkedA.Callback()),
              STATUS_PENDING);
    EXPECT_EQ(km::io::DeviceControl(b, IOCTL_TESTDRV_PARK, &tagB, sizeof tagB, &answerB, sizeof answerB,
                                    parkedB.Callback()),
              STATUS_PENDING);

    // Releasing from b reaches b's request, not a's older one.
    EXPECT_EQ(Control(b, IOCTL_TESTDRV_RELEASE, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    ASSERT_TRUE(parkedB.Wait());
    EXPECT_EQ(parkedB.status, STATUS_SUCCESS);
    EXPECT_EQ(parkedB.information, sizeof answerB);
    EXPECT_EQ(answerB, 0xBu);
    EXPECT_EQ(parkedA.Count(), 0);
    EXPECT_EQ(Control(b, IOCTL_TESTDRV_RELEASE, nullptr, 0, nullptr, 0), STATUS_NO_MORE_ENTRIES);

    km::io::Cancel(b);
    EXPECT_EQ(parkedA.Count(), 0) << "CancelIo on b leaves a's requests alone";
    km::io::Cancel(a);
    ASSERT_TRUE(parkedA.Wait());
    EXPECT_EQ(parkedA.status, STATUS_CANCELLED);
    EXPECT_EQ(parkedA.information, 0u);
    EXPECT_EQ(Control(a, IOCTL_TESTDRV_RELEASE, nullptr, 0, nullptr, 0), STATUS_NO_MORE_ENTRIES);

    km::io::Close(a);
    km::io::Close(b);
    EXPECT_EQ(parkedA.Count(), 1);
    EXPECT_EQ(parkedB.Count(), 1);
}

TEST_F(DeviceTest, CleanupCancelsParkedRequestsBeforeTheDriverCloses) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    Journal();
    Outcome parked;
    ULONG tag = 1;
    EXPECT_EQ(km::io::DeviceControl(file, IOCTL_TESTDRV_PARK, &tag, sizeof tag, nullptr, 0, parked.Callback()),
              STATUS_PENDING);
    km::io::Close(file);
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.status, STATUS_CANCELLED);
    EXPECT_EQ(Journal(), "cleanup close");

    // The closed file takes no more requests.
    Outcome late;
    EXPECT_EQ(km::io::DeviceControl(file, IOCTL_TESTDRV_PARK, &tag, sizeof tag, nullptr, 0, late.Callback()),
              STATUS_FILE_CLOSED);
    EXPECT_EQ(late.Count(), 1);
}

TEST_F(DeviceTest, ASecondCompletionIsCaughtAndTheCallerHearsOnce) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    Outcome outcome;
    km::io::DeviceControl(file, IOCTL_TESTDRV_COMPLETE_TWICE, nullptr, 0, nullptr, 0, outcome.Callback());
    ASSERT_TRUE(outcome.Wait());
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Count(), 1);
    ASSERT_EQ(km::DriverFaultCount(), 1u);
    EXPECT_NE(km::DriverFaults()[0].find("already completed"), std::string::npos) << km::DriverFaults()[0];
    km::ClearDriverFaults();

    // The sequential queue moved on: the next request is served.
    ULONG inside = 0;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_SLOW, nullptr, 0, &inside, sizeof inside), STATUS_SUCCESS);
    km::io::Close(file);
}

TEST_F(DeviceTest, DisableEndsEveryHandleAndEnableAddsTheDeviceAgain) {
    auto node = Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    Outcome parked;
    ULONG tag = 7;
    km::io::DeviceControl(file, IOCTL_TESTDRV_PARK, &tag, sizeof tag, nullptr, 0, parked.Callback());
    Journal();

    EXPECT_EQ(km::DisableDevice(node), STATUS_SUCCESS);
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.status, STATUS_CANCELLED);
    EXPECT_EQ(Journal(), "cleanup close smiosuspend intdisable d0exit release smiocleanup devcleanup");
    EXPECT_TRUE(km::io::Ended(file));
    EXPECT_EQ(km::GetDeviceState(*node), km::DeviceState::Added);

    Outcome late;
    char buffer[4];
    EXPECT_EQ(km::io::Read(file, buffer, sizeof buffer, late.Callback()), STATUS_DEVICE_REMOVED);
    km::io::FileHandle again;
    EXPECT_EQ(km::io::Open(PathOf(id0_), &again), STATUS_NO_SUCH_DEVICE);
    auto interfaces = km::GetDeviceInterfaces(kTestInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_FALSE(interfaces[0].enabled);

    // The user's close of the ended handle changes nothing any more.
    km::io::Close(file);
    EXPECT_EQ(Journal(), "");

    EXPECT_EQ(km::EnableDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), "add prepare d0entry intenable smioinit");
    km::io::FileHandle reopened = Open(id0_);
    EXPECT_EQ(Control(reopened, IOCTL_TESTDRV_RELEASE, nullptr, 0, nullptr, 0), STATUS_NO_MORE_ENTRIES);
    km::io::Close(reopened);
}

TEST_F(DeviceTest, ASleepingDeviceHoldsRequestsAndRestartsItsSelfManagedIo) {
    auto node = Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    Journal();
    EXPECT_EQ(km::SuspendDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(km::GetDeviceState(*node), km::DeviceState::Suspended);
    EXPECT_EQ(Journal(), "smiosuspend intdisable d0exit");

    ULONG inside = 0;
    Outcome held;
    EXPECT_EQ(km::io::DeviceControl(file, IOCTL_TESTDRV_SLOW, nullptr, 0, &inside, sizeof inside, held.Callback()),
              STATUS_PENDING);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(held.Count(), 0) << "power-managed queues deliver nothing outside D0";

    EXPECT_EQ(km::ResumeDevice(node), STATUS_SUCCESS);
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(held.status, STATUS_SUCCESS);
    EXPECT_EQ(Journal(), "d0entry intenable smiorestart");
    EXPECT_FALSE(km::io::Ended(file));
    km::io::Close(file);

    // Removal of a sleeping device skips what already happened.
    EXPECT_EQ(km::SuspendDevice(node), STATUS_SUCCESS);
    Journal();
    km::RemoveDevice(node);
    EXPECT_EQ(Journal(), "release smiocleanup devcleanup");
}

TEST_F(DeviceTest, DevicesOfOneDriverAreIndependent) {
    auto node0 = Add(function0_, id0_);
    Add(function1_, id1_);
    EXPECT_EQ(km::GetDeviceInterfaces(kTestInterface).size(), 2u);
    km::io::FileHandle file1 = Open(id1_);
    EXPECT_EQ(km::DisableDevice(node0), STATUS_SUCCESS);
    EXPECT_FALSE(km::io::Ended(file1));
    ULONG inside = 0;
    EXPECT_EQ(Control(file1, IOCTL_TESTDRV_SLOW, nullptr, 0, &inside, sizeof inside), STATUS_SUCCESS);
    km::io::Close(file1);
}

TEST_F(DeviceTest, TheBusAnswersConfigurationReads) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    ULONG args[2] = {0, 4};
    UCHAR bytes[4] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_READ_CONFIG, args, sizeof args, bytes, sizeof bytes, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 0xF10E);
    EXPECT_EQ(bytes[2] | bytes[3] << 8, 0x0001);

    // Reads past the 256 bytes of configuration space stop at its end.
    ULONG past[2] = {254, 4};
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_READ_CONFIG, past, sizeof past, bytes, sizeof bytes, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 2u);
    km::io::Close(file);
}

TEST_F(DeviceTest, RegistersAndTheInterruptReachTheFunction) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    ULONG write[3] = {0x100, 0x12345678, 1};
    ULONG value = 0;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_REGISTER, write, sizeof write, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(function0_.Peek(0x100), 0x12345678u);

    function0_.Raise();
    ULONG isrCalls = 0;
    for (int i = 0; i < 1000 && isrCalls == 0; ++i) {
        EXPECT_EQ(Control(file, IOCTL_TESTDRV_ISR_COUNT, nullptr, 0, &isrCalls, sizeof isrCalls), STATUS_SUCCESS);
        if (isrCalls == 0) std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(isrCalls, 1u);
    EXPECT_FALSE(function0_.InterruptAsserted()) << "the ISR read (and so cleared) the cause";
    km::io::Close(file);
}

TEST_F(DeviceTest, TheDriverSetsAUserEventItReferencedByHandle) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    nt::Ref<nt::Event> event = nt::MakeRef<nt::Event>(nt::EventType::Notification, false);
    HANDLE handle = nullptr;
    ASSERT_EQ(nt::InsertHandle(event.get(), &handle), STATUS_SUCCESS);
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_SET_EVENT, &handle, sizeof handle, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(nt::WaitForSingleObject(*event, std::chrono::nanoseconds(0)), STATUS_WAIT_0);
    EXPECT_EQ(nt::CloseHandle(handle), STATUS_SUCCESS);

    HANDLE closed = handle;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_SET_EVENT, &closed, sizeof closed, nullptr, 0), STATUS_INVALID_HANDLE);
    km::io::Close(file);
}

TEST_F(DeviceTest, CommonBuffersAreReachedByTheirBusAddressOnly) {
    Add(function0_, id0_);
    km::io::FileHandle file = Open(id0_);
    ULONG64 answer[2] = {};
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_COMMON_BUFFER, nullptr, 0, answer, sizeof answer), STATUS_SUCCESS);
    EXPECT_EQ(answer[1], 8192u);
    char seen[8] = {};
    ASSERT_TRUE(bus_.Read(answer[0], seen, sizeof seen, "test"));
    EXPECT_STREQ(seen, "testdrv");
    EXPECT_NE(bus_.HostAddress(answer[0], 8), reinterpret_cast<void*>(answer[0])) << "bus and virtual addresses differ";
    EXPECT_EQ(bus_.MappingCount(), 1u);
    km::io::Close(file);
}

// The same driver on a port of the board model: the bus answers with the
// board's identity, the mapping reaches its registers, the common buffer
// lives in the machine's bus space.
TEST_F(DeviceTest, ThePathsReachABoardOfTheModel) {
    hw::MachineOptions options;
    options.clock = hw::ClockMode::Manual;
    hw::Machine machine(options);
    hw::Board& board = machine.AddBoard();
    hw::Port& port = board.GetPort(1);
    std::shared_ptr<km::DeviceNode> node;
    ASSERT_EQ(km::AddPciDevice(image_, {id1_, &port, &machine.Bus()}, &node), STATUS_SUCCESS);
    km::io::FileHandle file = Open(id1_);

    ULONG args[2] = {0, 4};
    UCHAR identity[4] = {};
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_READ_CONFIG, args, sizeof args, identity, sizeof identity), STATUS_SUCCESS);
    EXPECT_EQ(identity[0] | identity[1] << 8, 0xF10E);

    // STATUS (0x0008) tells which LAN function answers: bits 2-3.
    ULONG read[3] = {0x0008, 0, 0};
    ULONG status = 0;
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_REGISTER, read, sizeof read, &status, sizeof status), STATUS_SUCCESS);
    EXPECT_EQ((status >> 2) & 3u, 1u);

    ULONG64 buffer[2] = {};
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_COMMON_BUFFER, nullptr, 0, buffer, sizeof buffer), STATUS_SUCCESS);
    char seen[8] = {};
    ASSERT_TRUE(machine.Bus().Read(buffer[0], seen, sizeof seen, "test"));
    EXPECT_STREQ(seen, "testdrv");
    km::io::Close(file);
    km::RemoveDevice(node);
    EXPECT_EQ(machine.Bus().MappingCount(), 0u);
    EXPECT_EQ(machine.TraceCount(), 0u) << "no access the model does not know";
}

// The test driver's context on its driver object, declared again here as a
// second image would: the name and the size make it the same type.
struct DRIVER_DATA {
    ULONG Devices;
    ULONG Greeting;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_DATA, DriverData)

TEST_F(DeviceTest, TheImagesDriverObjectCarriesTheContextItsDriverUses) {
    const WDFDRIVER driver = km::DriverObject(*image_);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(km::DriverObject(*image_), driver) << "one driver object per image";
    DRIVER_DATA* data = DriverData(driver);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->Greeting, 0x4711u) << "what DriverEntry read";
    EXPECT_EQ(data->Devices, 0u);
    Add(function0_, id0_);
    Add(function1_, id1_);
    EXPECT_EQ(data->Devices, 2u) << "counted by the driver's device add";

    // Written here, seen by the driver: the very area it works on.
    data->Greeting = 0x1234;
    ULONG settings[2] = {};
    km::io::FileHandle file = Open(id0_);
    EXPECT_EQ(Control(file, IOCTL_TESTDRV_SETTINGS, nullptr, 0, settings, sizeof settings), STATUS_SUCCESS);
    EXPECT_EQ(settings[0], 0x1234u);
    km::io::Close(file);

    // An unloaded image has no driver object any more.
    for (const auto& node : nodes_) km::RemoveDevice(node);
    nodes_.clear();
    km::UnloadDriver(image_);
    EXPECT_EQ(km::DriverObject(*image_), nullptr);
}

}  // namespace
