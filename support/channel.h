// Multi-producer, single-consumer channel whose receiving end is a pollable file descriptor.
//
// The receiver's descriptor (an eventfd) is readable while a message is queued or once every
// sender is gone, so the main loop can wait on channels and timers with one epoll. A bounded
// channel makes senders wait while it is full; a send fails once the receiver is gone.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "support/unique_fd.h"

namespace qz {

enum class RecvStatus { Message, Empty, Disconnected };

template <typename T>
struct RecvResult {
    RecvStatus status;
    std::optional<T> message;
};

namespace detail {

template <typename T>
struct ChannelCore {
    explicit ChannelCore(std::size_t cap)
        : capacity(cap), event(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (!event.valid()) {
            std::abort();  // no descriptor for a channel: nothing sensible can continue
        }
    }

    // Called with the mutex held: the descriptor is readable exactly while the receiver has
    // something to take (a message or the news that every sender is gone).
    void update_readiness() {
        const bool ready = !queue.empty() || senders == 0;
        if (ready && !signalled) {
            const std::uint64_t one = 1;
            (void)::write(event.get(), &one, sizeof(one));
            signalled = true;
        } else if (!ready && signalled) {
            std::uint64_t value = 0;
            (void)::read(event.get(), &value, sizeof(value));
            signalled = false;
        }
    }

    std::mutex mutex;
    std::condition_variable not_full;
    std::deque<T> queue;
    std::size_t capacity;  // 0: unbounded
    std::size_t senders{1};
    bool receiver_alive{true};
    bool signalled{false};
    UniqueFd event;
};

}  // namespace detail

template <typename T>
class Sender {
public:
    explicit Sender(std::shared_ptr<detail::ChannelCore<T>> core) : core_(std::move(core)) {}
    Sender(const Sender& other) : core_(other.core_) {
        if (core_) {
            std::lock_guard lock(core_->mutex);
            ++core_->senders;
        }
    }
    Sender& operator=(const Sender&) = delete;
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& other) noexcept {
        release();
        core_ = std::move(other.core_);
        return *this;
    }
    ~Sender() { release(); }

    // Queues the message, waiting while a bounded channel is full. Returns false (and drops the
    // message) when the receiver is gone.
    bool send(T message) {
        std::unique_lock lock(core_->mutex);
        core_->not_full.wait(lock, [&] {
            return !core_->receiver_alive || core_->capacity == 0 ||
                   core_->queue.size() < core_->capacity;
        });
        if (!core_->receiver_alive) {
            return false;
        }
        core_->queue.push_back(std::move(message));
        core_->update_readiness();
        return true;
    }

private:
    void release() {
        if (!core_) {
            return;
        }
        std::lock_guard lock(core_->mutex);
        --core_->senders;
        core_->update_readiness();
        core_.reset();
    }

    std::shared_ptr<detail::ChannelCore<T>> core_;
};

template <typename T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::ChannelCore<T>> core) : core_(std::move(core)) {}
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        release();
        core_ = std::move(other.core_);
        return *this;
    }
    ~Receiver() { release(); }

    int fd() const { return core_->event.get(); }

    RecvResult<T> try_recv() {
        std::lock_guard lock(core_->mutex);
        if (core_->queue.empty()) {
            return {core_->senders == 0 ? RecvStatus::Disconnected : RecvStatus::Empty, {}};
        }
        RecvResult<T> result{RecvStatus::Message, std::move(core_->queue.front())};
        core_->queue.pop_front();
        core_->update_readiness();
        core_->not_full.notify_one();
        return result;
    }

    std::size_t size() const {
        std::lock_guard lock(core_->mutex);
        return core_->queue.size();
    }

private:
    void release() {
        if (!core_) {
            return;
        }
        {
            std::lock_guard lock(core_->mutex);
            core_->receiver_alive = false;
            core_->queue.clear();
        }
        core_->not_full.notify_all();
        core_.reset();
    }

    std::shared_ptr<detail::ChannelCore<T>> core_;
};

// capacity 0 makes an unbounded channel.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
    auto core = std::make_shared<detail::ChannelCore<T>>(capacity);
    return {Sender<T>(core), Receiver<T>(core)};
}

}  // namespace qz
