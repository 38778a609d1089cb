// The per-port "EthernetReceive" worker: captures frames and posts them to the main loop.
#pragma once

#include <memory>

#include "libnet/capture_device.h"
#include "libnet/ethernet.h"
#include "support/channel.h"

namespace qz::net {

constexpr std::size_t kFrameChannelCapacity = 100;

struct ReceiveContext {
    std::shared_ptr<SharedCapture> capture;
    Sender<Frame> frames;
    bool drop_own_frames{true};
    MacAddress mac{};
};

// Runs the worker loop on the calling thread until the channel's receiver is gone.
void run_receive_worker(ReceiveContext context);

// Starts run_receive_worker on a detached thread named "EthernetReceive".
void start_receive_worker(ReceiveContext context);

// The first message every worker posts: it tells nothing and is ignored by the frame entry, but
// makes the channel readable once so the main loop has seen it working.
Frame first_frame();

}  // namespace qz::net
