// Errors of the gPTP monitor.
#pragma once

#include <cstdint>
#include <string>

namespace qz::ptp {

struct GptpError {
    enum class Kind {
        InvalidPacket,    // "Invalid gPTP packet received"
        InvalidAnnounce,  // "Invalid gPTP announce message received"
        SendFailed,
        Timeout,
        ErrorStatus,       // ptp4l answered with MANAGEMENT_ERROR_STATUS
        UnexpectedAnswer,  // an answer of another data set
    };
    Kind kind;
    std::string detail{};

    std::string text() const {
        switch (kind) {
            case Kind::InvalidPacket:
                return "Invalid gPTP packet received";
            case Kind::InvalidAnnounce:
                return "Invalid gPTP announce message received";
            case Kind::SendFailed:
                return "Sending ptp4l management request failed: " + detail;
            case Kind::Timeout:
                return "ptp4l management request timed out";
            case Kind::ErrorStatus:
                return "ptp4l management error " + detail;
            case Kind::UnexpectedAnswer:
                break;
        }
        return "Unexpected ptp4l management answer";
    }
};

}  // namespace qz::ptp
