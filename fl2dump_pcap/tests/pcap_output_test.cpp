// FlDump's pcap records: their encoding, their failure messages, and files
// written through the real writer as libpcap, tshark and capinfos read them.
#include "pcap_output.h"

#include <nt/object.h>
#include <um/file_testing.h>

#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace hooks = um::file::testing;

FL_PACKET_HEADER Packet(uint64_t timestamp, uint16_t wire, uint16_t captured, uint32_t flags = 1,
                        uint32_t errors = 0) {
    FL_PACKET_HEADER header{};
    header.Timestamp = timestamp;
    header.Flags = flags;
    header.WireLength = wire;
    header.CapturedLength = captured;
    header.Errors = errors;
    return header;
}

PCAP_RECORD_HEADER RecordHeader(const FL_PACKET_HEADER& packet, BOOLEAN ppi) {
    return make_pcap_record_header(&packet, ppi);
}
PPI_RECORD_PREFIX Prefix(const FL_PACKET_HEADER& packet) { return make_ppi_record_prefix(&packet); }

template <class T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> bytes(sizeof(T));
    memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

TEST(PcapEncoding, TimestampsAreCutToMicroseconds) {
    const auto header = RecordHeader(
        Packet(1234567890123456789ull, 60, 60), FALSE);
    EXPECT_EQ(header.Seconds, 1234567890u);
    EXPECT_EQ(header.Microseconds, 123456u);
    // Only the low 32 bits of the seconds are kept.
    const auto late = RecordHeader(Packet(5000000000ull * 1000000000ull + 999999999ull, 60, 60), FALSE);
    EXPECT_EQ(late.Seconds, static_cast<uint32_t>(5000000000ull));
    EXPECT_EQ(late.Microseconds, 999999u);
}

TEST(PcapEncoding, LengthsWithAndWithoutPpi) {
    auto plain = RecordHeader(Packet(0, 60, 60), FALSE);
    EXPECT_EQ(plain.IncludedLength, 60u);
    EXPECT_EQ(plain.OriginalLength, 60u);
    auto ppi = RecordHeader(Packet(0, 60, 60), TRUE);
    EXPECT_EQ(ppi.IncludedLength, 88u);
    EXPECT_EQ(ppi.OriginalLength, 88u);

    plain = RecordHeader(Packet(0, 1514, 100), FALSE);
    EXPECT_EQ(plain.IncludedLength, 100u);
    EXPECT_EQ(plain.OriginalLength, 1514u);
    ppi = RecordHeader(Packet(0, 1514, 100), TRUE);
    EXPECT_EQ(ppi.IncludedLength, 128u);
    EXPECT_EQ(ppi.OriginalLength, 1542u);
}

TEST(PcapEncoding, FileHeader) {
    const std::vector<uint8_t> expected = {
        0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0xFF, 0xFF, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(Bytes(make_pcap_file_header(65535, FALSE)), expected);
    const auto ppi = make_pcap_file_header(65535, TRUE);
    EXPECT_EQ(ppi.SnapLength, 65563u);
    EXPECT_EQ(ppi.LinkType, 192u);
    EXPECT_EQ(make_pcap_file_header(0, FALSE).SnapLength, 0u);
}

TEST(PcapEncoding, PpiHeaderBytes) {
    // Port 3 of an aggregating port, FCS present, CRC and symbol errors.
    const auto prefix = Prefix(Packet(0, 64, 64, (3u << 24) | 1u, 0x5));
    const std::vector<uint8_t> expected = {
        0, 0, 28, 0, 1, 0, 0, 0,    // version, flags, length 28, link type 1
        8, 0, 4, 0, 3, 0, 0, 0,     // aggregation field: interface 3
        9, 0, 8, 0, 1, 0, 0, 0,     // 802.3 field: FCS present
        5, 0, 0, 0};                // errors as received
    EXPECT_EQ(Bytes(prefix), expected);

    // Other flag bits never reach the 802.3 flags; a physical port is 0.
    const auto physical = Prefix(Packet(0, 64, 64, 0x00FFFFFEu, 0));
    EXPECT_EQ(physical.InterfaceId, 0u);
    EXPECT_EQ(physical.Ieee8023.Flags, 0u);
}

// ---------------------------------------------------------------------------
// Files through the real writer.

struct Written {
    FL_PACKET_HEADER header;
    std::vector<uint8_t> data;
};

class PcapFileTest : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    bool Ppi() const { return std::get<0>(GetParam()); }
    bool Cached() const { return std::get<1>(GetParam()); }

    void SetUp() override {
        hooks::Reset();
        const char* base = std::getenv("FL_TEST_TMP");
        dir_ = std::filesystem::path(base != nullptr ? base : "/tmp") / "pcap";
        std::filesystem::create_directories(dir_);
        handles_ = nt::OpenHandleCount();
    }
    void TearDown() override {
        hooks::Reset();
        EXPECT_EQ(nt::OpenHandleCount(), handles_);
    }

    std::filesystem::path FileFor(const std::string& what) const {
        return dir_ / (what + (Ppi() ? "-ppi" : "-eth") + (Cached() ? "-cached" : "-direct") + ".pcap");
    }

    // Frames of many sizes, stamped 1.5 µs apart from a fixed start, the
    // port index cycling through 0..3 and every error bit seen.
    static std::vector<Written> Traffic(size_t count, uint16_t snap) {
        std::vector<Written> packets;
        for (size_t i = 0; i < count; ++i) {
            const uint16_t wire = static_cast<uint16_t>(60 + (i * 37) % 1455);
            const uint16_t captured = std::min(wire, snap);
            Written p{Packet(1700000000123456789ull + i * 1500, wire, captured,
                             (static_cast<uint32_t>(i % 4) << 24) | 1u, static_cast<uint32_t>(i % 16)),
                      std::vector<uint8_t>(captured)};
            for (size_t b = 0; b < captured; ++b) p.data[b] = static_cast<uint8_t>(i + b * 3);
            if (captured >= 12) memset(p.data.data(), 0xFF, 6);  // broadcast, for readers' dissectors
            packets.push_back(std::move(p));
        }
        return packets;
    }

    std::filesystem::path dir_;
    size_t handles_ = 0;
};

