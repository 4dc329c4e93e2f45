// Receives on a board aggregating port for a while and drops the data:
// how many frames per second the system delivers to an application, what
// the controllers counted, and the CPU time of every thread of the process
// (the board model's, the driver's, the library's) by name.
//
//   build/bin/fl_receive [seconds] [port name]
//
// With FL_MACHINE naming a description whose ports are generators at line
// rate, e.g. bench/linerate-64.toml. The model's wire-side counters are
// printed at exit (FL_MODEL_REPORT, set to standard error unless given).
#include <FlApi.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ThreadTime {
    std::string name;
    double seconds;
};

// utime + stime of each thread of this process, from /proc/self/task/*/stat.
std::vector<ThreadTime> ThreadTimes() {
    std::vector<ThreadTime> times;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return times;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(in, line)) continue;
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        // Fields after the name start at 3 (state); utime is 14, stime 15.
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        times.push_back({line.substr(open + 1, close - open - 1), (utime + stime) / tick});
    }
    closedir(dir);
    return times;
}

uint64_t PortCounter(FL_PORT port, uint32_t id) {
    FL_STATISTICS statistics = nullptr;
    uint64_t value = 0;
    if (FlPortQueryStatistics(port, &statistics) != FL_SUCCESS) return 0;
    FlStatisticsQueryValue(statistics, id, &value);
    FlStatisticsDestroy(statistics);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 8.0;
    const char* wanted = argc > 2 ? argv[2] : nullptr;
    setenv("FL_MODEL_REPORT", "-", 0);

    FL_PORT* ports = nullptr;
    uint32_t count = 0;
    if (FlQueryPortList(&ports, &count) != FL_SUCCESS || count == 0) {
        std::fprintf(stderr, "no ports\n");
        return 1;
    }
    FL_PORT port = nullptr;
    for (uint32_t i = 0; i < count && port == nullptr; ++i) {
        if (wanted != nullptr ? std::strcmp(FlPortGetName(ports[i]), wanted) == 0
                              : FlPortGetType(ports[i]) == FL_PORT_TYPE_BOARD_AGGREGATING)
            port = ports[i];
    }
    if (port == nullptr) {
        std::fprintf(stderr, "no such port\n");
        return 1;
    }
    FL_INSTANCE instance = nullptr;
    FL_STATUS status = FlInstanceOpenByPort(port, &instance);
    if (status != FL_SUCCESS) {
        std::fprintf(stderr, "open: %s\n", FlStatusGetString(status));
        return 1;
    }
    FlInstanceSetFeature(instance, FL_INSTANCE_FT_READ_TIMEOUT, 100);
    FlInstanceSetFeature(instance, FL_INSTANCE_FT_RX_ENABLE, 1);

    uint64_t frames = 0;
    uint64_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        FL_PACKETS_BUFFER buffer = nullptr;
        status = FlInstanceReceivePackets(instance, &buffer);
        if (status != FL_SUCCESS) {
            std::fprintf(stderr, "receive: %s\n", FlStatusGetString(status));
            break;
        }
        if (buffer == nullptr) continue;
        FL_PACKET_HEADER header;
        uint8_t* data = nullptr;
        while (FlPacketsBufferQueryNextPacket(buffer, &header, &data) == FL_SUCCESS) {
            ++frames;
            bytes += header.WireLength;
        }
        FlPacketsBufferDestroy(buffer);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<ThreadTime> times = ThreadTimes();

    std::printf("port %s: %.1f s, %llu frames delivered (%.0f frames/s, %.1f MB/s)\n", FlPortGetName(port),
                elapsed, static_cast<unsigned long long>(frames), frames / elapsed, bytes / elapsed / 1e6);
    FL_STATISTICS statistics = nullptr;
    if (FlInstanceQueryStatistics(instance, &statistics) == FL_SUCCESS) {
        uint64_t dropped = 0, received = 0;
        FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_PACKETS, &received);
        FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_DROPPED, &dropped);
        std::printf("instance: rx packets %llu, dropped in the slot ring %llu\n",
                    static_cast<unsigned long long>(received), static_cast<unsigned long long>(dropped));
        FlStatisticsDestroy(statistics);
    }
    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    if (FlPortQueryAggregatedPortList(port, &members, &memberCount) != FL_SUCCESS) {
        members = &port;
        memberCount = 1;
    }
    for (uint32_t i = 0; i < memberCount; ++i) {
        std::printf("controller %s: received %llu, good %llu, missed %llu, no buffer %llu\n",
                    FlPortGetName(members[i]),
                    static_cast<unsigned long long>(PortCounter(members[i], FL_PORT_COUNTER_RX_PACKETS)),
                    static_cast<unsigned long long>(PortCounter(members[i], FL_PORT_COUNTER_RX_GOOD_PACKETS)),
                    static_cast<unsigned long long>(PortCounter(members[i], FL_PORT_COUNTER_MISSED_PACKETS)),
                    static_cast<unsigned long long>(PortCounter(members[i], FL_PORT_COUNTER_RX_NO_BUFFER)));
    }
    double total = 0;
    for (const ThreadTime& t : times) {
        std::printf("thread %-16s %7.2f s CPU (%5.1f %% of a core)\n", t.name.c_str(), t.seconds,
                    100 * t.seconds / elapsed);
        total += t.seconds;
    }
    std::printf("threads together %.2f s CPU (%.1f %% of a core)\n", total, 100 * total / elapsed);
    FlInstanceClose(instance);
    FlFreePortList(ports);
    return 0;
}
