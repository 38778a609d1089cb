#include "qzel_device/linux_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <linux/spi/spidev.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qz::device {
namespace {

std::string errno_text(int error_number) {
    return std::strerror(error_number);
}

Error ioctl_error(ErrorKind kind, const char* request, int error_number) {
    return Error{kind, std::string("Ioctl to ") + request + " failed: " + errno_text(error_number)};
}

}  // namespace

// --- I2C --------------------------------------------------------------------------------------

std::expected<std::unique_ptr<LinuxI2cBus>, Error> LinuxI2cBus::open(const std::string& path) {
    UniqueFd fd{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (!fd.valid()) {
        return std::unexpected(Error{ErrorKind::I2c, path + ": " + errno_text(errno)});
    }
    return std::unique_ptr<LinuxI2cBus>(new LinuxI2cBus(std::move(fd)));
}

std::expected<void, Error> LinuxI2cBus::write(std::uint8_t address,
                                              std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
    i2c_msg message{};
    message.addr = address;
    message.flags = 0;
    message.len = static_cast<__u16>(buffer.size());
    message.buf = buffer.data();
    i2c_rdwr_ioctl_data transfer{&message, 1};
    if (::ioctl(fd_.get(), I2C_RDWR, &transfer) < 0) {
        return std::unexpected(ioctl_error(ErrorKind::I2c, "I2C_RDWR", errno));
    }
    return {};
}

std::expected<std::uint8_t, Error> LinuxI2cBus::read_register(std::uint8_t address,
                                                              std::uint8_t reg) {
    std::uint8_t out = reg;
    std::uint8_t in = 0;
    i2c_msg messages[2]{};
    messages[0].addr = address;
    messages[0].len = 1;
    messages[0].buf = &out;
    messages[1].addr = address;
    messages[1].flags = I2C_M_RD;
    messages[1].len = 1;
    messages[1].buf = &in;
    i2c_rdwr_ioctl_data transfer{messages, 2};
    if (::ioctl(fd_.get(), I2C_RDWR, &transfer) < 0) {
        return std::unexpected(ioctl_error(ErrorKind::I2c, "I2C_RDWR", errno));
    }
    return in;
}

// --- GPIO -------------------------------------------------------------------------------------

std::uint64_t gpio_v2_flags(std::uint32_t v1) {
    std::uint64_t flags = 0;
    if ((v1 & kGpioInput) != 0) {
        flags |= GPIO_V2_LINE_FLAG_INPUT;
    }
    if ((v1 & kGpioOutput) != 0) {
        flags |= GPIO_V2_LINE_FLAG_OUTPUT;
    }
    if ((v1 & kGpioActiveLow) != 0) {
        flags |= GPIO_V2_LINE_FLAG_ACTIVE_LOW;
    }
    return flags;
}

std::expected<GpioLine, Error> LinuxGpioChip::request_line(std::uint32_t offset,
                                                           std::uint32_t flags, bool value) {
    if (!v1_only_) {
        gpio_v2_line_request request{};
        request.offsets[0] = offset;
        request.num_lines = 1;
        std::strncpy(request.consumer, "qzel_device", sizeof(request.consumer) - 1);
        request.config.flags = gpio_v2_flags(flags);
        if ((flags & kGpioOutput) != 0) {
            request.config.num_attrs = 1;
            request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
            request.config.attrs[0].attr.values = value ? 1 : 0;
            request.config.attrs[0].mask = 1;
        }
        if (::ioctl(chip_.get(), GPIO_V2_GET_LINE_IOCTL, &request) == 0) {
            lines_.push_back(Line{UniqueFd{request.fd}, true});
            return lines_.size() - 1;
        }
        if (errno != ENOTTY && errno != EINVAL) {
            return std::unexpected(ioctl_error(ErrorKind::Gpio, "GPIO_V2_GET_LINE_IOCTL", errno));
        }
        v1_only_ = true;  // a kernel without the second interface version
    }
    gpiohandle_request request{};
    request.lineoffsets[0] = offset;
    request.lines = 1;
    request.flags = flags;
    request.default_values[0] = value ? 1 : 0;
    std::strncpy(request.consumer_label, "qzel_device", sizeof(request.consumer_label) - 1);
    if (::ioctl(chip_.get(), GPIO_GET_LINEHANDLE_IOCTL, &request) < 0) {
        return std::unexpected(ioctl_error(ErrorKind::Gpio, "GPIO_GET_LINEHANDLE_IOCTL", errno));
    }
    lines_.push_back(Line{UniqueFd{request.fd}, false});
    return lines_.size() - 1;
}

std::expected<void, Error> LinuxGpioChip::set_line(GpioLine line, bool value) {
    if (line >= lines_.size()) {
        return std::unexpected(
            Error{ErrorKind::Gpio, "Invalid request: 1 values requested to be set but only " +
                                       std::to_string(lines_.size()) + " lines are open"});
    }
    const Line& l = lines_[line];
    if (l.v2) {
        gpio_v2_line_values values{value ? 1ull : 0ull, 1};
        if (::ioctl(l.fd.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) {
            return std::unexpected(
                ioctl_error(ErrorKind::Gpio, "GPIO_V2_LINE_SET_VALUES_IOCTL", errno));
        }
        return {};
    }
    gpiohandle_data data{};
    data.values[0] = value ? 1 : 0;
    if (::ioctl(l.fd.get(), GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data) < 0) {
        return std::unexpected(
            ioctl_error(ErrorKind::Gpio, "GPIOHANDLE_SET_LINE_VALUES_IOCTL", errno));
    }
    return {};
}

std::expected<bool, Error> LinuxGpioChip::get_line(GpioLine line) {
    if (line >= lines_.size()) {
        return std::unexpected(
            Error{ErrorKind::Gpio, "line " + std::to_string(line) + " is not open"});
    }
    const Line& l = lines_[line];
    if (l.v2) {
        gpio_v2_line_values values{0, 1};
        if (::ioctl(l.fd.get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) {
            return std::unexpected(
                ioctl_error(ErrorKind::Gpio, "GPIO_V2_LINE_GET_VALUES_IOCTL", errno));
        }
        return (values.bits & 1u) != 0;
    }
    gpiohandle_data data{};
    if (::ioctl(l.fd.get(), GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data) < 0) {
        return std::unexpected(
            ioctl_error(ErrorKind::Gpio, "GPIOHANDLE_GET_LINE_VALUES_IOCTL", errno));
    }
    return data.values[0] != 0;
}

std::expected<ProbedChip, Error> probe_gpio_chip(const std::string& path) {
    UniqueFd fd{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (!fd.valid()) {
        return std::unexpected(Error{ErrorKind::Gpio, path + ": " + errno_text(errno)});
    }
    gpiochip_info info{};
    if (::ioctl(fd.get(), GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
        return std::unexpected(ioctl_error(ErrorKind::Gpio, "GPIO_GET_CHIPINFO_IOCTL", errno));
    }
    info.label[sizeof(info.label) - 1] = '\0';
    return ProbedChip{std::move(fd), std::string(info.label)};
}

std::expected<ProbedChip, Error> find_gpio_chip(const std::string& directory,
                                                const std::string& label,
                                                const GpioChipProbe& probe) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return std::unexpected(Error{ErrorKind::Gpio, directory + ": " + errno_text(errno)});
    }
    // Directory order is arbitrary; walk the entries in name order so the choice is stable.
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.starts_with("gpiochip")) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        auto chip = probe(directory + "/" + name);
        if (chip && chip->label == label) {
            return chip;
        }
        // A chip that cannot be asked or has another label is closed here; the search goes on.
    }
    return std::unexpected(Error{ErrorKind::Gpio, "no GPIO chip labelled " + label});
}

std::expected<std::unique_ptr<GpioChip>, Error> open_gpio_chip(const std::string& directory,
                                                               const std::string& label) {
    auto chip = find_gpio_chip(directory, label, probe_gpio_chip);
    if (!chip) {
        return std::unexpected(chip.error());
    }
    return std::make_unique<LinuxGpioChip>(std::move(chip->fd));
}

// --- SPI --------------------------------------------------------------------------------------

std::expected<std::unique_ptr<LinuxSpiDevice>, Error> LinuxSpiDevice::open(
    const std::string& path, std::uint8_t bits_per_word, std::uint32_t speed_hz) {
    UniqueFd fd{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (!fd.valid()) {
        return std::unexpected(Error{ErrorKind::SpiOpen, errno_text(errno)});
    }
    if (::ioctl(fd.get(), SPI_IOC_WR_BITS_PER_WORD, &bits_per_word) < 0 ||
        ::ioctl(fd.get(), SPI_IOC_WR_MAX_SPEED_HZ, &speed_hz) < 0) {
        return std::unexpected(Error{ErrorKind::SpiConfig, errno_text(errno)});
    }
    return std::unique_ptr<LinuxSpiDevice>(new LinuxSpiDevice(std::move(fd)));
}

std::expected<void, Error> LinuxSpiDevice::write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(Error{ErrorKind::Spi, errno_text(errno)});
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

// --- MII --------------------------------------------------------------------------------------

std::expected<std::unique_ptr<LinuxMiiBus>, Error> LinuxMiiBus::open(const std::string& interface) {
    if (interface.empty() || interface.size() >= IFNAMSIZ) {
        return std::unexpected(Error{ErrorKind::Io, "invalid interface name " + interface});
    }
    UniqueFd fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!fd.valid()) {
        return std::unexpected(Error{ErrorKind::Io, errno_text(errno)});
    }
    return std::unique_ptr<LinuxMiiBus>(new LinuxMiiBus(std::move(fd), interface));
}

namespace {
// The MII data lives inside the request's union, as the kernel's MII ioctls expect.
ifreq mii_request(const std::string& interface, std::uint16_t phy, std::uint16_t reg,
                  std::uint16_t value) {
    ifreq request{};
    std::memcpy(request.ifr_name, interface.c_str(), interface.size());
    mii_ioctl_data data{};
    data.phy_id = phy;
    data.reg_num = reg;
    data.val_in = value;
    static_assert(sizeof(data) <= sizeof(request.ifr_ifru));
    std::memcpy(&request.ifr_ifru, &data, sizeof(data));
    return request;
}
}  // namespace

std::expected<std::uint16_t, Error> LinuxMiiBus::read(std::uint16_t phy, std::uint16_t reg) {
    ifreq request = mii_request(interface_, phy, reg, 0);
    if (::ioctl(socket_.get(), SIOCGMIIREG, &request) < 0) {
        return std::unexpected(ioctl_error(ErrorKind::Io, "SIOCGMIIREG", errno));
    }
    mii_ioctl_data data{};
    std::memcpy(&data, &request.ifr_ifru, sizeof(data));
    return data.val_out;
}

std::expected<void, Error> LinuxMiiBus::write(std::uint16_t phy, std::uint16_t reg,
                                              std::uint16_t value) {
    ifreq request = mii_request(interface_, phy, reg, value);
    if (::ioctl(socket_.get(), SIOCSMIIREG, &request) < 0) {
        return std::unexpected(ioctl_error(ErrorKind::Io, "SIOCSMIIREG", errno));
    }
    return {};
}

}  // namespace qz::device
