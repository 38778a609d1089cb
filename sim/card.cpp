#include "sim/card.h"

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"

namespace qz::sim {

namespace {

template <typename Fpga>
device::CardParts make_parts(const std::shared_ptr<Fpga>& fpga, device::Sleeper& sleeper,
                             SimPeripherals& devices, bool with_pll,
                             std::unique_ptr<device::RegisterBacking> (*backing)(Fpga&,
                                                                                 std::uint32_t)) {
    device::CardParts parts;
    if (with_pll) {
        auto pll = std::make_unique<SimI2cBus>();
        devices.pll = pll.get();
        parts.pll_bus = std::move(pll);
    }
    auto dac = std::make_unique<SimI2cBus>();
    devices.dac = dac.get();
    parts.dac_bus = std::move(dac);
    auto gpio = std::make_unique<SimGpioChip>();
    devices.gpio = gpio.get();
    parts.gpio = std::move(gpio);
    auto spi = std::make_unique<RecordingSpi>();
    devices.led = spi.get();
    parts.led_spi = std::move(spi);
    parts.sleeper = &sleeper;
    parts.map_window = [fpga, backing](std::uint32_t base, std::size_t length)
        -> std::expected<device::RegisterWindow, device::IoError> {
        auto window = backing(*fpga, base);
        if (!window || window->length() != length) {
            return std::unexpected(
                device::IoError{device::IoKind::NotFound, "no such register window"});
        }
        return device::RegisterWindow(std::move(window), base);
    };
    return parts;
}

std::unique_ptr<device::RegisterBacking> milan_window(MilanFpga& fpga, std::uint32_t base) {
    switch (base) {
        case device::avb::kCoreBase:
            return fpga.core();
        case device::avb::kCounterBase:
            return fpga.counters();
        case device::avb::kRoutingBase:
            return fpga.routing();
        default:
            return nullptr;
    }
}

std::unique_ptr<device::RegisterBacking> dante_window(DanteFpga& fpga, std::uint32_t base) {
    switch (base) {
        case device::dante::kCoreBase:
            return fpga.core();
        case device::dante::kLinkBase:
            return fpga.link();
        case device::dante::kVersionBase:
            return fpga.version();
        case device::dante::kRoutingBase:
            return fpga.routing();
        default:
            return nullptr;
    }
}

}  // namespace

device::CardParts make_milan_parts(const std::shared_ptr<MilanFpga>& fpga, device::Sleeper& sleeper,
                                   SimPeripherals& devices) {
    return make_parts<MilanFpga>(fpga, sleeper, devices, true, &milan_window);
}

device::CardParts make_dante_parts(const std::shared_ptr<DanteFpga>& fpga, device::Sleeper& sleeper,
                                   SimPeripherals& devices) {
    return make_parts<DanteFpga>(fpga, sleeper, devices, false, &dante_window);
}

std::expected<std::unique_ptr<SimMilanCard>, device::Error> SimMilanCard::open() {
    auto sim = std::make_unique<SimMilanCard>();
    sim->fpga = MilanFpga::create();
    auto card = device::avb::Card::open(make_milan_parts(sim->fpga, sim->sleeper, sim->devices));
    if (!card) {
        return std::unexpected(card.error());
    }
    sim->card = std::move(*card);
    return sim;
}

device::ParCtrlIntf SimMilanCard::make_link() {
    return device::ParCtrlIntf(std::make_unique<device::AvbLinkPort>(
        device::RegisterWindow(fpga->core(), device::avb::kCoreBase), sleeper));
}

std::expected<std::unique_ptr<SimDanteCard>, device::Error> SimDanteCard::open() {
    auto sim = std::make_unique<SimDanteCard>();
    sim->fpga = DanteFpga::create();
    auto card = device::dante::Card::open(make_dante_parts(sim->fpga, sim->sleeper, sim->devices));
    if (!card) {
        return std::unexpected(card.error());
    }
    sim->card = std::move(*card);
    return sim;
}

device::ParCtrlIntf SimDanteCard::make_link() {
    return device::ParCtrlIntf(std::make_unique<device::DanteLinkPort>(
        device::RegisterWindow(fpga->link(), device::dante::kLinkBase), sleeper));
}

}  // namespace qz::sim
