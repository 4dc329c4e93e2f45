// File names the Windows way on a Linux file system. Drive Z: stands for the
// Linux root, as Wine does: "Z:\tmp\x.pcap" is /tmp/x.pcap, and a Linux name
// such as "/tmp/x.pcap" is a rooted name on the current drive, which is Z:.
// Both separators are accepted; Windows programs never mean a backslash as a
// character of a name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace um::file {

// The full Windows name of `path` as GetFullPathNameA gives it: absolute,
// backslashes, "." and ".." resolved and repeated separators folded.
// Relative names are taken from `linuxCwd` (an absolute Linux directory).
// Names in the "\\?\" namespace are returned unchanged. Empty on an empty
// name.
std::optional<std::string> FullWindowsPath(std::string_view path, std::string_view linuxCwd);

// The Linux name of a full Windows name on drive Z: (also "\\?\Z:\..."),
// or empty for any other drive, network or device name.
std::optional<std::string> LinuxPathFromFull(std::string_view fullPath);

// Both steps, against the process's current directory.
std::optional<std::string> LinuxPath(std::string_view path);

// The process's current directory as a Linux name (empty when unknown).
std::string CurrentLinuxDirectory();

}  // namespace um::file
