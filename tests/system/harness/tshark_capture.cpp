#include "tests/system/harness/tshark_capture.h"

#include <csignal>
#include <sstream>
#include <thread>

#include "tests/system/harness/command.h"

namespace qz::systest {

bool tshark_available() {
    return run_command({"tshark", "--version"}).status == 0;
}

TsharkCapture::TsharkCapture(const Netns& ns, const std::string& interface,
                             const std::string& pcap_path)
    : pcap_path_(pcap_path) {
    auto command = ns.exec_prefix();
    command.insert(command.end(), {"tshark", "-q", "-i", interface, "-w", pcap_path});
    tshark_ = std::make_unique<Program>(command, pcap_path + ".log");
    for (int i = 0; i < 1000 && tshark_->output().find("Capturing on") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void TsharkCapture::stop() {
    if (tshark_->running()) {
        // Give frames just sent time to reach the capture before it ends.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        tshark_->signal(SIGINT);
        tshark_->wait_exit(std::chrono::seconds(10));
    }
}

std::string TsharkCapture::summary() {
    stop();
    return run_command({"tshark", "-r", pcap_path_}, false).output;
}

std::vector<std::vector<std::string>> TsharkCapture::fields(
    const std::string& display_filter, const std::vector<std::string>& field_names) {
    stop();
    std::vector<std::string> command{"tshark", "-r",     pcap_path_, "-Y",          display_filter,
                                     "-T",     "fields", "-E",       "separator=/t"};
    for (const auto& field : field_names) {
        command.push_back("-e");
        command.push_back(field);
    }
    const auto result = run_command(command, false);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> row;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) {
            row.push_back(cell);
        }
        row.resize(field_names.size());
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace qz::systest
