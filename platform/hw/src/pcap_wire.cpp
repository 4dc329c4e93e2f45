// A capture file as the far end of a port: its frames arrive at the port,
// read with libpcap in nanoseconds, from the first time the link comes up,
// with the gaps recorded in the file or back to back at the link's speed,
// once, a number of times or without end. At the end of the file the link
// stays up and idle. Frames the port sends go nowhere.
//
// Frames on the wire carry their FCS: a file whose frames have none (a pcap
// file of Ethernet frames, a pcap-ng interface without if_fcslen) gets it
// added; one that has them keeps them as recorded, bad ones included.
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include "far_end.hpp"

namespace hw {

namespace {

constexpr std::size_t kReplayBatch = 64;  // frames per event at most, so others get a turn
constexpr std::size_t kMaxReplayFrame = 65536;

std::uint32_t Load32(const std::uint8_t* p, bool swapped) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return swapped ? __builtin_bswap32(v) : v;
}
std::uint16_t Load16(const std::uint8_t* p, bool swapped) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return swapped ? __builtin_bswap16(v) : v;
}

// Bytes of FCS at the end of the file's frames: a pcap file says so in the
// upper bits of its link type, a pcap-ng file in its first interface's
// if_fcslen (libpcap reads only files whose interfaces share one link type;
// the files this system writes give every interface the same FCS length).
std::uint32_t FileFcsLength(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> head(64 * 1024);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.size() < 24) return 0;
    const std::uint32_t magic = Load32(head.data(), false);
    if (magic == 0xA1B2C3D4 || magic == 0xA1B23C4D || magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1) {
        const bool swapped = magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1;
        const std::uint32_t linkType = Load32(head.data() + 20, swapped);
        // F bit (28) and the FCS length in 16-bit words (bits 29-31).
        return (linkType & 0x10000000u) ? ((linkType >> 29) & 7) * 2 : 0;
    }
    if (magic != 0x0A0D0D0A || head.size() < 12) return 0;
    const bool swapped = Load32(head.data() + 8, false) != 0x1A2B3C4D;
    std::size_t at = 0;
    while (at + 12 <= head.size()) {
        const std::uint32_t type = Load32(head.data() + at, swapped);
        const std::uint32_t length = Load32(head.data() + at + 4, swapped);
        if (length < 12 || length % 4 != 0 || at + length > head.size()) return 0;
        if (type == 1) {  // interface description block: link type, reserved, snap length, options
            std::size_t option = at + 16;
            const std::size_t end = at + length - 4;
            while (option + 4 <= end) {
                const std::uint16_t code = Load16(head.data() + option, swapped);
                const std::uint16_t size = Load16(head.data() + option + 2, swapped);
                if (code == 0) break;
                if (code == 13 && size >= 1 && option + 4 < end) return head[option + 4];
                option += 4 + ((size + 3u) & ~3u);
            }
            return 0;
        }
        at += length;
    }
    return 0;
}

struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

class CaptureFileWire final : public FarEndWire {
public:
    CaptureFileWire(Machine::Impl& machine, Port::Impl& port, const CaptureFileOptions& options)
        : FarEndWire(machine, port), options_(options) {}

    bool Open(std::string* why) {
        const std::string quoted = "\"" + options_.file.string() + "\"";
        std::error_code ec;
        if (!std::filesystem::exists(options_.file, ec)) {
            *why = quoted + ": no such file";
            return false;
        }
        if (std::FILE* f = std::fopen(options_.file.c_str(), "rb")) {
            std::fclose(f);
        } else {
            *why = quoted + ": cannot be read: " + std::strerror(errno);
            return false;
        }
        std::string error;
        if (!OpenFile(&error)) {
            *why = quoted + ": not a pcap or pcap-ng file (" + error + ")";
            return false;
        }
        if (pcap_datalink(file_.get()) != DLT_EN10MB) {
            const char* name = pcap_datalink_val_to_name(pcap_datalink(file_.get()));
            *why = quoted + ": link type " + std::to_string(pcap_datalink(file_.get())) + " (" +
                   (name ? name : "unknown") + "), not Ethernet";
            return false;
        }
        fcsLength_ = FileFcsLength(options_.file);
        frame_.resize(kMaxReplayFrame + 4);
        CarrierChanged(true);  // a file is always there
        return true;
    }

    void Transmit(Port::Impl&, std::vector<std::uint8_t>) override {}  // the file listens to nothing

    void Detach() override {
        DetachFromPort();
        std::lock_guard lock(lock_);
        file_.reset();
    }

    std::uint64_t Sent() const override { return sent_.load(std::memory_order_relaxed); }

private:
    std::uint32_t PartnerModes() const override { return kModesAll; }

    bool OpenFile(std::string* error) {
        char text[PCAP_ERRBUF_SIZE] = {};
        file_.reset(pcap_open_offline_with_tstamp_precision(options_.file.c_str(), PCAP_TSTAMP_PRECISION_NANO, text));
        if (!file_) *error = text;
        return file_ != nullptr;
    }

