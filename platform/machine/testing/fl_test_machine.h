// A test program's own machine: the description it boots at its first
// device access, on a fresh hive of its own. Header only and free of the
// platform's internals, so programs that speak nothing but Win32 can use it.
//
//   FlUseTestMachine("capture", "[[board]]\n...");   // before any device access
//
// The files live in $FL_TEST_TMP (set per test by the build) or a folder of
// the process under the temporary directory. Calls after the first keep the
// first machine: a process boots one machine, once.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#ifndef FL_DRIVER_DIR_BUILT
#error "define FL_DRIVER_DIR_BUILT: the folder the build puts fl.sys in"
#endif

inline std::filesystem::path FlUseTestMachine(const std::string& name, const std::string& description)
{
    static const std::filesystem::path folder = [&] {
        std::filesystem::path base;
        if (const char* tmp = std::getenv("FL_TEST_TMP"); tmp != nullptr && *tmp != '\0') {
            base = tmp;
        } else {
            base = std::filesystem::temp_directory_path() / ("fl_test-" + std::to_string(::getpid()));
        }
        std::filesystem::path dir = base / name;
        std::filesystem::create_directories(dir);
        // A fresh hive: the driver is installed into it and its keys start empty.
        for (const char* file : {"registry.db", "registry.db-wal", "registry.db-shm"}) {
            std::filesystem::remove(dir / file);
        }
        if (description.empty()) {
            ::unsetenv("FL_MACHINE");  // the default machine
        } else {
            std::ofstream(dir / "machine.toml") << description;
            ::setenv("FL_MACHINE", (dir / "machine.toml").c_str(), 1);
        }
        ::setenv("FL_REGISTRY", (dir / "registry.db").c_str(), 1);
        if (std::getenv("FL_DRIVER_DIR") == nullptr) ::setenv("FL_DRIVER_DIR", FL_DRIVER_DIR_BUILT, 1);
        return dir;
    }();
    return folder;
}
