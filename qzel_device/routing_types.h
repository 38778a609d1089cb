// The routing model both designs keep: bank routing as the host sets it and the channel routing
// that is written to the FPGA.
#pragma once

#include <array>
#include <cstdint>

namespace qz::device {

// Source bank codes; 8-15 are the network receive banks (Avb1-Avb8 or Dante1-Dante8).
enum class RoutingBank : std::uint8_t {
    Pci1 = 0,
    Pci8 = 7,
    Net1 = 8,
    Net8 = 15,
    MadiA1 = 16,
    MadiA2 = 17,
    MadiB1 = 18,
    MadiB2 = 19,
    Unrouted = 20,
};

inline constexpr std::uint8_t kUnroutedCode = 255;  // how a host byte of 20 or more is stored

struct BlockRoutingBanks {
    std::array<std::uint8_t, 8> pci{};   // host recording banks 0-7
    std::array<std::uint8_t, 8> net{};   // network transmit banks 0-7
    std::array<std::uint8_t, 4> madi{};  // MADI outputs A1, A2, B1, B2
    bool aes3_in_enabled{false};
    std::uint8_t aes3_in_pair{0};
    std::uint8_t aes3_out_pair{0};

    friend bool operator==(const BlockRoutingBanks&, const BlockRoutingBanks&) = default;
};

enum class SourceKind : std::uint16_t { None, Pci, Net, Madi, Aes3 };

// One channel's source. Net is { stream, channel } in Milan mode and { channel } (in `a`) in
// Dante mode; Madi is { port, channel }; Pci and Aes3 use `a` only.
struct RoutingSource {
    SourceKind kind{SourceKind::None};
    std::uint16_t a{0};
    std::uint16_t b{0};

    static constexpr RoutingSource none() { return {}; }
    static constexpr RoutingSource pci(std::uint16_t ch) { return {SourceKind::Pci, ch, 0}; }
    static constexpr RoutingSource stream(std::uint16_t stream, std::uint16_t ch) {
        return {SourceKind::Net, stream, ch};
    }
    static constexpr RoutingSource dante(std::uint16_t ch) { return {SourceKind::Net, ch, 0}; }
    static constexpr RoutingSource madi(std::uint16_t port, std::uint16_t ch) {
        return {SourceKind::Madi, port, ch};
    }
    static constexpr RoutingSource aes3(std::uint16_t ch) { return {SourceKind::Aes3, ch, 0}; }

    friend bool operator==(const RoutingSource&, const RoutingSource&) = default;
};

struct ChannelRoutingBanks {
    std::array<RoutingSource, 512> pci{};                 // host recording channels
    std::array<RoutingSource, 512> net{};                 // Milan: stream * 32 + slot channel
    std::array<std::array<RoutingSource, 64>, 4> madi{};  // MADI output ports
    std::array<RoutingSource, 2> aes3{};                  // AES3 output (Milan)
};

}  // namespace qz::device