    void LinkResolved(std::uint32_t, std::uint64_t generation) override {
        std::lock_guard lock(lock_);
        if (finished_) return;
        // The file goes on where it was when the link went down; the
        // recorded gaps count from the frame due now.
        passStart_ = machine_.clock_.Now();
        next_ = passStart_;
        if (havePending_) {
            firstStamp_ = stamp_;
        } else {
            firstStamp_.reset();
        }
        Schedule(generation);
    }

    void Schedule(std::uint64_t generation) {
        auto self = std::static_pointer_cast<CaptureFileWire>(shared_from_this());
        machine_.clock_.Schedule(next_, [self, generation] { self->Emit(generation); });
    }

    // The next frame of the file into frame_; false at the end of the last pass.
    bool ReadNext() {
        for (;;) {
            if (!file_) return false;
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int result = pcap_next_ex(file_.get(), &header, &data);
            if (result == 1) {
                std::size_t length = std::min<std::size_t>(header->caplen, kMaxReplayFrame);
                std::memcpy(frame_.data(), data, length);
                if (fcsLength_ == 0) {
                    PutWireFcs(frame_.data(), length);
                    length += 4;
                }
                length_ = length;
                stamp_ = static_cast<std::int64_t>(header->ts.tv_sec) * 1'000'000'000 + header->ts.tv_usec;
                return true;
            }
            if (result == PCAP_ERROR_BREAK) {
                ++passes_;
                if (options_.repeat != 0 && passes_ >= options_.repeat) return false;
                std::string error;
                if (!OpenFile(&error)) {
                    machine_.Trace(port_->Name() + ": \"" + options_.file.string() + "\" cannot be read again: " + error);
                    return false;
                }
                firstStamp_.reset();
                passStart_ = next_;
                continue;
            }
            machine_.Trace(port_->Name() + ": \"" + options_.file.string() + "\": " + pcap_geterr(file_.get()));
            return false;
        }
    }

    void Emit(std::uint64_t generation) {
        std::lock_guard lock(lock_);
        if (!Current(generation) || finished_) return;
        const std::uint32_t speed = Speed();
        if (speed == 0) return;  // down: the next link up goes on
        const std::int64_t now = machine_.clock_.Now();
        // The frames due now are packed into one block and handed over
        // together after the loop; their spans are made once the block no
        // longer grows.
        arena_.clear();
        std::size_t count = 0;
        const auto deliver = [&] {
            const std::uint8_t* at = arena_.data();
            for (std::size_t i = 0; i < count; ++i) {
                batch_[i] = {{at, lengths_[i]}, fcsLength_ == 0};
                at += lengths_[i];
            }
            Deliver({batch_.data(), count});
            count = 0;
        };
        for (std::size_t batch = 0; batch < kReplayBatch; ++batch) {
            if (!havePending_) {
                if (!ReadNext()) {
                    finished_ = true;  // the link stays up, idle
                    file_.reset();
                    deliver();
                    return;
                }
                havePending_ = true;
                // When this frame is due: at its recorded distance from the
                // pass's first frame, never before the line is free.
                if (options_.pace == ReplayPace::Recorded) {
                    if (!firstStamp_) firstStamp_ = stamp_;
                    next_ = std::max(next_, passStart_ + (stamp_ - *firstStamp_));
                }
            }
            if (next_ > now) break;
            arena_.insert(arena_.end(), frame_.data(), frame_.data() + length_);
            lengths_[count++] = length_;
            havePending_ = false;
            sent_.fetch_add(1, std::memory_order_relaxed);
            next_ += LineTime(length_, speed);
        }
        deliver();
        Schedule(generation);
    }

    const CaptureFileOptions options_;
    std::atomic<std::uint64_t> sent_{0};

    std::mutex lock_;  // the replay's state; taken before a port's lock
    PcapHandle file_;
    std::uint32_t fcsLength_ = 0;
    std::vector<std::uint8_t> frame_;
    std::vector<std::uint8_t> arena_;  // the frames of one event, packed
    std::array<std::size_t, kReplayBatch> lengths_{};
    std::array<OutsideFrame, kReplayBatch> batch_{};
    std::size_t length_ = 0;
    std::int64_t stamp_ = 0;
    bool havePending_ = false;
    bool finished_ = false;
    std::uint64_t passes_ = 0;
    std::optional<std::int64_t> firstStamp_;
    std::int64_t passStart_ = 0;
    std::int64_t next_ = 0;
};

}  // namespace

std::shared_ptr<Wire> MakeCaptureFileWire(Machine::Impl& machine, Port::Impl& port,
                                          const CaptureFileOptions& options, std::string* why) {
    auto wire = std::make_shared<CaptureFileWire>(machine, port, options);
    std::string ignored;
    if (!wire->Open(why != nullptr ? why : &ignored)) return nullptr;
    return wire;
}

}  // namespace hw
