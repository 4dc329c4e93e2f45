#include "faults.h"

#include "io_engine.h"

#include <nt/object.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

namespace um::file {
namespace {

struct State {
    std::mutex mutex;
    uint64_t writes = 0;
    std::vector<testing::WriteFault> faults;
    std::optional<uint64_t> spaceLimit;
    bool refuseDirect = false;
    testing::Engine engine = testing::Engine::Default;
    bool logging = false;  // only tests keep logs: a long capture must not grow one
    std::vector<testing::WriteRecord> writeLog;
    std::vector<testing::OpenRecord> openLog;
};

State& TheState() {
    static State* state = new State;  // outlives every engine thread
    return *state;
}

faults::Decision SpaceLimitDecision(const FileObject& file, int64_t offset, uint32_t length,
                                    uint64_t limit) {
    faults::Decision decision;
    if (offset < 0) return decision;  // pipes take what they take
    const auto start = static_cast<uint64_t>(offset);
    if (start >= limit) {
        decision.kind = faults::Decision::Kind::Fail;
        decision.status = STATUS_DISK_FULL;
    } else if (start + length > limit) {
        // As a file system does, a direct write stops on a block boundary.
        const uint64_t align = file.Properties().direct ? file.Properties().alignment : 1;
        const uint64_t room = (limit - start) / align * align;
        if (room == 0) {
            decision.kind = faults::Decision::Kind::Fail;
            decision.status = STATUS_DISK_FULL;
        } else {
            decision.kind = faults::Decision::Kind::Short;
            decision.length = static_cast<uint32_t>(room);
        }
    }
    return decision;
}

}  // namespace

namespace faults {

Decision OnWrite(const FileObject& file, int64_t offset, uint32_t length, bool overlapped) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    const uint64_t number = ++s.writes;
    if (s.logging) {
        s.writeLog.push_back({file.Properties().path, static_cast<uint64_t>(offset), length, overlapped});
    }

    const auto it = std::find_if(s.faults.begin(), s.faults.end(),
                                 [&](const testing::WriteFault& f) { return f.write == number; });
    if (it != s.faults.end()) {
        Decision decision;
        switch (it->kind) {
        case testing::WriteFaultKind::RefuseAtIssue:
            decision.kind = Decision::Kind::Refuse;
            decision.status = it->status;
            break;
        case testing::WriteFaultKind::ShortCompletion:
            decision.kind = Decision::Kind::Short;
            decision.length = std::min(it->bytes, length);
            break;
        case testing::WriteFaultKind::FailedCompletion:
            decision.kind = Decision::Kind::Fail;
            decision.status = it->status;
            break;
        }
        s.faults.erase(it);
        return decision;
    }
    if (s.spaceLimit) return SpaceLimitDecision(file, offset, length, *s.spaceLimit);
    return {};
}

void OnOpen(const std::string& path, DWORD disposition, DWORD flags) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (s.logging) s.openLog.push_back({path, disposition, flags});
}

bool DirectIoRefused() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.refuseDirect;
}

testing::Engine ForcedEngine() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.engine;
}

}  // namespace faults

namespace testing {

void ForceEngine(Engine engine) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.engine = engine;
}

Engine EngineOf(HANDLE handle) {
    nt::Ref<FileObject> file;
    if (!NT_SUCCESS(nt::ReferenceObjectByHandle(handle, &file))) return Engine::Default;
    return file->Engine()->Kind();
}

bool UringAvailable() { return UringEngine() != nullptr; }

bool IsDirect(HANDLE handle) {
    nt::Ref<FileObject> file;
    return NT_SUCCESS(nt::ReferenceObjectByHandle(handle, &file)) && file->Properties().direct;
}

void InjectWriteFault(const WriteFault& fault) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.faults.push_back(fault);
}

void SetSpaceLimit(uint64_t offset) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.spaceLimit = offset;
}

void RefuseDirectIo(bool refuse) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.refuseDirect = refuse;
}

std::vector<WriteRecord> Writes() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.writeLog;
}

std::vector<OpenRecord> Opens() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.openLog;
}

void Reset() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.writes = 0;
    s.faults.clear();
    s.spaceLimit.reset();
    s.refuseDirect = false;
    s.engine = Engine::Default;
    s.writeLog.clear();
    s.openLog.clear();
    s.logging = true;
}

}  // namespace testing
}  // namespace um::file
