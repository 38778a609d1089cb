// File helpers of the daemon's stored state: the atomic write that survives a kill or a power cut
// at any moment, and a bounded whole-file read.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace qz::avbd::persist {

// The temporary file a stored file is written through: its extension replaced by "tmp"
// ("current.json" -> "current.tmp", "maap0.addr" -> "maap0.tmp").
std::string temporary_path(const std::string& path);

// Writes `content` to the temporary file (mode 0666 before the umask), syncs it, renames it over
// `path` and syncs the directory, so the file is always either the old or the new content.
// On failure the real file is unchanged.
std::expected<void, std::string> write_file_atomically(const std::string& path,
                                                       std::string_view content);

// Reads a whole file of at most `limit` bytes. Nothing when the file does not exist; an error
// when it cannot be read or is larger than the limit.
std::expected<std::optional<std::string>, std::string> read_small_file(const std::string& path,
                                                                       std::size_t limit);

// The directory path joined with a file name.
std::string join_path(const std::string& directory, std::string_view name);

}  // namespace qz::avbd::persist
