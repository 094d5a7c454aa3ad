#pragma once

#include "platform/SecureStore.hpp"
#include "platform/StateFolder.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

// The secure store as one file per item at <root>/<service>/<account>, every
// level reached through StateFolder, so that only what the user alone can
// write is read. Folders it makes are 0700 and files 0600 whatever the umask;
// a folder that exists keeps its mode. A save goes to a temporary file in the
// same folder, is flushed to disk and renamed over the item, then the folder
// is flushed, so a crash leaves the old or the new item and never a torn one.
// What StateFolder refuses comes as its Error; other failures as
// SecureStoreError.
class FileSecureStore : public SecureStore {
public:
    // The default root, $XDG_DATA_HOME/velorinth/secure-store.
    FileSecureStore();
    // A root reached by its path at each operation.
    explicit FileSecureStore(std::filesystem::path root);
    // The folder `rootName` of a state folder a program holds open; an empty
    // name is the state folder itself.
    FileSecureStore(std::shared_ptr<const StateFolder> state, std::string rootName);

    // $XDG_DATA_HOME (when set to an absolute path), else ~/.local/share, with
    // velorinth/secure-store appended; empty when no home directory is known.
    static std::filesystem::path defaultRoot();

    const std::filesystem::path& root() const noexcept { return root_; }

    // Checks, without reading them, the root, every service folder (the
    // names under the application identifier prefix) and every item in them:
    // a program calls it before it uses any of them.
    void check() const;

    std::optional<Bytes> load(std::string_view service, std::string_view account) override;
    void save(ByteView data, std::string_view service, std::string_view account) override;
    void deleteItem(std::string_view service, std::string_view account) override;

private:
    // The root, checked: `opened`, or the held state folder itself; none
    // when it does not exist and `make` is not set.
    const StateFolder* rootFolder(std::optional<StateFolder>& opened, bool make) const;
    // The folder of `service` under the root, checked; made with the root
    // when `make` is set, else none when either does not exist.
    std::optional<StateFolder> serviceFolder(std::string_view service, bool make) const;

    std::filesystem::path root_;
    std::shared_ptr<const StateFolder> state_;
    std::string rootName_;
};

} // namespace velorinth