TEST_P(PcapFileTest, ReadersSeeEveryRecord) {
    const auto path = FileFor("traffic");
    const uint16_t snap = 1000;
    const auto packets = Traffic(3000, snap);

    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(path.c_str(), 262144, 4, Cached() ? TRUE : FALSE, &file), 0u);
    ASSERT_EQ(write_pcap_header(file, snap, Ppi() ? TRUE : FALSE), 0u);
    for (const auto& p : packets) {
        ASSERT_EQ(write_pcap_record(file, Ppi() ? TRUE : FALSE, &p.header, p.data.data()), 0u);
    }
    ASSERT_EQ(native_file_close(file), 0u);

    // libpcap
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(path.c_str(), error);
    ASSERT_NE(pcap, nullptr) << error;
    EXPECT_EQ(pcap_datalink(pcap), Ppi() ? DLT_PPI : DLT_EN10MB);
    EXPECT_EQ(pcap_snapshot(pcap), snap + (Ppi() ? 28 : 0));
    size_t n = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = 0;
    while ((rc = pcap_next_ex(pcap, &header, &data)) == 1) {
        ASSERT_LT(n, packets.size());
        const auto& p = packets[n];
        const uint32_t extra = Ppi() ? 28 : 0;
        EXPECT_EQ(header->ts.tv_sec, static_cast<time_t>(p.header.Timestamp / 1000000000ull));
        EXPECT_EQ(header->ts.tv_usec, static_cast<suseconds_t>(p.header.Timestamp % 1000000000ull / 1000));
        ASSERT_EQ(header->caplen, p.header.CapturedLength + extra);
        EXPECT_EQ(header->len, p.header.WireLength + extra);
        if (Ppi()) {
            EXPECT_EQ(Bytes(make_ppi_record_prefix(&p.header)), std::vector<uint8_t>(data, data + 28));
        }
        EXPECT_EQ(memcmp(data + extra, p.data.data(), p.data.size()), 0) << "packet " << n;
        ++n;
    }
    EXPECT_EQ(rc, PCAP_ERROR_BREAK) << pcap_geterr(pcap);
    EXPECT_EQ(n, packets.size());
    pcap_close(pcap);

    // tshark, and for PPI the fields it decodes
    const std::string fields =
        Ppi() ? "-e frame.len -e frame.time_epoch -e ppi.aggregation_extension.interface_id "
                "-e ppi.8023_extension.flags.fcs_present -e ppi.8023_extension.errors"
              : "-e frame.len -e frame.time_epoch";
    const std::string command = "tshark -n -r '" + path.string() + "' -T fields -E separator=, " +
                                fields + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> lines;
    char line[512];
    while (fgets(line, sizeof(line), pipe) != nullptr) lines.emplace_back(line);
    const int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << "tshark is not installed";
    ASSERT_EQ(lines.size(), packets.size());
    for (size_t i = 0; i < lines.size(); i += 97) {
        const auto& p = packets[i];
        std::istringstream in(lines[i]);
        std::string length, epoch;
        std::getline(in, length, ',');
        std::getline(in, epoch, ',');
        EXPECT_EQ(std::stoul(length), p.header.WireLength + (Ppi() ? 28u : 0u));
        char expected[64];
        snprintf(expected, sizeof(expected), "%llu.%06llu",
                 static_cast<unsigned long long>(p.header.Timestamp / 1000000000ull),
                 static_cast<unsigned long long>(p.header.Timestamp % 1000000000ull / 1000));
        EXPECT_EQ(epoch.substr(0, strlen(expected)), expected) << lines[i];
        if (Ppi()) {
            std::string interface, fcs, errors;
            std::getline(in, interface, ',');
            std::getline(in, fcs, ',');
            std::getline(in, errors);
            EXPECT_EQ(std::stoul(interface), p.header.Flags >> 24) << lines[i];
            EXPECT_TRUE(fcs == "1" || fcs == "True") << lines[i];
            EXPECT_EQ(std::stoul(errors, nullptr, 0), p.header.Errors) << lines[i];
        }
    }

    // capinfos
    pipe = popen(("capinfos -c -M '" + path.string() + "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string report;
    while (fgets(line, sizeof(line), pipe) != nullptr) report += line;
    pclose(pipe);
    EXPECT_NE(report.find("Number of packets:   " + std::to_string(packets.size())), std::string::npos)
        << report;
}

// The disk fills in the middle of the capture: what is on disk afterwards
// is a pcap file whose records are whole up to the last one that fitted.
TEST_P(PcapFileTest, NoSpaceLeavesWholeRecordsUpToTheCut) {
    const auto path = FileFor("full");
    const auto packets = Traffic(2000, 65535);
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(path.c_str(), 65536, 4, Cached() ? TRUE : FALSE, &file), 0u);
    hooks::SetSpaceLimit(300000);
    ASSERT_EQ(write_pcap_header(file, 65535, Ppi() ? TRUE : FALSE), 0u);

    testing::internal::CaptureStdout();
    std::vector<uint64_t> ends;  // stream offset at the end of each record written
    uint64_t at = sizeof(PCAP_FILE_HEADER);
    for (const auto& p : packets) {
        if (write_pcap_record(file, Ppi() ? TRUE : FALSE, &p.header, p.data.data()) != 0) break;
        at += sizeof(PCAP_RECORD_HEADER) + (Ppi() ? 28 : 0) + p.header.CapturedLength;
        ends.push_back(at);
    }
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Internal error code 1\n"), std::string::npos) << printed;
    // The close reports only failures not reported yet: whether a write
    // still in flight when the records stopped failed too depends on timing.
    native_file_close(file);
    hooks::Reset();

    const uint64_t size = std::filesystem::file_size(path);
    EXPECT_LE(size, 300000u);
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= size) ++whole;
    ASSERT_GT(whole, 0u);

    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(path.c_str(), error);
    ASSERT_NE(pcap, nullptr) << error;
    size_t n = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        ASSERT_LT(n, packets.size());
        EXPECT_EQ(header->len, packets[n].header.WireLength + (Ppi() ? 28u : 0u));
        ++n;
    }
    pcap_close(pcap);
    EXPECT_EQ(n, whole);
}

