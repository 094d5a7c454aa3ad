#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace velorinth {

// Attributes larger than this count as absent: a sysfs value is a short line.
inline constexpr std::size_t kSysfsAttributeMaximumSize = 4096;

// The text of one sysfs attribute file without its trailing white space; none
// when it is missing, unreadable, not a regular file or over the size bound.
// Never throws.
std::optional<std::string> readSysfsAttribute(const std::filesystem::path& path) noexcept;

} // namespace velorinth
