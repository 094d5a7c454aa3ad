#include "platform/linux/FileSecureStore.hpp"

#include "core/Constants.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace velorinth {

namespace {

using Case = SecureStoreError::Case;
namespace fs = std::filesystem;

[[noreturn]] void fail(Case kind, int errorNumber) { throw SecureStoreError(kind, errorNumber); }

void requireValidNames(Case kind, std::string_view service, std::string_view account) {
    if (!isValidSecureStoreName(service) || !isValidSecureStoreName(account)) fail(kind, EINVAL);
}

// Runs `operation`, a failure of the system reported as the store's `kind`
// of failure; a refusal of the state passes as it is.
template <typename Operation>
auto failingAs(Case kind, Operation&& operation) {
    try {
        return operation();
    } catch (const std::system_error& error) {
        fail(kind, error.code().value());
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

FileSecureStore::FileSecureStore(std::shared_ptr<const StateFolder> state, std::string rootName)
    : root_(rootName.empty() ? state->path() : state->path() / rootName), state_(std::move(state)),
      rootName_(std::move(rootName)) {}

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

const StateFolder* FileSecureStore::rootFolder(std::optional<StateFolder>& opened, bool make) const {
    if (state_ && rootName_.empty()) return state_.get();
    opened = state_ ? state_->folder(rootName_, make) : StateFolder::open(root_, make);
    return opened ? &*opened : nullptr;
}

std::optional<StateFolder> FileSecureStore::serviceFolder(std::string_view service, bool make) const {
    std::optional<StateFolder> opened;
    const StateFolder* root = rootFolder(opened, make);
    if (root == nullptr) return std::nullopt;
    return root->folder(service, make);
}

void FileSecureStore::check() const {
    if (root_.empty()) return;
    failingAs(Case::loadFailed, [&] {
        std::optional<StateFolder> opened;
        const StateFolder* root = rootFolder(opened, false);
        if (root == nullptr) return;
        for (const std::string& name : root->names()) {
            // A folder given to the relay may hold what is none of the store's business.
            if (!name.starts_with(kApplicationIdentifierPrefix)) continue;
            std::optional<StateFolder> service;
            try {
                service = root->folder(name, false);
            } catch (const std::system_error& error) {
                if (error.code().value() == ENOTDIR) continue; // a file, which no load reads
                throw;
            }
            if (!service) continue; // gone meanwhile
            for (const std::string& item : service->names()) service->check(item);
        }
    });
}

std::optional<Bytes> FileSecureStore::load(std::string_view service, std::string_view account) {
    requireValidNames(Case::loadFailed, service, account);
    if (root_.empty()) return std::nullopt; // no home, so nothing can have been stored
    return failingAs(Case::loadFailed, [&]() -> std::optional<Bytes> {
        const std::optional<StateFolder> folder = serviceFolder(service, false);
        if (!folder) return std::nullopt;
        return folder->read(account, kSecureStoreMaximumItemSize);
    });
}

void FileSecureStore::save(ByteView data, std::string_view service, std::string_view account) {
    requireValidNames(Case::saveFailed, service, account);
    if (root_.empty()) fail(Case::saveFailed, ENOENT);
    if (data.size() > kSecureStoreMaximumItemSize) fail(Case::saveFailed, EFBIG);
    failingAs(Case::saveFailed, [&] { serviceFolder(service, true)->write(account, data); });
}

void FileSecureStore::deleteItem(std::string_view service, std::string_view account) {
    requireValidNames(Case::deleteFailed, service, account);
    if (root_.empty()) return;
    failingAs(Case::deleteFailed, [&] {
        // A removed identity must stay removed after a crash: the folder is flushed.
        if (const std::optional<StateFolder> folder = serviceFolder(service, false)) folder->remove(account);
    });
}

} // namespace velorinth
