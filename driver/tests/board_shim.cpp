// Test-only stand-in for the kernel services of the controller code.
#include "board_shim.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct Mapping {
    hw::Machine* machine;
    hw::Port* port;
    std::size_t length;
};

std::mutex g_lock;
std::map<std::uintptr_t, Mapping> g_mappings;
std::atomic<std::int64_t> g_delayed{0};
hw::Machine* g_clock = nullptr;

Mapping Resolve(volatile void* address, std::uint32_t* offset)
{
    auto a = reinterpret_cast<std::uintptr_t>(address);
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_mappings.upper_bound(a);
    if (it == g_mappings.begin()) std::abort();
    --it;
    if (a - it->first >= it->second.length) std::abort();
    *offset = static_cast<std::uint32_t>(a - it->first);
    return it->second;
}

void Delay(std::int64_t ns)
{
    g_delayed += ns;
    hw::Machine* machine;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        machine = g_clock;
    }
    if (machine != nullptr && machine->Mode() == hw::ClockMode::Manual) {
        machine->Advance(std::chrono::nanoseconds(ns));
    }
}

}  // namespace

namespace shim {

PUCHAR MapRegisters(hw::Machine& machine, hw::Port& port)
{
    // The driver only does address arithmetic on the base; every access
    // comes back here through READ/WRITE_REGISTER_ULONG.
    auto* base = static_cast<PUCHAR>(std::malloc(port.Bar0Length()));
    std::lock_guard<std::mutex> guard(g_lock);
    g_mappings[reinterpret_cast<std::uintptr_t>(base)] = Mapping{&machine, &port, port.Bar0Length()};
    g_clock = &machine;
    return base;
}

void UnmapRegisters(PUCHAR base)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_mappings.erase(reinterpret_cast<std::uintptr_t>(base));
    if (g_mappings.empty()) g_clock = nullptr;
    std::free(base);
}

std::int64_t DelayedNanoseconds()
{
    return g_delayed.load();
}

WDFSPINLOCK NewSpinLock()
{
    return reinterpret_cast<WDFSPINLOCK>(new std::mutex);
}

void DeleteSpinLock(WDFSPINLOCK lock)
{
    delete reinterpret_cast<std::mutex*>(lock);
}

}  // namespace shim

extern "C" {

ULONG READ_REGISTER_ULONG(volatile ULONG* Register)
{
    std::uint32_t offset;
    Mapping m = Resolve(Register, &offset);
    return m.port->ReadRegister(offset);
}

VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value)
{
    std::uint32_t offset;
    Mapping m = Resolve(Register, &offset);
    m.port->WriteRegister(offset, Value);
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    Delay(static_cast<std::int64_t>(MicroSeconds) * 1000);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    // Only relative delays are used by the controller code.
    Delay(-Interval->QuadPart * 100);
    return STATUS_SUCCESS;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    reinterpret_cast<std::mutex*>(SpinLock)->lock();
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    reinterpret_cast<std::mutex*>(SpinLock)->unlock();
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    USHORT length = 0;
    if (SourceString != nullptr) {
        while (SourceString[length / sizeof(WCHAR)] != 0) length += sizeof(WCHAR);
    }
    DestinationString->Length = length;
    DestinationString->MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

}  // extern "C"