INSTANTIATE_TEST_SUITE_P(Formats, PcapFileTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Ppi" : "Ethernet") +
                                    (std::get<1>(info.param) ? "Cached" : "Unbuffered");
                         });

// ---------------------------------------------------------------------------
// Failure messages: a writer whose buffers are too small for the runs.

class PcapMessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("FL_TEST_TMP");
        dir_ = std::filesystem::path(base != nullptr ? base : "/tmp") / "pcap-messages";
        std::filesystem::create_directories(dir_);
    }
    NativeFile* Open(ULONG bufferSize) {
        NativeFile* file = nullptr;
        EXPECT_EQ(native_file_open((dir_ / "m.pcap").c_str(), bufferSize, 2, TRUE, &file), 0u);
        return file;
    }
    std::filesystem::path dir_;
};

TEST_F(PcapMessageTest, EachFailureSaysWhatWasBeingWritten) {
    const std::vector<uint8_t> frame(100, 0xAB);
    const auto header = Packet(1, 100, 100);

    NativeFile* file = Open(8);  // not even a record header fits
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_pcap_record(file, FALSE, &header, frame.data()), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error dumping the header. Internal error code 1\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_pcap_record(file, TRUE, &header, frame.data()), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error dumping the packet. Internal error code 1\n");
    EXPECT_EQ(write_pcap_header(file, 65535, FALSE), 1u);
    native_file_close(file);

    file = Open(64);  // the header fits, the frame does not
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_pcap_record(file, FALSE, &header, frame.data()), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error dumping the packet. Internal error code 1\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_pcap_record(file, TRUE, &header, frame.data()), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error dumping the packet. Internal error code 1\n");
    native_file_close(file);
}

}  // namespace
