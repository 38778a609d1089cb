// The simulated card: both FPGA designs, recording peripherals and the host end of the control
// link, bundled with a card object that runs the library's own code on them.
#pragma once

#include <expected>
#include <memory>
#include <vector>

#include "qzel_device/avb/card.h"
#include "qzel_device/control_word.h"
#include "qzel_device/dante/card.h"
#include "qzel_device/par_ctrl_intf.h"
#include "sim/devices.h"
#include "sim/fpga.h"
#include "sim/sleeper.h"

namespace qz::sim {

// What the host sees of the control link: words go in, report bursts come out.
template <typename Fpga>
class HostEnd {
public:
    explicit HostEnd(std::shared_ptr<Fpga> fpga) : fpga_(std::move(fpga)) {}
    void send(const device::ControlWord& word) { fpga_->host_send(device::encode(word)); }
    void send_raw(std::uint32_t raw) { fpga_->host_send(raw); }
    // The words of every burst the card sent since the last call, decoded; a word failing the
    // parity or type check is a fault of the card end and shows as type 0.
    std::vector<device::ControlWord> take_reports() {
        std::vector<device::ControlWord> words;
        for (const Burst& burst : fpga_->host_take()) {
            for (std::uint32_t raw : burst.words) {
                words.push_back(device::decode(raw).value_or(device::ControlWord{}));
            }
        }
        return words;
    }

private:
    std::shared_ptr<Fpga> fpga_;
};

// Peripherals handed to a card object; the pointers stay valid while the card lives (and are
// dangling once a failed open has dropped the parts).
struct SimPeripherals {
    SimI2cBus* pll{nullptr};
    SimI2cBus* dac{nullptr};
    SimGpioChip* gpio{nullptr};
    RecordingSpi* led{nullptr};
};

// The parts of a card object on simulated hardware; a test may change them (make a device fail)
// before opening the card.
device::CardParts make_milan_parts(const std::shared_ptr<MilanFpga>& fpga, device::Sleeper& sleeper,
                                   SimPeripherals& devices);
device::CardParts make_dante_parts(const std::shared_ptr<DanteFpga>& fpga, device::Sleeper& sleeper,
                                   SimPeripherals& devices);

class SimMilanCard {
public:
    // Builds the simulated hardware and opens a card object on it.
    static std::expected<std::unique_ptr<SimMilanCard>, device::Error> open();

    // The daemon's own link object on a second mapping of the core control block.
    device::ParCtrlIntf make_link();
    HostEnd<MilanFpga> host() { return HostEnd<MilanFpga>(fpga); }

    std::shared_ptr<MilanFpga> fpga;
    FakeClock clock;
    FakeSleeper sleeper{clock};
    SimPeripherals devices;
    std::unique_ptr<device::avb::Card> card;
};

class SimDanteCard {
public:
    static std::expected<std::unique_ptr<SimDanteCard>, device::Error> open();
    device::ParCtrlIntf make_link();
    HostEnd<DanteFpga> host() { return HostEnd<DanteFpga>(fpga); }

    std::shared_ptr<DanteFpga> fpga;
    FakeClock clock;
    FakeSleeper sleeper{clock};
    SimPeripherals devices;
    std::unique_ptr<device::dante::Card> card;
};

}  // namespace qz::sim
