#include "libnet/pcap_capture.h"

#include <pcap/pcap.h>

namespace qz::net {
namespace {

class PcapCapture final : public CaptureDevice {
public:
    explicit PcapCapture(pcap_t* handle) : handle_(handle) {}
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
    const int status = pcap_activate(handle);
    if (status < 0) {
        return std::unexpected(NetIoError::wrapped(pcap_geterr(handle)));
    }
    return capture;
}

}  // namespace qz::net
