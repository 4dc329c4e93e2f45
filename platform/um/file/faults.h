// The file layer's side of the test hooks of um/file_testing.h.
#pragma once

#include "file_object.h"

namespace um::file::faults {

struct Decision {
    enum class Kind { None, Refuse, Short, Fail } kind = Kind::None;
    uint32_t length = 0;  // Short: the bytes really written
    NTSTATUS status = STATUS_SUCCESS;  // Refuse, Fail
};

// Counts and logs a WriteFile on `file` and says what becomes of it.
Decision OnWrite(const FileObject& file, int64_t offset, uint32_t length, bool overlapped);

void OnOpen(const std::string& path, DWORD disposition, DWORD flags);

bool DirectIoRefused();
testing::Engine ForcedEngine();

}  // namespace um::file::faults
