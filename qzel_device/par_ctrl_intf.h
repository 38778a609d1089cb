// Card end of the parallel control interface: receiving host words and sending report bursts
// through the control-link FIFOs of either FPGA design.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "qzel_device/control_word.h"
#include "qzel_device/error.h"
#include "qzel_device/sleeper.h"
#include "qzel_device/xio.h"

namespace qz::device {

inline constexpr std::string_view kLinkTarget = "qzel_device::par_ctrl_intf";
inline constexpr std::string_view kAvbLinkTarget = "qzel_device::avb::par_ctrl_intf";
inline constexpr std::string_view kDanteLinkTarget = "qzel_device::dante::par_ctrl_intf";
inline constexpr std::size_t kMaxBurst = 31;

// The FIFO registers of one design.
class LinkPort {
public:
    virtual ~LinkPort() = default;
    // The next raw word of the receive FIFO, or nothing when it is empty.
    virtual std::expected<std::optional<std::uint32_t>, Error> read_raw() = 0;
    // Sends one burst of at most 31 words (the caller checks the size).
    virtual std::expected<void, Error> send_burst(std::span<const std::uint32_t> words) = 0;
};

// Milan design: the link's own mapping of the core control block and the `tx_bank` handshake.
class AvbLinkPort final : public LinkPort {
public:
    AvbLinkPort(RegisterWindow core, Sleeper& sleeper);
    std::expected<std::optional<std::uint32_t>, Error> read_raw() override;
    std::expected<void, Error> send_burst(std::span<const std::uint32_t> words) override;
    std::uint8_t tx_bank() const { return tx_bank_; }

private:
    RegisterWindow core_;
    Sleeper& sleeper_;
    std::uint8_t tx_bank_{2};  // 0 or 1: bank announced last; 2: unknown
};

// Dante design: the 8-byte link window with the FIFO ready and reset handshake.
class DanteLinkPort final : public LinkPort {
public:
    DanteLinkPort(RegisterWindow link, Sleeper& sleeper);
    std::expected<std::optional<std::uint32_t>, Error> read_raw() override;
    std::expected<void, Error> send_burst(std::span<const std::uint32_t> words) override;

private:
    // Polls up to 10 times, 1 ms apart, for `bit` in the status word.
    std::expected<bool, Error> wait_for(std::uint32_t bit);
    RegisterWindow link_;
    Sleeper& sleeper_;
};

struct ReportItem {
    std::uint8_t index;
    std::uint16_t value;
    friend bool operator==(const ReportItem&, const ReportItem&) = default;
};

enum class ReceiveStatus { Empty, Word, Dropped };

struct Received {
    ReceiveStatus status{ReceiveStatus::Empty};
    ControlWord word{};
};

class ParCtrlIntf {
public:
    explicit ParCtrlIntf(std::unique_ptr<LinkPort> port);

    // One word from the receive FIFO: a word that fails the parity or type check is logged and
    // reported as dropped.
    std::expected<Received, Error> receive();
    std::expected<void, Error> send_word(MessageType type, std::uint8_t index, std::uint16_t value);
    // One burst of report words of one type; 32 or more items is a broken invariant.
    std::expected<void, Error> send_words(MessageType type, std::span<const ReportItem> items);

    LinkPort& port() { return *port_; }

private:
    std::unique_ptr<LinkPort> port_;
};

}  // namespace qz::device
