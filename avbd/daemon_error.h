// The errors that end the Milan daemon's start-up.
#pragma once

#include <string>
#include <utility>

namespace qz::avbd {

class DaemonError {
public:
    enum class Kind { NetIo, Device, Strimo, Netlink };

    DaemonError(Kind kind, std::string cause) : kind_(kind), cause_(std::move(cause)) {}

    Kind kind() const { return kind_; }

    std::string text() const {
        switch (kind_) {
            case Kind::NetIo:
                return "Network IO error: " + cause_;
            case Kind::Device:
                return "Device error: " + cause_;
            case Kind::Strimo:
                return "strimo error: " + cause_;
            case Kind::Netlink:
                break;
        }
        return "Netlink error: " + cause_;
    }

private:
    Kind kind_;
    std::string cause_;
};

}  // namespace qz::avbd
