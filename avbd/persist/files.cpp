#include "avbd/persist/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unique_fd.h"

namespace qz::avbd::persist {
namespace {

std::string errno_text(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::expected<void, std::string> write_all(int fd, std::string_view content) {
    // The content goes out in pieces of the daemon's 8 KiB write buffer.
    constexpr std::size_t kChunk = 8192;
    std::size_t done = 0;
    while (done < content.size()) {
        const std::size_t piece = std::min(kChunk, content.size() - done);
        const ssize_t n = ::write(fd, content.data() + done, piece);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(errno_text("write"));
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string temporary_path(const std::string& path) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path + ".tmp";
    }
    return path.substr(0, dot) + ".tmp";
}

std::string join_path(const std::string& directory, std::string_view name) {
    if (directory.empty() || directory.back() == '/') {
        return directory + std::string(name);
    }
    return directory + "/" + std::string(name);
}

std::expected<void, std::string> write_file_atomically(const std::string& path,
                                                       std::string_view content) {
    const std::string temp = temporary_path(path);
    UniqueFd fd{::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
    if (!fd.valid()) {
        return std::unexpected(errno_text("open " + temp));
    }
    if (auto written = write_all(fd.get(), content); !written) {
        return written;
    }
    // Without the sync a power cut after the rename can leave an empty or partial file under
    // the real name on a journalling flash file system.
    if (::fsync(fd.get()) != 0) {
        return std::unexpected(errno_text("fsync " + temp));
    }
    fd.reset();
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        return std::unexpected(errno_text("rename " + temp));
    }
    // The rename itself is durable only once the directory is synced; its failure does not
    // undo the write, so it is not reported.
    UniqueFd dir{::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.valid()) {
        ::fsync(dir.get());
    }
    return {};
}

std::expected<std::optional<std::string>, std::string> read_small_file(const std::string& path,
                                                                       std::size_t limit) {
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd.valid()) {
        if (errno == ENOENT) {
            return std::optional<std::string>{};
        }
        return std::unexpected(errno_text("open " + path));
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(errno_text("read " + path));
        }
        if (n == 0) {
            break;
        }
        if (content.size() + static_cast<std::size_t>(n) > limit) {
            return std::unexpected(path + " is larger than " + std::to_string(limit) + " bytes");
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return std::optional<std::string>(std::move(content));
}

}  // namespace qz::avbd::persist
