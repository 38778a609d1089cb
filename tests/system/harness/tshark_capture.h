// tshark capturing on an interface of a namespace: the independent reading of the wire.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/system/harness/netns.h"
#include "tests/system/harness/program.h"

namespace qz::systest {

bool tshark_available();

class TsharkCapture {
public:
    // Starts capturing and returns once tshark is listening.
    TsharkCapture(const Netns& ns, const std::string& interface, const std::string& pcap_path);

    // Ends the capture (the file is complete afterwards).
    void stop();

    // Decodes the capture: one row per frame that matches the display filter, one column per
    // field, as tshark prints them.
    std::vector<std::vector<std::string>> fields(const std::string& display_filter,
                                                 const std::vector<std::string>& field_names);

    // One line per captured frame, as tshark summarises it (for failure messages).
    std::string summary();

private:
    std::string pcap_path_;
    std::unique_ptr<Program> tshark_;
};

}  // namespace qz::systest
