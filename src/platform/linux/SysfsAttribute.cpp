#include "platform/linux/SysfsAttribute.hpp"

#include "core/Text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velorinth {

std::optional<std::string> readSysfsAttribute(const std::filesystem::path& path) noexcept {
    try {
        // Non-blocking, so a FIFO planted in a fake tree cannot hold the reader.
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (descriptor < 0) return std::nullopt;
        struct stat info {};
        std::string text;
        bool usable = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
        char buffer[512];
        while (usable) {
            const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) usable = false;
            if (count <= 0) break;
            text.append(buffer, static_cast<std::size_t>(count));
            usable = text.size() <= kSysfsAttributeMaximumSize;
        }
        ::close(descriptor);
        if (!usable) return std::nullopt;
        while (!text.empty() && isAsciiWhitespace(text.back())) text.pop_back();
        return text;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace velorinth
