// The files a daemon on the simulated card needs: a user-data directory and the two boot flash
// partitions as image files, plus the command line of qzel_avbd_sim over them.
#pragma once

#include <string>
#include <vector>

namespace qz::systest {

struct SimCardFiles {
    // Creates "<directory>/user" and the flash images (version 1.2.3, serial "QZ000042",
    // no OEM archive).
    explicit SimCardFiles(const std::string& directory);

    std::string data_directory;
    std::string oem_flash;
    std::string serial_flash;
    std::string host_socket;

    std::vector<std::string> daemon_argv() const;
};

}  // namespace qz::systest
