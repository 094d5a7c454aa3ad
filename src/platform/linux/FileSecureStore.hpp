#pragma once

#include "platform/SecureStore.hpp"

#include <filesystem>

namespace velorinth {

// The secure store as one file per item at <root>/<service>/<account>.
// Directories it makes are 0700 and files 0600 whatever the umask; a
// service's directory is kept 0700, while a root that exists keeps its mode.
// A save goes to a temporary file in the same directory, is flushed to disk
// and renamed over the item, then the directory is flushed, so a crash leaves
// the old or the new item and never a torn one.
class FileSecureStore : public SecureStore {
public:
    // The default root, $XDG_DATA_HOME/velorinth/secure-store.
    FileSecureStore();
    explicit FileSecureStore(std::filesystem::path root);

    // $XDG_DATA_HOME (when set to an absolute path), else ~/.local/share, with
    // velorinth/secure-store appended; empty when no home directory is known.
    static std::filesystem::path defaultRoot();

    const std::filesystem::path& root() const noexcept { return root_; }

    std::optional<Bytes> load(std::string_view service, std::string_view account) override;
    void save(ByteView data, std::string_view service, std::string_view account) override;
    void deleteItem(std::string_view service, std::string_view account) override;

private:
    std::filesystem::path root_;
};

} // namespace velorinth
