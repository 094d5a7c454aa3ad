#include "platform/StateFolder.hpp"

#include "core/Error.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <utility>

namespace velorinth {

namespace {

namespace fs = std::filesystem;

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

[[noreturn]] void failWith(int errorNumber) { throw std::system_error(errorNumber, std::generic_category()); }

std::string reasonOf(int errorNumber) { return std::generic_category().message(errorNumber); }

class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes now and reports the close's error, which for a written file can
    // be the first sign of a failed write.
    int close() noexcept { return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno; }

private:
    int fd_;
};

struct stat statusOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) failWith(errno);
    return info;
}

// A new or removed name must survive a crash as well as what is saved under it.
void syncFolder(int folder) {
    // A descriptor that only locates the folder cannot be flushed: open the folder itself.
    Descriptor readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable.get() < 0) failWith(errno);
    if (::fsync(readable.get()) != 0) failWith(errno);
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why an entry of the state cannot be trusted, or nothing. A folder where a
// file belongs, or the reverse, is no threat: the system's error says so.
std::optional<std::string> distrustOf(const struct stat& info) {
    if (S_ISLNK(info.st_mode)) return "is a symbolic link";
    if (S_ISFIFO(info.st_mode)) return "is a named pipe";
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "is a device";
    if (S_ISSOCK(info.st_mode)) return "is a socket";
    if (info.st_uid != ::geteuid()) return "belongs to user " + std::to_string(info.st_uid);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "is writable by other users (mode " + modeText(info.st_mode) + ")";
    return std::nullopt;
}

// `chosen`: the state folder itself, which the user gave or the program's default names.
void refuseDistrusted(const struct stat& info, const fs::path& path, bool chosen) {
    const std::optional<std::string> distrust = distrustOf(info);
    if (!distrust) return;
    const std::string remedy = distrust->starts_with("is writable")
                                   ? "Run chmod go-w " + path.string() + ", or give a folder of your own."
                               : chosen ? std::string("Give a folder of your own.")
                                        : std::string("Remove it, or give a folder of your own.");
    throw Error("Refusing " + path.string() + ": it " + *distrust + ". " + remedy);
}

// Refuses entry `name` of `folder` by what it is itself, a link not followed; an absent entry passes.
void refuseDistrustedEntry(int folder, const char* name, const fs::path& path, bool chosen) {
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0) refuseDistrusted(info, path, chosen);
}

struct OpenedEntry {
    Descriptor fd;
    struct stat info {};
};

// Entry `name` of `folder` opened with `flags`, never through a link, and
// checked; none, with errno set, when it cannot be opened.
std::optional<OpenedEntry> openEntry(int folder, const char* name, const fs::path& path, int flags, bool isFolder) {
    if (!isFolder) {
        // A pipe or a device is refused before it is opened: opening one can wait or act.
        struct stat before {};
        if (::fstatat(folder, name, &before, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
        refuseDistrusted(before, path, false);
    }
    OpenedEntry entry;
    entry.fd =
        Descriptor(::openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC | (isFolder ? O_DIRECTORY : O_NONBLOCK)));
    if (entry.fd.get() < 0) {
        const int error = errno;
        // A link or a pipe where a folder belongs fails as "not a directory": say what it is.
        if (error == ENOTDIR || error == ELOOP) refuseDistrustedEntry(folder, name, path, false);
        errno = error;
        return std::nullopt;
    }
    entry.info = statusOf(entry.fd.get());
    refuseDistrusted(entry.info, path, false);
    return entry;
}

// A folder this process has just made is its own: 0700 whatever the umask.
void makePrivate(int made, const struct stat& info) {
    if ((info.st_mode & 07777) != kFolderMode && ::fchmod(made, kFolderMode) != 0) failWith(errno);
}

char randomLetter() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uint8_t byte = 0;
    while (::getrandom(&byte, 1, 0) != 1) {
        if (errno != EINTR) failWith(errno);
    }
    return kLetters[byte % (sizeof kLetters - 1)];
}

void writeAll(int fd, ByteView data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            failWith(errno);
        }
        written += static_cast<std::size_t>(n);
    }
}

} // namespace

