#include "support/channel.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

namespace qz {
namespace {

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(Channel, DescriptorIsReadableExactlyWhileMessagesWait) {
    auto [tx, rx] = make_channel<int>(0);
    EXPECT_FALSE(readable(rx.fd()));
    tx.send(1);
    tx.send(2);
    EXPECT_TRUE(readable(rx.fd()));
    EXPECT_EQ(*rx.try_recv().message, 1);
    EXPECT_TRUE(readable(rx.fd()));
    EXPECT_EQ(*rx.try_recv().message, 2);
    EXPECT_FALSE(readable(rx.fd()));
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
}

TEST(Channel, ReceiverSeesDisconnectOnlyAfterTheLastSenderAndTheQueueAreGone) {
    auto [tx, rx] = make_channel<int>(0);
    {
        Sender<int> second = tx;
        second.send(7);
    }
    { Sender<int> moved = std::move(tx); }
    EXPECT_EQ(*rx.try_recv().message, 7);
    EXPECT_TRUE(readable(rx.fd()));
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
}

TEST(Channel, BoundedSendWaitsForRoomAndFailsOnceTheReceiverIsGone) {
    auto [tx, rx] = make_channel<int>(2);
    tx.send(1);
    tx.send(2);
    std::atomic<bool> third_sent{false};
    std::thread producer([&, sender = std::move(tx)]() mutable {
        EXPECT_TRUE(sender.send(3));
        third_sent = true;
        EXPECT_TRUE(sender.send(4));
        EXPECT_FALSE(sender.send(5));  // blocks until the receiver is dropped
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(third_sent.load());
    EXPECT_EQ(*rx.try_recv().message, 1);
    while (!third_sent.load()) {
        std::this_thread::yield();
    }
    EXPECT_EQ(*rx.try_recv().message, 2);
    while (rx.size() < 2) {  // 3 and 4 queued; 5 waits for room
        std::this_thread::yield();
    }
    { auto gone = std::move(rx); }
    producer.join();
}

}  // namespace
}  // namespace qz
