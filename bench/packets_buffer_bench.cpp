// The library's per-packet paths: records written into a packets buffer,
// read back one by one, and merged by timestamp from several member ports'
// buffers as an aggregating instance hands them out.
#include "PacketsBuffer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

using FlApi::AggregationBuffer;
using FlApi::PacketsBuffer;
using FlApi::SingleBuffer;

constexpr uint32_t kCapacity = 0x80000;  // a physical instance's buffer

struct Destroy {
    void operator()(PacketsBuffer* buffer) const { buffer->Destroy(); }
};
using SinglePtr = std::unique_ptr<SingleBuffer, Destroy>;

SinglePtr MakeBuffer()
{
    SingleBuffer* buffer = nullptr;
    if (SingleBuffer::Create(kCapacity, nullptr, &buffer) != FL_SUCCESS) return nullptr;
    return SinglePtr(buffer);
}

// Fills `buffer` with records of `length` bytes; member m of n gets the
// timestamps m, m + n, m + 2n, ... so that n members interleave one by one.
uint64_t Fill(SingleBuffer& buffer, uint16_t length, uint64_t first = 0, uint64_t step = 1)
{
    std::vector<uint8_t> bytes(length, 0x5A);
    FL_PACKET_HEADER header{};
    header.Flags = FL_PACKET_FLAG_FCS_PRESENT;
    header.WireLength = length;
    header.CapturedLength = length;
    uint64_t count = 0;
    for (header.Timestamp = first;; header.Timestamp += step, count++) {
        if (buffer.CommitNextPacket(&header, bytes.data()) != FL_SUCCESS) break;
    }
    return count;
}

void BM_CommitPackets(benchmark::State& state)
{
    SinglePtr buffer = MakeBuffer();
    const auto length = static_cast<uint16_t>(state.range(0));
    uint64_t packets = 0;
    for (auto _ : state) {
        buffer->SetEffectiveLength(0);
        buffer->ResetIndex();
        packets += Fill(*buffer, length);
    }
    state.SetItemsProcessed(static_cast<int64_t>(packets));
    state.SetBytesProcessed(static_cast<int64_t>(packets) * length);
}
BENCHMARK(BM_CommitPackets)->Arg(64)->Arg(1514);

void BM_QueryPackets(benchmark::State& state)
{
    SinglePtr buffer = MakeBuffer();
    const auto length = static_cast<uint16_t>(state.range(0));
    Fill(*buffer, length);
    uint64_t packets = 0;
    for (auto _ : state) {
        buffer->ResetIndex();
        FL_PACKET_HEADER header;
        uint8_t* data = nullptr;
        while (buffer->QueryNextPacket(&header, &data) == FL_SUCCESS) {
            benchmark::DoNotOptimize(data);
            packets++;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(packets));
    state.SetBytesProcessed(static_cast<int64_t>(packets) * length);
}
BENCHMARK(BM_QueryPackets)->Arg(64)->Arg(1514);

// The merged read over n members whose records interleave one by one (the
// worst case: every packet comes from another member than the last).
void BM_MergedRead(benchmark::State& state)
{
    const auto members = static_cast<uint32_t>(state.range(0));
    const uint16_t length = 64;
    std::vector<SinglePtr> buffers;
    for (uint32_t m = 0; m < members; m++) {
        buffers.push_back(MakeBuffer());
        Fill(*buffers.back(), length, m, members);
    }
    AggregationBuffer::Pool pool;
    AggregationBuffer* merged = nullptr;
    if (AggregationBuffer::Create(members, pool, &merged) != FL_SUCCESS) {
        state.SkipWithError("no aggregation buffer");
        return;
    }
    merged->AddReference();
    uint64_t packets = 0;
    for (auto _ : state) {
        for (uint32_t m = 0; m < members; m++) {
            merged->GetWindow(m) = {buffers[m].get(), 0, buffers[m]->GetEffectiveLength()};
        }
        FL_PACKET_HEADER header;
        uint8_t* data = nullptr;
        while (merged->QueryNextPacket(&header, &data) == FL_SUCCESS) {
            benchmark::DoNotOptimize(data);
            packets++;
        }
    }
    for (uint32_t m = 0; m < members; m++) merged->GetWindow(m) = {};
    merged->Destroy();
    state.SetItemsProcessed(static_cast<int64_t>(packets));
}
BENCHMARK(BM_MergedRead)->Arg(2)->Arg(4)->Arg(8);

}  // namespace

BENCHMARK_MAIN();
