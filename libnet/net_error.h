// The error of the Ethernet frame I/O layer.
#pragma once

#include <string>
#include <utility>

namespace qz::net {

class NetIoError {
public:
    enum class Kind { Wrapped, Timeout, Generic };

    static NetIoError wrapped(std::string cause) {
        return NetIoError(Kind::Wrapped, std::move(cause));
    }
    static NetIoError timeout() { return NetIoError(Kind::Timeout, {}); }
    static NetIoError generic() { return NetIoError(Kind::Generic, {}); }

    Kind kind() const { return kind_; }

    std::string text() const {
        switch (kind_) {
            case Kind::Wrapped:
                return "NetIoError: " + cause_;
            case Kind::Timeout:
                return "NetIoError: Timeout expired";
            case Kind::Generic:
                break;
        }
        return "NetIoError: Generic Error. sorry!";
    }

private:
    NetIoError(Kind kind, std::string cause) : kind_(kind), cause_(std::move(cause)) {}

    Kind kind_;
    std::string cause_;
};

}  // namespace qz::net
