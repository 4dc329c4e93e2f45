// A capture file read back with libpcap, as readers we did not write see
// it: each frame with its stamp at nanosecond precision.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace dump_test {

struct CapturedFrame {
    uint64_t Nanoseconds;
    uint32_t WireLength;
    std::string Bytes;  // as captured
    bool operator==(const CapturedFrame&) const = default;
};

inline std::vector<CapturedFrame> ReadCapture(const std::filesystem::path& path) {
    std::vector<CapturedFrame> frames;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    EXPECT_NE(pcap, nullptr) << error;
    if (pcap == nullptr) return frames;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        frames.push_back({static_cast<uint64_t>(header->ts.tv_sec) * 1000000000ull +
                              static_cast<uint64_t>(header->ts.tv_usec),
                          header->len, std::string(reinterpret_cast<const char*>(data), header->caplen)});
    }
    pcap_close(pcap);
    return frames;
}

}  // namespace dump_test
