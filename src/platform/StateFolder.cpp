#include "platform/StateFolder.hpp"

#include "core/Error.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace velorinth {

namespace {

namespace fs = std::filesystem;

constexpr mode_t kFolderMode = 0700;

[[noreturn]] void failWith(int errorNumber) { throw std::system_error(errorNumber, std::generic_category()); }

// A new folder's name must survive a crash as well as what is later saved in it.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) failWith(errno);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0) failWith(error);
}

std::string reasonOf(int errorNumber) { return std::generic_category().message(errorNumber); }

} // namespace

void StateFolder::makePrivately(const fs::path& folder) {
    fs::path prefix;
    for (const fs::path& component : folder) {
        prefix /= component;
        if (::mkdir(prefix.c_str(), kFolderMode) == 0) {
            // mkdir applies the umask; the mode must not depend on it.
            if (::chmod(prefix.c_str(), kFolderMode) != 0) failWith(errno);
            if (prefix.has_parent_path()) syncFolder(prefix.parent_path());
            continue;
        }
        if (errno != EEXIST) failWith(errno);
        struct stat info {};
        if (::stat(prefix.c_str(), &info) != 0) failWith(errno);
        if (!S_ISDIR(info.st_mode)) failWith(ENOTDIR);
    }
}

std::optional<StateFolder> StateFolder::tryHold(const fs::path& folder) {
    try {
        makePrivately(folder);
    } catch (const std::system_error& error) {
        throw Error("Cannot make the state folder " + folder.string() + ": " + reasonOf(error.code().value()) + ".");
    }
    const fs::path file = folder / "lock";
    const int lock = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) {
        const int error = errno;
        throw Error("Cannot lock the state folder " + folder.string() + ": " + reasonOf(error) + ".");
    }
    StateFolder held(lock);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) return std::nullopt;
        throw Error("Cannot lock the state folder " + folder.string() + ": " + reasonOf(error) + ".");
    }
    return held;
}

StateFolder::StateFolder(int lock) noexcept : lock_(lock) {}

StateFolder::StateFolder(StateFolder&& other) noexcept : lock_(std::exchange(other.lock_, -1)) {}

StateFolder& StateFolder::operator=(StateFolder&& other) noexcept {
    if (this != &other) {
        if (lock_ >= 0) ::close(lock_);
        lock_ = std::exchange(other.lock_, -1);
    }
    return *this;
}

// Closing the file lets the lock go.
StateFolder::~StateFolder() {
    if (lock_ >= 0) ::close(lock_);
}

} // namespace velorinth
