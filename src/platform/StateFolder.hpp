#pragma once

#include "core/Bytes.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// A folder of a program's state (its identity, the keys it trusts) and the
// one place that reaches into it. Whoever can write into such a folder
// chooses the keys the program trusts, so the folder and every folder and
// file reached in it must belong to the user the program runs as (root too
// trusts no other user's files), must not be writable by group or others,
// and must be a real folder or regular file: never a symbolic link, a named
// pipe or a device. Anything else is refused with an Error whose one line
// names the path, what is wrong and what to do; nothing is changed to make
// it pass. The folder is held open and everything under it is reached
// relative to that descriptor, each level without following a link and
// checked once open, so nothing can be swapped between the check and the
// use. Failures of the system come as std::system_error.
//
// The folder can also be held by one process at a time: each program loads
// its whole documents once and saves them whole, so two processes on one
// folder would each write back what they read and drop the other's changes.
// The hold is an exclusive lock of the folder's "lock" file, which the
// system gives up when the process ends, however it ends.
class StateFolder {
public:
    // Opens `folder` and checks it. Every missing component is made 0700
    // whatever the umask when `make` is set; otherwise a missing folder is
    // none. A folder that exists keeps its mode.
    static std::optional<StateFolder> open(const std::filesystem::path& folder, bool make);
    // The folder a program keeps its state in, opened as open(folder, true)
    // does; a failure of the system comes as Error, in words that name it.
    static StateFolder openOrMake(const std::filesystem::path& folder);

    StateFolder(StateFolder&& other) noexcept;
    StateFolder& operator=(StateFolder&& other) noexcept;
    StateFolder(const StateFolder&) = delete;
    StateFolder& operator=(const StateFolder&) = delete;
    ~StateFolder();

    const std::filesystem::path& path() const noexcept { return path_; }

    // Takes the folder's lock without waiting: false while another process
    // holds it. The lock file is checked like everything else and refused,
    // never waited on, when it is not the user's own. On a read-only file
    // system an existing lock is taken through a read-only descriptor, and
    // without one the folder is used unlocked: nothing there can be written
    // to lose. Fails with Error, in words that name the folder.
    bool tryLock();

    // The folder `name` in this one, checked; made 0700 when it is missing
    // and `make` is set, else none.
    std::optional<StateFolder> folder(std::string_view name, bool make) const;
    // The names of the entries in this folder.
    std::vector<std::string> names() const;
    // Refuses entry `name` as a folder or file of the state would be; an
    // absent entry passes. Nothing is opened.
    void check(std::string_view name) const;
    // The bytes of file `name`, checked before a byte is read; none when
    // there is no such file. EISDIR for a folder, EFBIG past `limit`.
    std::optional<Bytes> read(std::string_view name, std::size_t limit) const;
    // Replaces file `name` with `data`, 0600 whatever the umask: written to a
    // temporary file beside it, flushed to disk and renamed over it, then the
    // folder is flushed, so a crash leaves the old or the new file.
    void write(std::string_view name, ByteView data) const;
    // Removes file `name`, an absent one included, and flushes the folder.
    void remove(std::string_view name) const;

private:
    StateFolder(int descriptor, std::filesystem::path path) noexcept;

    int descriptor_ = -1;
    int lock_ = -1;
    std::filesystem::path path_;
};

} // namespace velorinth
