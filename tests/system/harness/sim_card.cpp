#include "tests/system/harness/sim_card.h"

#include <filesystem>
#include <fstream>

#include "tests/system/harness/card_sandbox.h"

namespace qz::systest {

SimCardFiles::SimCardFiles(const std::string& directory)
    : data_directory(directory + "/user"),
      oem_flash(directory + "/mtdblock1.img"),
      serial_flash(directory + "/mtdblock0.img"),
      host_socket(directory + "/host-link.sock") {
    std::filesystem::create_directories(data_directory);
    std::string flash1(0x20000 + 1024, '\0');  // an empty archive after the version record
    flash1[0x10000] = 1;
    flash1[0x10001] = 2;
    flash1[0x10002] = 3;
    std::ofstream(oem_flash, std::ios::binary) << flash1;
    std::string flash0(0x1000, '\xff');
    flash0.replace(0x440, 8, "QZ000042");
    std::ofstream(serial_flash, std::ios::binary) << flash0;
}

std::vector<std::string> SimCardFiles::daemon_argv() const {
    return {built_program("avbd/qzel_avbd_sim"),
            "--data-dir",
            data_directory,
            "--oem-flash",
            oem_flash,
            "--serial-flash",
            serial_flash,
            "--host-socket",
            host_socket};
}

}  // namespace qz::systest
