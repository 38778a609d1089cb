// CaptureDevice over a libpcap handle.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "libnet/capture_device.h"
#include "libnet/net_error.h"

namespace qz::net {

// Creates and activates a promiscuous capture handle on the interface (library default buffer
// size and snapshot length, 1 ms read time-out, both directions, no filter).
std::expected<std::unique_ptr<CaptureDevice>, NetIoError> open_pcap(const std::string& interface);

}  // namespace qz::net
