#pragma once

#include <filesystem>
#include <optional>

namespace velorinth {

// A program's folder of state, held by one process at a time: each program
// loads its whole documents once and saves them whole, so two processes on
// one folder would each write back what they read and drop the other's
// changes. The hold is an exclusive lock of the folder's "lock" file, which
// the system gives up when the process ends, however it ends.
class StateFolder {
public:
    // Makes every missing component of `folder`, each one 0700 whatever the
    // umask; a folder that exists keeps its mode, for it may be shared (a
    // scratch folder with the sticky bit, say). Throws std::system_error.
    static void makePrivately(const std::filesystem::path& folder);

    // Makes `folder` as makePrivately does, then takes its lock without
    // waiting: none while another process holds it. Fails with Error, in
    // words that name the folder.
    static std::optional<StateFolder> tryHold(const std::filesystem::path& folder);

    StateFolder(StateFolder&& other) noexcept;
    StateFolder& operator=(StateFolder&& other) noexcept;
    StateFolder(const StateFolder&) = delete;
    StateFolder& operator=(const StateFolder&) = delete;
    ~StateFolder();

private:
    explicit StateFolder(int lock) noexcept;

    int lock_ = -1;
};

} // namespace velorinth
