// Registry values of the driver and of a port: defaults, accepted sets,
// reading order and the silent fallback.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "config.h"

namespace {

// A registry key as the query callback sees it, recording the order of the
// lookups.
struct FakeKey {
    std::map<std::u16string, ULONG> values;
    std::vector<std::u16string> queried;
    std::u16string unreadable;  // present but failing to read

    static NTSTATUS Query(PVOID context, PCUNICODE_STRING name, PULONG value)
    {
        auto* key = static_cast<FakeKey*>(context);
        std::u16string n(name->Buffer, name->Length / sizeof(WCHAR));
        key->queried.push_back(n);
        if (n == key->unreadable) return STATUS_OBJECT_TYPE_MISMATCH;
        auto it = key->values.find(n);
        if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        *value = it->second;
        return STATUS_SUCCESS;
    }
};

FDO_DATA ReadPort(FakeKey& key)
{
    FDO_DATA fdo{};
    // Stale contents must not survive a read: every field is settled.
    std::memset(&fdo, 0xAB, sizeof(fdo));
    ConfigReadPortValues(&fdo, &FakeKey::Query, &key);
    return fdo;
}

DRIVER_CONTEXT ReadDriver(FakeKey& key)
{
    DRIVER_CONTEXT context{};
    ConfigReadDriverValues(&context, &FakeKey::Query, &key);
    return context;
}

TEST(PortValues, EmptyKeyGivesEveryDefault)
{
    FakeKey key;
    FDO_DATA fdo = ReadPort(key);
    EXPECT_EQ(fdo.PassthruEnabled, 0);
    EXPECT_EQ(fdo.TxSlots, 131072u);
    EXPECT_EQ(fdo.RxSlots, 131072u);
    EXPECT_EQ(fdo.TxSlotSize, 256u);
    EXPECT_EQ(fdo.RxSlotSize, 256u);
    EXPECT_EQ(fdo.TxDescriptors, 4096u);
    EXPECT_EQ(fdo.RxDescriptors, 4096u);
    EXPECT_EQ(fdo.DmaChunkSize, 262144u);
    EXPECT_EQ(fdo.AutonegotiationConfiguration, 31u);
    EXPECT_EQ(fdo.PruneThresholdSlots, 39321u);  // 30 % of 131072, truncated
}

TEST(PortValues, ReadInTheirFixedOrder)
{
    FakeKey key;
    ReadPort(key);
    std::vector<std::u16string> expected = {
        u"PassthruEnabled", u"TxSlots", u"RxSlots", u"TxSlotSize", u"RxSlotSize",
        u"TxDescriptors", u"RxDescriptors", u"DmaChunkSize", u"AutonegotiationConfiguration",
        u"RxTailPruningThreshold"};
    EXPECT_EQ(key.queried, expected);

    FakeKey driverKey;
    ReadDriver(driverKey);
    EXPECT_EQ(driverKey.queried, (std::vector<std::u16string>{u"TimestampingMode", u"MgmThreadPriority"}));
}

TEST(PortValues, SlotSizes)
{
    FakeKey key;
    key.values = {{u"RxSlotSize", 300}, {u"TxSlotSize", 300}};
    FDO_DATA fdo = ReadPort(key);
    EXPECT_EQ(fdo.RxSlotSize, 256u);  // not a supported receive buffer size
    EXPECT_EQ(fdo.TxSlotSize, 300u);  // any transmit size that can work is taken

    for (ULONG size : {256u, 512u, 1024u, 2048u, 4096u, 8192u, 16384u}) {
        key.values = {{u"RxSlotSize", size}};
        EXPECT_EQ(ReadPort(key).RxSlotSize, size);
    }
    for (ULONG size : {128u, 32768u, 0u}) {
        key.values = {{u"RxSlotSize", size}};
        EXPECT_EQ(ReadPort(key).RxSlotSize, 256u) << size;
    }
}

TEST(PortValues, TransmitSlotSizesThatCannotWorkKeepTheDefault)
{
    FakeKey key;
    // 0 bytes would divide by zero when counting slots per frame; above
    // 65535 the descriptor's length field cannot hold a slot.
    for (ULONG size : {0u, 65536u, 300000u, 0xFFFFFFFFu}) {
        key.values = {{u"TxSlotSize", size}};
        EXPECT_EQ(ReadPort(key).TxSlotSize, 256u) << size;
    }
    key.values = {{u"TxSlotSize", 65535}};
    FDO_DATA fdo = ReadPort(key);
    EXPECT_EQ(fdo.TxSlotSize, 65535u);
    EXPECT_GE(fdo.DmaChunkSize, fdo.TxSlotSize);
    key.values = {{u"TxSlotSize", 1}};
    EXPECT_EQ(ReadPort(key).TxSlotSize, 1u);
}

TEST(PortValues, DmaChunkSizeAgainstTheSettledSlotSizes)
{
    FakeKey key;
    key.values = {{u"DmaChunkSize", 1000}};
    EXPECT_EQ(ReadPort(key).DmaChunkSize, 1000u);
    key.values = {{u"DmaChunkSize", 200}};
    EXPECT_EQ(ReadPort(key).DmaChunkSize, 262144u);

    // Checked against the slot sizes as settled, not as written: a refused
    // receive slot size leaves 256, so 1000 still fits.
    key.values = {{u"RxSlotSize", 2000}, {u"DmaChunkSize", 1000}};
    EXPECT_EQ(ReadPort(key).DmaChunkSize, 1000u);
    key.values = {{u"RxSlotSize", 2048}, {u"DmaChunkSize", 1000}};
    EXPECT_EQ(ReadPort(key).DmaChunkSize, 262144u);
    key.values = {{u"TxSlotSize", 4000}, {u"DmaChunkSize", 3999}};
    EXPECT_EQ(ReadPort(key).DmaChunkSize, 262144u);
    key.values = {{u"TxSlotSize", 4000}, {u"DmaChunkSize", 4000}};
    EXPECT_EQ(ReadPort(key).DmaChunkSize, 4000u);
}

TEST(PortValues, DescriptorCounts)
{
    FakeKey key;
    for (ULONG count : {4100u, 1001u, 0u, 4u, 4104u}) {
        key.values = {{u"TxDescriptors", count}, {u"RxDescriptors", count}};
        FDO_DATA fdo = ReadPort(key);
        EXPECT_EQ(fdo.TxDescriptors, 4096u) << count;
        EXPECT_EQ(fdo.RxDescriptors, 4096u) << count;
    }
    for (ULONG count : {8u, 16u, 4096u}) {
        key.values = {{u"TxDescriptors", count}, {u"RxDescriptors", count}};
        FDO_DATA fdo = ReadPort(key);
        EXPECT_EQ(fdo.TxDescriptors, count);
        EXPECT_EQ(fdo.RxDescriptors, count);
    }
}

TEST(PortValues, SlotCounts)
{
    FakeKey key;
    key.values = {{u"TxSlots", 4095}, {u"RxSlots", 100}};
    FDO_DATA fdo = ReadPort(key);
    EXPECT_EQ(fdo.TxSlots, 131072u);
    EXPECT_EQ(fdo.RxSlots, 131072u);
    key.values = {{u"TxSlots", 4096}, {u"RxSlots", 1000000}};
    fdo = ReadPort(key);
    EXPECT_EQ(fdo.TxSlots, 4096u);
    EXPECT_EQ(fdo.RxSlots, 1000000u);
}

TEST(PortValues, PruningThresholdBecomesASlotCount)
{
    FakeKey key;
    for (ULONG percent : {96u, 4u, 0u, 1000u}) {
        key.values = {{u"RxTailPruningThreshold", percent}};
        EXPECT_EQ(ReadPort(key).PruneThresholdSlots, 39321u) << percent;
    }
    key.values = {{u"RxTailPruningThreshold", 5}, {u"RxSlots", 4096}};
    EXPECT_EQ(ReadPort(key).PruneThresholdSlots, 204u);  // 20480 / 100
    key.values = {{u"RxTailPruningThreshold", 95}, {u"RxSlots", 4099}};
    EXPECT_EQ(ReadPort(key).PruneThresholdSlots, 3894u);  // 389405 / 100
    // Computed from the ring as settled: a refused RxSlots leaves 131072.
    key.values = {{u"RxTailPruningThreshold", 50}, {u"RxSlots", 10}};
    EXPECT_EQ(ReadPort(key).PruneThresholdSlots, 65536u);
    // A ring large enough to wrap a 32-bit product still gives the share.
    EXPECT_EQ(PruneThresholdSlots(95, 100000000u), 95000000u);
}

TEST(PortValues, AutonegotiationAndPassthru)
{
    FakeKey key;
    for (ULONG modes : {0u, 32u, 0xFFFFFFFFu}) {
        key.values = {{u"AutonegotiationConfiguration", modes}};
        EXPECT_EQ(ReadPort(key).AutonegotiationConfiguration, 31u) << modes;
    }
    key.values = {{u"AutonegotiationConfiguration", 5}};
    EXPECT_EQ(ReadPort(key).AutonegotiationConfiguration, 5u);

    key.values = {{u"PassthruEnabled", 2}};
    EXPECT_EQ(ReadPort(key).PassthruEnabled, 0);
    key.values = {{u"PassthruEnabled", 1}};
    EXPECT_EQ(ReadPort(key).PassthruEnabled, 1);
}

TEST(PortValues, UnreadableValueKeepsItsDefaultAndTheOthersAreStillRead)
{
    FakeKey key;
    key.values = {{u"RxSlots", 8192}, {u"TxDescriptors", 64}};
    key.unreadable = u"RxSlots";
    FDO_DATA fdo = ReadPort(key);
    EXPECT_EQ(fdo.RxSlots, 131072u);
    EXPECT_EQ(fdo.TxDescriptors, 64u);
}

TEST(DriverValues, DefaultsAndAcceptedSets)
{
    FakeKey key;
    DRIVER_CONTEXT c = ReadDriver(key);
    EXPECT_EQ(c.TimestampingMode, 2u);
    EXPECT_EQ(c.MgmThreadPriority, 16u);

    key.values = {{u"TimestampingMode", 3}, {u"MgmThreadPriority", 0}};
    c = ReadDriver(key);
    EXPECT_EQ(c.TimestampingMode, 2u);
    EXPECT_EQ(c.MgmThreadPriority, 16u);
    key.values = {{u"MgmThreadPriority", 32}};
    EXPECT_EQ(ReadDriver(key).MgmThreadPriority, 16u);

    for (ULONG mode : {0u, 1u, 2u}) {
        key.values = {{u"TimestampingMode", mode}, {u"MgmThreadPriority", 31}};
        c = ReadDriver(key);
        EXPECT_EQ(c.TimestampingMode, mode);
        EXPECT_EQ(c.MgmThreadPriority, 31u);
    }
    key.values = {{u"MgmThreadPriority", 1}};
    EXPECT_EQ(ReadDriver(key).MgmThreadPriority, 1u);
}

}  // namespace
