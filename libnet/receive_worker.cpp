#include "libnet/receive_worker.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <variant>

#include "libnet/capture_filter.h"
#include "libnet/net_error.h"
#include "support/log.h"

namespace qz::net {
namespace {

constexpr const char* kTarget = "brel_libnet::device";
// How long an idle worker sleeps at most; a frame's arrival wakes it at once, so this only
// bounds how rarely a quiet worker looks around.
constexpr std::chrono::milliseconds kIdleWait{100};

void dump_frame(std::span<const std::uint8_t> frame) {
    std::printf("------Raw Package Content-----\n");
    for (std::size_t offset = 0; offset < frame.size(); offset += 16) {
        std::printf("%04zx:", offset);
        for (std::size_t i = offset; i < frame.size() && i < offset + 16; ++i) {
            std::printf(" %02x", frame[i]);
        }
        std::printf("\n");
    }
    std::printf("------------------------------\n");
}

}  // namespace

Frame first_frame() {
    Frame frame(15, 0);
    frame[14] = 0x01;
    return frame;
}

void run_receive_worker(ReceiveContext context) {
    if (!context.frames.send(first_frame())) {
        // The port was given up (a failed start-up, a newer re-open) before this worker ran:
        // there is nobody to deliver to, and ending the process for it would turn a clean
        // start-up failure into a crash.
        log::debug(kTarget, "Closing EthernetReceive thread - channel receiver has disappeared");
        return;
    }
    std::vector<std::uint8_t> buffer;
    while (true) {
        CaptureRead read;
        {
            std::lock_guard lock(context.capture->mutex);
            read = context.capture->device->next(buffer);
        }
        if (std::holds_alternative<CaptureTimeout>(read)) {
            // Nothing is waiting: sleep until a frame arrives. A busy port is drained without
            // waiting in between. An idle port is the normal case, not an error to log.
            context.capture->device->wait(kIdleWait);
            continue;
        }
        if (std::holds_alternative<CaptureFailure>(read)) {
            log::error(kTarget, "Error while capturing frame: {}", NetIoError::generic().text());
            // A persistent failure (an interface that went away) must not spin the CPU.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        switch (classify_captured(buffer, context.mac, context.drop_own_frames)) {
            case CaptureVerdict::Tagged:
                log::warn(kTarget, "Receiving tagged Ethernet Frames not implemented yet.");
                continue;
            case CaptureVerdict::TooShort:
            case CaptureVerdict::OwnFrame:
            case CaptureVerdict::IpTraffic:
                continue;
            case CaptureVerdict::Deliver:
                break;
        }
        if (log::enabled(log::Level::Trace)) {
            dump_frame(buffer);
        }
        if (!context.frames.send(Frame(buffer.begin(), buffer.end()))) {
            log::debug(kTarget,
                       "Closing EthernetReceive thread - channel receiver has disappeared");
            return;
        }
    }
}

void start_receive_worker(ReceiveContext context) {
    std::thread worker([context = std::move(context)]() mutable {
        ::pthread_setname_np(::pthread_self(), "EthernetReceive");
        run_receive_worker(std::move(context));
    });
    worker.detach();
}

}  // namespace qz::net
