#include "libnet/receive_worker.h"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "libnet/net_port.h"
#include "libnet/port_sender.h"

namespace qz::net {
namespace {

constexpr MacAddress kOwn{0x02, 0, 0, 0, 0, 0x10};

// Plays back a script of reads, then reports time-outs forever; records injections.
class ScriptedCapture final : public CaptureDevice {
public:
    explicit ScriptedCapture(std::deque<CaptureRead> reads, std::deque<Frame> frames)
        : reads_(std::move(reads)), frames_(std::move(frames)) {}

    void wait(std::chrono::milliseconds) override {
        if (reads_.empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    CaptureRead next(std::vector<std::uint8_t>& frame) override {
        if (reads_.empty()) {
            return CaptureTimeout{};
        }
        auto read = reads_.front();
        reads_.pop_front();
        if (std::holds_alternative<std::monostate>(read)) {
            frame = frames_.front();
            frames_.pop_front();
        }
        return read;
    }
    bool inject(std::span<const std::uint8_t> frame) override {
        injected.emplace_back(frame.begin(), frame.end());
        return true;
    }

    std::vector<Frame> injected;

private:
    std::deque<CaptureRead> reads_;
    std::deque<Frame> frames_;
};

Frame frame(std::size_t length, std::uint16_t type, std::uint8_t source_last = 0x20) {
    Frame f(length, 0);
    f[6] = 0x02;
    f[11] = source_last;
    f[12] = static_cast<std::uint8_t>(type >> 8);
    f[13] = static_cast<std::uint8_t>(type);
    return f;
}

Frame receive(Receiver<Frame>& rx) {
    for (int i = 0; i < 2000; ++i) {
        auto r = rx.try_recv();
        if (r.message) {
            return *r.message;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "no frame arrived";
    return {};
}

TEST(ReceiveWorker, PostsTheFirstFrameThenOnlyWhatTheFilterDelivers) {
    const Frame avtp14 = frame(14, 0x22F0);
    const Frame arp = frame(60, 0x0806);
    const Frame last = frame(64, 0x88F7);
    std::deque<Frame> frames{Frame(13, 0xAA),
                             frame(60, 0x8100),
                             frame(60, 0x22F0, 0x10),
                             frame(60, 0x86DD),
                             avtp14,
                             arp,
                             last};
    std::deque<CaptureRead> reads{CaptureFailure{"boom"}, CaptureTimeout{}};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        reads.emplace_back(std::monostate{});
    }
    auto opened = open_port_on(
        "eth0", kOwn, std::make_unique<ScriptedCapture>(std::move(reads), std::move(frames)));

    const Frame first = receive(opened.frames);
    ASSERT_EQ(first.size(), 15U);
    EXPECT_EQ(first[14], 0x01);
    EXPECT_EQ(receive(opened.frames), avtp14);
    EXPECT_EQ(receive(opened.frames), arp);
    EXPECT_EQ(receive(opened.frames), last);
    EXPECT_EQ(opened.frames.size(), 0U);
}

TEST(ReceiveWorker, EndsWhenTheReceiverIsDropped) {
    auto device = std::make_unique<ScriptedCapture>(std::deque<CaptureRead>{}, std::deque<Frame>{});
    auto capture = std::make_shared<SharedCapture>(std::move(device));
    auto [tx, rx] = make_channel<Frame>(kFrameChannelCapacity);
    std::deque<CaptureRead> reads(200, std::monostate{});
    std::deque<Frame> frames(200, frame(60, 0x22F0));
    capture->device = std::make_unique<ScriptedCapture>(std::move(reads), std::move(frames));
    std::thread worker([ctx = ReceiveContext{capture, std::move(tx), true, kOwn}]() mutable {
        run_receive_worker(std::move(ctx));
    });
    // The channel fills up to its capacity and the worker waits; dropping the receiver ends it.
    while (rx.size() < kFrameChannelCapacity) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    { auto gone = std::move(rx); }
    worker.join();
}

TEST(ReceiveWorker, PortGivenUpBeforeTheWorkerRanEndsItQuietly) {
    auto capture = std::make_shared<SharedCapture>(
        std::make_unique<ScriptedCapture>(std::deque<CaptureRead>{}, std::deque<Frame>{}));
    auto [tx, rx] = make_channel<Frame>(kFrameChannelCapacity);
    { auto gone = std::move(rx); }
    // Returns instead of ending the process.
    run_receive_worker(ReceiveContext{capture, std::move(tx), true, kOwn});
    EXPECT_EQ(capture.use_count(), 1);
}

TEST(PortSender, InjectsTheGivenBytesWithThePortsSourceAddress) {
    auto device0 =
        std::make_unique<ScriptedCapture>(std::deque<CaptureRead>{}, std::deque<Frame>{});
    auto device1 =
        std::make_unique<ScriptedCapture>(std::deque<CaptureRead>{}, std::deque<Frame>{});
    auto* second = device1.get();
    std::array<std::optional<NetPort>, 2> ports;
    ports[0] = NetPort{"eth0", kOwn, std::make_shared<SharedCapture>(std::move(device0))};
    ports[1] = NetPort{"eth1", kOwn, std::make_shared<SharedCapture>(std::move(device1))};
    ports[1]->mac = {0x02, 0, 0, 0, 0, 0x11};
    PortSender sender(ports);
    const Frame bytes = frame(20, 0x22F0);
    sender.send(1, bytes);
    ASSERT_EQ(second->injected.size(), 1U);
    Frame expected = bytes;
    std::copy(ports[1]->mac.begin(), ports[1]->mac.end(), expected.begin() + 6);
    EXPECT_EQ(second->injected[0], expected);  // same length, same bytes, the port's source
}

TEST(PortSenderDeathTest, InvalidPortEndsTheProcess) {
    std::array<std::optional<NetPort>, 2> ports;
    PortSender sender(ports);
    const Frame bytes = frame(20, 0x22F0);
    EXPECT_DEATH(sender.send(2, bytes), "Sending on invalid network interface");
}

}  // namespace
}  // namespace qz::net
