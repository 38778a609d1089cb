#include "qzel_device/par_ctrl_intf.h"

#include <chrono>
#include <utility>
#include <vector>

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"
#include "support/fatal.h"
#include "support/log.h"

namespace qz::device {

using namespace std::chrono_literals;

AvbLinkPort::AvbLinkPort(RegisterWindow core, Sleeper& sleeper)
    : core_(std::move(core)), sleeper_(sleeper) {}

std::expected<std::optional<std::uint32_t>, Error> AvbLinkPort::read_raw() {
    auto pair = core_.read64(avb::kLinkData);
    if (!pair) {
        return std::unexpected(Error::io(pair.error()));
    }
    if (((*pair >> 32) & 1u) != 0) {
        return std::optional<std::uint32_t>{};
    }
    return std::optional<std::uint32_t>{static_cast<std::uint32_t>(*pair)};
}

std::expected<void, Error> AvbLinkPort::send_burst(std::span<const std::uint32_t> words) {
    sleeper_.sleep(1ms);
    if (tx_bank_ == 2) {
        auto status = core_.read32(avb::kLockStatus);
        if (!status) {
            return std::unexpected(Error::io(status.error()));
        }
        tx_bank_ = (*status & avb::kTxBankFlag) != 0 ? 1 : 0;
    } else {
        bool changed = false;
        for (int read = 0; read < 10 && !changed; ++read) {
            auto status = core_.read32(avb::kLockStatus);
            if (!status) {
                return std::unexpected(Error::io(status.error()));
            }
            const std::uint8_t shown = (*status & avb::kTxBankFlag) != 0 ? 1 : 0;
            if (shown != tx_bank_) {
                changed = true;
            } else {
                sleeper_.sleep(1ms);
            }
        }
        if (!changed) {
            qz::log::warn(kAvbLinkTarget, "Timeout while waiting for TX FIFO - reinitializing");
            tx_bank_ = 2;
            return std::unexpected(Error{ErrorKind::ParallelInterfaceTimeout, {}});
        }
        tx_bank_ ^= 1;
    }
    const auto bytes = static_cast<std::uint32_t>(words.size() * 4);
    const std::uint32_t announce = tx_bank_ == 0 ? bytes : bytes << 8;
    if (auto ok = core_.write32(avb::kTxAnnounce, announce); !ok) {
        return std::unexpected(Error::io(ok.error()));
    }
    for (std::uint32_t word : words) {
        if (auto ok = core_.write32(avb::kLinkData, word); !ok) {
            return std::unexpected(Error::io(ok.error()));
        }
    }
    return {};
}

DanteLinkPort::DanteLinkPort(RegisterWindow link, Sleeper& sleeper)
    : link_(std::move(link)), sleeper_(sleeper) {}

std::expected<std::optional<std::uint32_t>, Error> DanteLinkPort::read_raw() {
    auto status = link_.read32(dante::kLinkStatus);
    if (!status) {
        return std::unexpected(Error::io(status.error()));
    }
    if ((*status & dante::kRxEmpty) != 0) {
        return std::optional<std::uint32_t>{};
    }
    auto word = link_.read32(dante::kLinkData);
    if (!word) {
        return std::unexpected(Error::io(word.error()));
    }
    return std::optional<std::uint32_t>{*word};
}

std::expected<bool, Error> DanteLinkPort::wait_for(std::uint32_t bit) {
    for (int read = 0; read < 10; ++read) {
        auto status = link_.read32(dante::kLinkStatus);
        if (!status) {
            return std::unexpected(Error::io(status.error()));
        }
        if ((*status & bit) != 0) {
            return true;
        }
        sleeper_.sleep(1ms);
    }
    return false;
}

std::expected<void, Error> DanteLinkPort::send_burst(std::span<const std::uint32_t> words) {
    auto ready = wait_for(dante::kTxReady);
    if (!ready) {
        return std::unexpected(ready.error());
    }
    if (!*ready) {
        qz::log::warn(kDanteLinkTarget, "Timeout while waiting for TX FIFO - resetting.");
        if (auto ok = link_.write32(dante::kLinkStatus, dante::kTxReset); !ok) {
            return std::unexpected(Error::io(ok.error()));
        }
        auto reset = wait_for(dante::kTxResetDone);
        if (!reset) {
            return std::unexpected(reset.error());
        }
        if (!*reset) {
            qz::log::error(kDanteLinkTarget, "Timeout while waiting for TX FIFO reset");
            return std::unexpected(Error{ErrorKind::ParallelInterfaceTimeout, {}});
        }
        // A FIFO that stays unready after a completed reset must not hang the main loop: the
        // wait is bounded like the first one and the next send starts over.
        ready = wait_for(dante::kTxReady);
        if (!ready) {
            return std::unexpected(ready.error());
        }
        if (!*ready) {
            qz::log::error(kDanteLinkTarget, "Timeout while waiting for TX FIFO reset");
            return std::unexpected(Error{ErrorKind::ParallelInterfaceTimeout, {}});
        }
    }
    const auto bytes = static_cast<std::uint32_t>(words.size() * 4);
    if (auto ok = link_.write32(dante::kLinkStatus, bytes & 0xFF); !ok) {
        return std::unexpected(Error::io(ok.error()));
    }
    for (std::uint32_t word : words) {
        if (auto ok = link_.write32(dante::kLinkData, word); !ok) {
            return std::unexpected(Error::io(ok.error()));
        }
    }
    return {};
}

ParCtrlIntf::ParCtrlIntf(std::unique_ptr<LinkPort> port) : port_(std::move(port)) {}

std::expected<Received, Error> ParCtrlIntf::receive() {
    auto raw = port_->read_raw();
    if (!raw) {
        return std::unexpected(raw.error());
    }
    if (!raw->has_value()) {
        return Received{};
    }
    const std::uint32_t word = **raw;
    qz::log::trace(kLinkTarget, "raw_data: {}", word);
    auto decoded = decode(word);
    if (!decoded) {
        if (decoded.error().fault == DecodeFault::Parity) {
            qz::log::warn(kLinkTarget, "Parity bit not valid! Skipping request.");
        } else {
            qz::log::warn(kLinkTarget, "Received ctrl data not valid: {}", decoded.error().type);
        }
        return Received{ReceiveStatus::Dropped, {}};
    }
    return Received{ReceiveStatus::Word, *decoded};
}

std::expected<void, Error> ParCtrlIntf::send_word(MessageType type, std::uint8_t index,
                                                  std::uint16_t value) {
    const ReportItem item{index, value};
    return send_words(type, std::span<const ReportItem>(&item, 1));
}

std::expected<void, Error> ParCtrlIntf::send_words(MessageType type,
                                                   std::span<const ReportItem> items) {
    if (items.size() >= 32) {
        qz::fatal("assertion failed: data.len() < 32");
    }
    std::uint32_t words[kMaxBurst];
    for (std::size_t i = 0; i < items.size(); ++i) {
        words[i] = encode(type, items[i].index, items[i].value, Op::Notif);
    }
    return port_->send_burst(std::span<const std::uint32_t>(words, items.size()));
}

}  // namespace qz::device
