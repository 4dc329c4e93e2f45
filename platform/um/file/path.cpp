#include "path.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

namespace um::file {
namespace {

constexpr char kDrive = 'Z';

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// Splits into components, dropping empty ones and ".", and applying "..",
// which never climbs above the root.
std::vector<std::string_view> Components(std::string_view rest) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && IsSeparator(rest[i])) ++i;
        size_t j = i;
        while (j < rest.size() && !IsSeparator(rest[j])) ++j;
        std::string_view part = rest.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j;
    }
    return parts;
}

std::string Join(std::string root, std::string_view rest, bool keepTrailingSeparator) {
    const auto parts = Components(rest);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) root += '\\';
        root += parts[i];
    }
    if (keepTrailingSeparator && !parts.empty()) root += '\\';
    return root;
}

std::string WindowsCwd(std::string_view linuxCwd) {
    std::string cwd;
    for (char c : linuxCwd) cwd += c == '/' ? '\\' : c;
    return cwd;  // "\home\user", rooted on drive Z:
}

}  // namespace

std::optional<std::string> FullWindowsPath(std::string_view path, std::string_view linuxCwd) {
    if (path.empty()) return std::nullopt;
    if (path.starts_with("\\\\?\\") || path.starts_with("\\\\.\\")) return std::string(path);

    const bool trailing = IsSeparator(path.back());
    // Network names: "\\server\share\..." keeps its two leading separators.
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        return Join("\\\\", path.substr(2), trailing);
    }
    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
        const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        std::string root{drive, ':', '\\'};
        std::string_view rest = path.substr(2);
        if (!rest.empty() && IsSeparator(rest[0])) return Join(root, rest, trailing);
        // "Z:name" is relative to the drive's current directory; only Z: has one.
        std::string base = drive == kDrive ? WindowsCwd(linuxCwd) : std::string();
        return Join(root, base + "\\" + std::string(rest), trailing);
    }
    const std::string root{kDrive, ':', '\\'};
    if (IsSeparator(path[0])) return Join(root, path, trailing);
    return Join(root, WindowsCwd(linuxCwd) + "\\" + std::string(path), trailing);
}

std::optional<std::string> LinuxPathFromFull(std::string_view full) {
    if (full.starts_with("\\\\?\\")) full.remove_prefix(4);
    if (full.size() < 3 || std::toupper(static_cast<unsigned char>(full[0])) != kDrive ||
        full[1] != ':' || !IsSeparator(full[2])) {
        return std::nullopt;
    }
    std::string result("/");
    const auto parts = Components(full.substr(3));
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result += '/';
        result += parts[i];
    }
    return result;
}

std::string CurrentLinuxDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(buffer.find('\0'));
            return buffer;
        }
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::string> LinuxPath(std::string_view path) {
    auto full = FullWindowsPath(path, CurrentLinuxDirectory());
    if (!full) return std::nullopt;
    return LinuxPathFromFull(*full);
}

}  // namespace um::file
