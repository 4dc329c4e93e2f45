// FlDump_ng's writer under the pcap-ng block writer: a file written through
// the handlers is one that libpcap reads back whole.
#include "native_file_zeth.h"

#include "writer_fixture.h"

#include <pcap/pcap.h>

#include <cstring>

namespace dumpcommon_test {
namespace {

class NativeFileZethTest : public WriterTest {};

TEST_P(NativeFileZethTest, PcapNgFileThroughTheHandlers) {
    ZethFileHandlers handlers{};
    // Small buffers, so that blocks are split across them.
    ASSERT_EQ(native_file_open(Name("ng.pcapng").c_str(), 4096, 3, &handlers), NATIVE_FILE_SUCCESS);
    ZethFile* zeth = nullptr;
    ASSERT_EQ(zeth_open_file(handlers.read, handlers.write, handlers.seek, handlers.handle, "w", &zeth), 0u);
    ZethSection* section = nullptr;
    ASSERT_EQ(zeth_create_section(zeth, &section), 0u);
    const ZethIdbRecord idb{1, 0, 65535};
    ZethBlock* block = nullptr;
    ASSERT_EQ(zeth_create_block(section, 1, &idb, &block), 0u);
    const uint8_t nanoseconds = 9;
    ZethOption resolution{nullptr, IDB_OPTION_IF_TSACCUR, &nanoseconds};
    ASSERT_EQ(zeth_add_option(block, &resolution), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);

    const size_t count = 500;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> frame(60 + (i * 53) % 1455, static_cast<uint8_t>(i));
        const uint64_t timestamp = 1700000000000000000ull + i * 1001;
        const ZethPbRecord pb{0, 0, static_cast<uint32_t>(timestamp >> 32), static_cast<uint32_t>(timestamp),
                              static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()),
                              frame.data()};
        ASSERT_EQ(zeth_create_block(section, 2, &pb, &block), 0u);
        ASSERT_EQ(zeth_close_block(block), 0u);
    }
    ASSERT_EQ(zeth_close_section(section), 0u);
    ASSERT_EQ(zeth_close_file(zeth), 0u);
    ASSERT_EQ(native_file_close(&handlers), NATIVE_FILE_SUCCESS);

    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(Path("ng.pcapng").c_str(),
                                                           PCAP_TSTAMP_PRECISION_NANO, error);
    ASSERT_NE(pcap, nullptr) << error;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    size_t n = 0;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        const size_t length = 60 + (n * 53) % 1455;
        const uint64_t timestamp = 1700000000000000000ull + n * 1001;
        EXPECT_EQ(header->caplen, length);
        EXPECT_EQ(static_cast<uint64_t>(header->ts.tv_sec), timestamp / 1000000000ull);
        EXPECT_EQ(static_cast<uint64_t>(header->ts.tv_usec), timestamp % 1000000000ull);
        EXPECT_EQ(data[length - 1], static_cast<u_char>(n));
        ++n;
    }
    pcap_close(pcap);
    EXPECT_EQ(n, count);
}

INSTANTIATE_TEST_SUITE_P(Engines, NativeFileZethTest,
                         ::testing::Values(hooks::Engine::Uring, hooks::Engine::Thread), EngineName);

}  // namespace
}  // namespace dumpcommon_test
