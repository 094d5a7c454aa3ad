#include "platform/linux/FileSecureStore.hpp"

#include "platform/StateFolder.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velorinth {

namespace {

using Case = SecureStoreError::Case;
namespace fs = std::filesystem;

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

[[noreturn]] void fail(Case kind, int errorNumber) { throw SecureStoreError(kind, errorNumber); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    // Closes now and reports the close error, which for a written file can be
    // the first sign of a failed write.
    int close() noexcept {
        int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

void requireValidNames(Case kind, std::string_view service, std::string_view account) {
    if (!isValidSecureStoreName(service) || !isValidSecureStoreName(account)) fail(kind, EINVAL);
}

// Flushes a directory's entries (a rename, a new or removed name) to disk.
void syncDirectory(const fs::path& directory, Case kind) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail(kind, errno);
    FileDescriptor guard(fd);
    if (::fsync(fd) != 0) fail(kind, errno);
}

void setDirectoryMode(const fs::path& directory, Case kind) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) fail(kind, errno);
    if (!S_ISDIR(info.st_mode)) fail(kind, ENOTDIR);
    if ((info.st_mode & 07777) != kDirectoryMode && ::chmod(directory.c_str(), kDirectoryMode) != 0) fail(kind, errno);
}

// Creates every missing component of `directory` as 0700; one that exists keeps its mode.
void createDirectories(const fs::path& directory, Case kind) {
    try {
        StateFolder::makePrivately(directory);
    } catch (const std::system_error& error) {
        fail(kind, error.code().value());
    }
}

void writeAll(int fd, ByteView data) {
    std::size_t written = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(Case::saveFailed, errno);
        }
        written += static_cast<std::size_t>(n);
    }
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir &&
        result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return {};
}

} // namespace

std::shared_ptr<SecureStore> SecureStore::create() { return std::make_shared<FileSecureStore>(); }

FileSecureStore::FileSecureStore() : root_(defaultRoot()) {}

FileSecureStore::FileSecureStore(fs::path root) : root_(std::move(root)) {}

fs::path FileSecureStore::defaultRoot() {
    fs::path dataHome;
    // Relative values are invalid by the XDG rules and are ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        dataHome = xdg;
    } else if (auto home = homeDirectory(); !home.empty()) {
        dataHome = fs::path(home) / ".local" / "share";
    } else {
        return {};
    }
    return dataHome / "velorinth" / "secure-store";
}

std::optional<Bytes> FileSecureStore::load(std::string_view service, std::string_view account) {
    requireValidNames(Case::loadFailed, service, account);
    if (root_.empty()) return std::nullopt; // no home, so nothing can have been stored
    const fs::path path = root_ / service / account;

    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail(Case::loadFailed, errno);
    }
    FileDescriptor file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) fail(Case::loadFailed, errno);
    if (S_ISDIR(info.st_mode)) fail(Case::loadFailed, EISDIR);
    if (!S_ISREG(info.st_mode)) fail(Case::loadFailed, EINVAL);
    if (static_cast<std::uintmax_t>(info.st_size) > kSecureStoreMaximumItemSize) fail(Case::loadFailed, EFBIG);

    // Read to the end rather than trusting the size, but never past the limit.
    Bytes data;
    data.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t chunk[16384];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(Case::loadFailed, errno);
        }
        if (n == 0) break;
        if (data.size() + static_cast<std::size_t>(n) > kSecureStoreMaximumItemSize) fail(Case::loadFailed, EFBIG);
        data.insert(data.end(), chunk, chunk + n);
    }
    secureWipe(chunk, sizeof chunk);
    return data;
}

void FileSecureStore::save(ByteView data, std::string_view service, std::string_view account) {
    requireValidNames(Case::saveFailed, service, account);
    if (root_.empty()) fail(Case::saveFailed, ENOENT);
    if (data.size() > kSecureStoreMaximumItemSize) fail(Case::saveFailed, EFBIG);

    const fs::path directory = root_ / service;
    createDirectories(directory, Case::saveFailed);
    // The root may be a folder its user gave (a relay's --state-dir, say):
    // it keeps its mode. The service folder holding the items is the store's own.
    setDirectoryMode(directory, Case::saveFailed);

    // The temporary name is unique, so concurrent saves of one item never
    // write into the same file; the last rename wins.
    std::string temporary = (directory / ("." + std::string(account) + ".XXXXXX")).string();
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) fail(Case::saveFailed, errno);
    FileDescriptor file(fd);
    try {
        if (::fchmod(fd, kFileMode) != 0) fail(Case::saveFailed, errno);
        writeAll(fd, data);
        if (::fsync(fd) != 0) fail(Case::saveFailed, errno);
        if (int error = file.close(); error != 0) fail(Case::saveFailed, error);
        if (::rename(temporary.c_str(), (directory / account).c_str()) != 0) fail(Case::saveFailed, errno);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectory(directory, Case::saveFailed);
}

void FileSecureStore::deleteItem(std::string_view service, std::string_view account) {
    requireValidNames(Case::deleteFailed, service, account);
    if (root_.empty()) return;
    const fs::path directory = root_ / service;
    if (::unlink((directory / account).c_str()) != 0) {
        if (errno == ENOENT) return;
        fail(Case::deleteFailed, errno);
    }
    // A removed identity must stay removed after a crash.
    syncDirectory(directory, Case::deleteFailed);
}

} // namespace velorinth