std::optional<StateFolder> StateFolder::open(const fs::path& folder, bool make) {
    fs::path target = folder.lexically_normal();
    if (!target.has_filename() && target.has_relative_path()) target = target.parent_path(); // "a/b/" is "a/b"
    Descriptor parent(::open(target.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) failWith(errno);
    const fs::path relative = target.relative_path();
    if (relative.empty()) {
        Descriptor itself(::openat(parent.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (itself.get() < 0) failWith(errno);
        refuseDistrusted(statusOf(itself.get()), target, true);
        return StateFolder(itself.release(), target);
    }
    const std::vector<fs::path> components(relative.begin(), relative.end());
    for (std::size_t i = 0; i < components.size(); ++i) {
        const bool last = i + 1 == components.size();
        const char* name = components[i].c_str();
        // The folders above the state's are the user's business and may be
        // links; they are only located, which needs no right to read them.
        const int flags = O_DIRECTORY | O_CLOEXEC | (last ? O_RDONLY | O_NOFOLLOW : O_PATH);
        Descriptor opened(::openat(parent.get(), name, flags));
        bool made = false;
        if (opened.get() < 0 && errno == ENOENT && make) {
            if (::mkdirat(parent.get(), name, kFolderMode) == 0) {
                made = true;
                syncFolder(parent.get());
            } else if (errno != EEXIST) {
                failWith(errno);
            }
            opened = Descriptor(
                ::openat(parent.get(), name, made ? O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW : flags));
        }
        if (opened.get() < 0) {
            const int error = errno;
            if (error == ENOENT && !make) return std::nullopt;
            if (last && (error == ENOTDIR || error == ELOOP)) refuseDistrustedEntry(parent.get(), name, target, true);
            failWith(error);
        }
        if (made) {
            const struct stat info = statusOf(opened.get());
            // Made by another of the user's processes in the meantime, or swapped: the check below says.
            if (info.st_uid == ::geteuid()) makePrivate(opened.get(), info);
        }
        if (last) {
            refuseDistrusted(statusOf(opened.get()), target, true);
            return StateFolder(opened.release(), target);
        }
        parent = std::move(opened);
    }
    return std::nullopt; // not reached: a relative path has a last component
}

StateFolder StateFolder::openOrMake(const fs::path& folder) {
    try {
        return std::move(*open(folder, true));
    } catch (const std::system_error& error) {
        throw Error("Cannot make the state folder " + folder.string() + ": " + reasonOf(error.code().value()) + ".");
    }
}

StateFolder::StateFolder(int descriptor, fs::path path) noexcept : descriptor_(descriptor), path_(std::move(path)) {}

StateFolder::StateFolder(StateFolder&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), lock_(std::exchange(other.lock_, -1)),
      path_(std::move(other.path_)) {}

StateFolder& StateFolder::operator=(StateFolder&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        if (lock_ >= 0) ::close(lock_);
        descriptor_ = std::exchange(other.descriptor_, -1);
        lock_ = std::exchange(other.lock_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

// Closing the lock's file lets the lock go.
StateFolder::~StateFolder() {
    if (descriptor_ >= 0) ::close(descriptor_);
    if (lock_ >= 0) ::close(lock_);
}

bool StateFolder::tryLock() {
    if (lock_ >= 0) return true;
    const fs::path file = path_ / "lock";
    const auto cannot = [&](int error) {
        return Error("Cannot lock the state folder " + path_.string() + ": " + reasonOf(error) + ".");
    };
    // Another user's lock is refused before it is opened, let alone waited on.
    refuseDistrustedEntry(descriptor_, "lock", file, false);
    Descriptor lock(::openat(descriptor_, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode));
    if (lock.get() < 0 && errno == EROFS) {
        lock = Descriptor(::openat(descriptor_, "lock", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        // Read-only and never locked: no process can save anything here to lose.
        if (lock.get() < 0 && errno == ENOENT) return true;
    }
    if (lock.get() < 0) throw cannot(errno);
    const struct stat info = statusOf(lock.get());
    refuseDistrusted(info, file, false);
    if (S_ISDIR(info.st_mode)) throw cannot(EISDIR);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) return false;
        throw cannot(error);
    }
    lock_ = lock.release();
    return true;
}

std::optional<StateFolder> StateFolder::folder(std::string_view name, bool make) const {
    const std::string entry(name);
    const fs::path path = path_ / entry;
    std::optional<OpenedEntry> opened = openEntry(descriptor_, entry.c_str(), path, O_RDONLY, true);
    if (!opened && errno == ENOENT && make) {
        const bool made = ::mkdirat(descriptor_, entry.c_str(), kFolderMode) == 0;
        if (!made && errno != EEXIST) failWith(errno);
        if (made) syncFolder(descriptor_);
        opened = openEntry(descriptor_, entry.c_str(), path, O_RDONLY, true);
        if (opened && made) makePrivate(opened->fd.get(), opened->info);
    }
    if (!opened) {
        if (errno == ENOENT && !make) return std::nullopt;
        failWith(errno);
    }
    return StateFolder(opened->fd.release(), path);
}

std::vector<std::string> StateFolder::names() const {
    const int fd = ::openat(descriptor_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) failWith(errno);
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        const int error = errno;
        ::close(fd);
        failWith(error);
    }
    std::vector<std::string> found;
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") found.emplace_back(name);
    }
    const int error = errno;
    ::closedir(listing);
    if (error != 0) failWith(error);
    return found;
}

void StateFolder::check(std::string_view name) const {
    const std::string entry(name);
    struct stat info {};
    if (::fstatat(descriptor_, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return;
        failWith(errno);
    }
    refuseDistrusted(info, path_ / entry, false);
}

std::optional<Bytes> StateFolder::read(std::string_view name, std::size_t limit) const {
    const std::string entry(name);
    std::optional<OpenedEntry> file = openEntry(descriptor_, entry.c_str(), path_ / entry, O_RDONLY, false);
    if (!file) {
        if (errno == ENOENT) return std::nullopt;
        failWith(errno);
    }
    if (S_ISDIR(file->info.st_mode)) failWith(EISDIR);
    if (static_cast<std::uintmax_t>(file->info.st_size) > limit) failWith(EFBIG);

    // Read to the end rather than trusting the size, but never past the limit.
    Bytes data;
    data.reserve(static_cast<std::size_t>(file->info.st_size));
    std::uint8_t chunk[16384];
    for (;;) {
        const ssize_t n = ::read(file->fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            secureWipe(chunk, sizeof chunk);
            failWith(errno);
        }
        if (n == 0) break;
        if (data.size() + static_cast<std::size_t>(n) > limit) {
            secureWipe(chunk, sizeof chunk);
            failWith(EFBIG);
        }
        data.insert(data.end(), chunk, chunk + n);
    }
    secureWipe(chunk, sizeof chunk);
    return data;
}

void StateFolder::write(std::string_view name, ByteView data) const {
    // The temporary name is unique, so concurrent saves of one file never
    // write into the same one; the last rename wins.
    std::string temporary;
    Descriptor file;
    for (int attempt = 0; attempt < 100 && file.get() < 0; ++attempt) {
        temporary = "." + std::string(name) + ".";
        for (int i = 0; i < 6; ++i) temporary += randomLetter();
        file = Descriptor(
            ::openat(descriptor_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
        if (file.get() < 0 && errno != EEXIST) failWith(errno);
    }
    if (file.get() < 0) failWith(EEXIST);
    try {
        if (::fchmod(file.get(), kFileMode) != 0) failWith(errno);
        writeAll(file.get(), data);
        if (::fsync(file.get()) != 0) failWith(errno);
        if (const int error = file.close(); error != 0) failWith(error);
        if (::renameat(descriptor_, temporary.c_str(), descriptor_, std::string(name).c_str()) != 0) failWith(errno);
    } catch (...) {
        ::unlinkat(descriptor_, temporary.c_str(), 0);
        throw;
    }
    syncFolder(descriptor_);
}

void StateFolder::remove(std::string_view name) const {
    if (::unlinkat(descriptor_, std::string(name).c_str(), 0) != 0) {
        if (errno == ENOENT) return;
        failWith(errno);
    }
    syncFolder(descriptor_);
}

} // namespace velorinth
