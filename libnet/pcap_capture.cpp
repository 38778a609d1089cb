#include "libnet/pcap_capture.h"

#include <pcap/pcap.h>
#include <poll.h>

namespace qz::net {
namespace {

class PcapCapture final : public CaptureDevice {
public:
    explicit PcapCapture(pcap_t* handle) : handle_(handle) {}

    // Called once the handle is active.
    bool make_non_blocking(std::string& error) {
        char buffer[PCAP_ERRBUF_SIZE] = {};
        if (pcap_setnonblock(handle_, 1, buffer) != 0) {
            error = buffer;
            return false;
        }
        fd_ = pcap_get_selectable_fd(handle_);
        if (fd_ < 0) {
            error = "capture handle has no selectable descriptor";
            return false;
        }
        return true;
    }

    void wait(std::chrono::milliseconds timeout) override {
        pollfd p{fd_, POLLIN, 0};
        (void)::poll(&p, 1, static_cast<int>(timeout.count()));
    }
    ~PcapCapture() override { pcap_close(handle_); }
    PcapCapture(const PcapCapture&) = delete;
    PcapCapture& operator=(const PcapCapture&) = delete;

    CaptureRead next(std::vector<std::uint8_t>& frame) override {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = pcap_next_ex(handle_, &header, &data);
        if (result == 1) {
            frame.assign(data, data + header->caplen);
            return std::monostate{};
        }
        if (result == 0) {
            return CaptureTimeout{};
        }
        return CaptureFailure{pcap_geterr(handle_)};
    }

    bool inject(std::span<const std::uint8_t> frame) override {
        return pcap_sendpacket(handle_, frame.data(), static_cast<int>(frame.size())) == 0;
    }

private:
    pcap_t* handle_;
    int fd_{-1};
};

}  // namespace

std::expected<std::unique_ptr<CaptureDevice>, NetIoError> open_pcap(const std::string& interface) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(interface.c_str(), error);
    if (handle == nullptr) {
        return std::unexpected(NetIoError::wrapped(error));
    }
    auto capture = std::make_unique<PcapCapture>(handle);
    // Buffer size 0 leaves libpcap's own default in place.
    pcap_set_buffer_size(handle, 0);
    pcap_set_timeout(handle, 1);
    pcap_set_promisc(handle, 1);
    // Frames are handed over one by one as they arrive, not in blocks of the TPACKET_V3 ring,
    // whose read ignores the time-out while the port is quiet.
    pcap_set_immediate_mode(handle, 1);
    const int status = pcap_activate(handle);
    if (status < 0) {
        return std::unexpected(NetIoError::wrapped(pcap_geterr(handle)));
    }
    // The worker waits for frames itself, outside the handle's lock, and then reads without
    // blocking: a read that blocked under the lock would keep the main thread from sending.
    if (std::string reason; !capture->make_non_blocking(reason)) {
        return std::unexpected(NetIoError::wrapped(reason));
    }
    return capture;
}

}  // namespace qz::net
