// Statistics objects: snapshots of the driver's counters of one instance
// (what its handle received, transmitted and lost since reception was
// enabled, summed over the members of an aggregating instance) or of one
// physical port (the controller's counters). Filled when created and on
// every update; read by counter id.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Objects.h"

namespace FlApi {

class InstanceStatistics final : public Statistics {
public:
    // Reads `instance`, which it does not own; updated only while the
    // instance is open.
    explicit InstanceStatistics(Instance* instance) noexcept : Source(instance) {}

    FL_STATUS QueryValue(uint32_t counterId, uint64_t* value) override;
    FL_STATUS Update() override;

private:
    Instance* Source;
    std::unique_ptr<uint64_t[]> Counters;
    uint32_t Capacity = 0;
    uint32_t Count = 0; // 0 until the first successful update
};

class PortStatistics final : public Statistics {
public:
    // Holds the port's device path only, so it stays usable after the port
    // list that produced it is freed.
    explicit PortStatistics(std::string name) : Name(std::move(name)) {}

    FL_STATUS QueryValue(uint32_t counterId, uint64_t* value) override;
    FL_STATUS Update() override;

private:
    std::string Name;
    std::unique_ptr<uint64_t[]> Counters;
    uint32_t Count = 0;
};

// FlInstanceQueryStatistics: a snapshot of `instance`'s counters. On failure
// nothing is returned.
FL_STATUS CreateInstanceStatistics(Instance* instance, Statistics** statistics);

// FlPortQueryStatistics on a physical port: a snapshot of the counters of
// the port whose device path is `name`. On failure nothing is returned.
FL_STATUS CreatePortStatistics(const char* name, Statistics** statistics);

} // namespace FlApi
