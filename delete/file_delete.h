// Wildcard file deletion: the work behind the FileDeleteWC export.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ov::del {

inline constexpr std::size_t message_capacity = 256;  // 255 characters and the NUL
inline constexpr char not_found_format[] = "File Not Found: %s";
inline constexpr char read_only_format[] = "File Read Only or Hidden: %s";

// 1 when a refused deletion with this Win32 error code is reported as
// "read only or hidden", 0 when it reads "not found".
int is_access_class_error(std::uint32_t code);

// Deletes every file the pattern matches; 1 or 0.  Never throws.
int delete_matching_files(const char* pattern) noexcept;

// The length of the pattern's directory prefix: up to and including its
// last '\' or '/'; for a drive-relative "X:name" the two characters of the
// drive; otherwise 0.
std::size_t directory_prefix_length(const char* pattern);

}  // namespace ov::del
