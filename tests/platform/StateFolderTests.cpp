// What a state folder holds is trusted only where the user alone could have
// written it: each refusal names the path, what is wrong and what to do, and
// changes nothing; links, pipes and devices are never followed or opened.
// State on a read-only file system still serves, its lock still excludes.

#include "platform/StateFolder.hpp"
#include "platform/linux/FileSecureStore.hpp"

#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace velorinth {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

constexpr std::string_view kService = "org.velorinth.test";
constexpr std::string_view kAccount = "record-v1";
constexpr uid_t kOtherUser = 1001;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string writable(const fs::path& path, const std::string& mode) {
    return "Refusing " + path.string() + ": it is writable by other users (mode " + mode + "). Run chmod go-w " +
           path.string() + ", or give a folder of your own.";
}
std::string chosenFolder(const fs::path& path, const std::string& what) {
    return "Refusing " + path.string() + ": it " + what + ". Give a folder of your own.";
}
std::string inside(const fs::path& path, const std::string& what) {
    return "Refusing " + path.string() + ": it " + what + ". Remove it, or give a folder of your own.";
}

// The refusal `call` ended with, or what it did instead.
std::string outcomeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const SecureStoreError& error) {
        return std::string("a failure of the store: ") + error.what();
    } catch (const Error& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("another failure: ") + error.what();
    }
    return "accepted";
}

// Every entry under `root` as it is, links not followed: its mode, owner and bytes.
std::map<fs::path, std::string> snapshot(const fs::path& root) {
    std::map<fs::path, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(entry.path().c_str(), &info);
        std::string what = std::to_string(info.st_mode) + "/" + std::to_string(info.st_uid);
        if (S_ISREG(info.st_mode)) {
            std::ifstream file(entry.path(), std::ios::binary);
            what += "/" + std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
        entries[entry.path()] = what;
    }
    return entries;
}

// A state folder as the host and the tablet program keep it: a store under
// secure-store with one item, and the lock of an earlier run.
class StateFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(state_.c_str(), 0700), 0);
        ASSERT_TRUE(StateFolder::openOrMake(state_).tryLock());
        FileSecureStore(root_).save(bytesOf("secret"), kService, kAccount);
    }

    // The store over the state folder held open, as the programs make it.
    FileSecureStore heldStore() {
        return FileSecureStore(std::make_shared<StateFolder>(StateFolder::openOrMake(state_)), "secure-store");
    }

    TemporaryDirectory temp_{"velorinth-state"};
    fs::path state_ = temp_.path / "state";
    fs::path root_ = state_ / "secure-store";
    fs::path service_ = root_ / kService;
    fs::path item_ = service_ / kAccount;
};

TEST_F(StateFolderTest, WhatGroupOrOthersCanWriteIsRefusedAndKeepsItsMode) {
    struct Row {
        fs::path path;
        mode_t mode;
        std::string text;
        std::function<void()> use;
    };
    const auto load = [this] { heldStore().load(kService, kAccount); };
    const auto save = [this] { heldStore().save(bytesOf("planted"), kService, kAccount); };
    const auto check = [this] { heldStore().check(); };
    const auto lock = [this] { StateFolder::openOrMake(state_).tryLock(); };
    const Row rows[] = {
        {state_, 01777, writable(state_, "1777"), lock},
        {state_, 0770, writable(state_, "0770"), lock},
        {root_, 0775, writable(root_, "0775"), load},
        {service_, 0777, writable(service_, "0777"), save},
        {service_, 0730, writable(service_, "0730"), check},
        {item_, 0666, writable(item_, "0666"), load},
        {item_, 0620, writable(item_, "0620"), check},
        {state_ / "lock", 0666, writable(state_ / "lock", "0666"), lock},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        struct stat before {};
        ASSERT_EQ(::stat(row.path.c_str(), &before), 0);
        ASSERT_EQ(::chmod(row.path.c_str(), row.mode), 0);
        const auto entries = snapshot(temp_.path);
        EXPECT_EQ(outcomeOf(row.use), row.text);
        EXPECT_EQ(snapshot(temp_.path), entries) << "nothing is made, changed or tightened";
        ASSERT_EQ(::chmod(row.path.c_str(), before.st_mode & 07777), 0);
    }
    EXPECT_EQ(heldStore().load(kService, kAccount), bytesOf("secret"));
}

TEST_F(StateFolderTest, LinksAndPipesAreRefusedNeverFollowedOrOpened) {
    // A folder of the user's own elsewhere, which a link would lead the writes to.
    const fs::path elsewhere = temp_.path / "elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
    const fs::path moved = temp_.path / "moved";
    const auto replaceWithLink = [&](const fs::path& path) {
        fs::rename(path, moved);
        fs::create_directory_symlink(elsewhere, path);
    };
    const auto putBack = [&](const fs::path& path) {
        fs::remove(path);
        fs::rename(moved, path);
    };
    const fs::path link = temp_.path / "link";
    fs::create_directory_symlink(state_, link);
    EXPECT_EQ(outcomeOf([&] { StateFolder::openOrMake(link); }), chosenFolder(link, "is a symbolic link"));

    for (const fs::path& path : {root_, service_}) {
        SCOPED_TRACE(path);
        replaceWithLink(path);
        EXPECT_EQ(outcomeOf([&] { heldStore().save(bytesOf("planted"), kService, kAccount); }),
                  inside(path, "is a symbolic link"));
        EXPECT_EQ(outcomeOf([&] { heldStore().check(); }), inside(path, "is a symbolic link"));
        putBack(path);
    }
    EXPECT_EQ(modeOf(elsewhere), 0755u);
    EXPECT_TRUE(fs::is_empty(elsewhere));

    fs::rename(item_, moved);
    fs::create_symlink(moved, item_);
    EXPECT_EQ(outcomeOf([&] { heldStore().load(kService, kAccount); }), inside(item_, "is a symbolic link"));
    fs::remove(item_);

    // A pipe would keep a reader waiting for a writer that never comes: if
    // the load still waits after a while, a writer comes and the rig says so.
    ASSERT_EQ(::mkfifo(item_.c_str(), 0600), 0);
    std::atomic<bool> loaded{false};
    std::atomic<bool> released{false};
    std::thread watchdog([&] {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!loaded && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (loaded) return;
        released = true;
        const int writer = ::open(item_.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    });
    const std::string outcome = outcomeOf([&] { heldStore().load(kService, kAccount); });
    loaded = true;
    watchdog.join();
    EXPECT_EQ(outcome, inside(item_, "is a named pipe"));
    EXPECT_FALSE(released) << "the load waited on the pipe";

    ASSERT_EQ(::unlink((state_ / "lock").c_str()), 0);
    ASSERT_EQ(::mkfifo((state_ / "lock").c_str(), 0600), 0);
    EXPECT_EQ(outcomeOf([&] { StateFolder::openOrMake(state_).tryLock(); }),
              inside(state_ / "lock", "is a named pipe"));
}

// Root trusts no other user's files either.
TEST_F(StateFolderTest, WhatAnotherUserOwnsIsRefusedEvenTheirLockWhileTheyHoldIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user (chown) needs root";
    const auto load = [this] { heldStore().load(kService, kAccount); };
    const auto lock = [this] { return StateFolder::openOrMake(state_).tryLock(); };
    const std::pair<fs::path, std::function<void()>> rows[] = {
        {state_, lock}, {root_, load}, {service_, [this] { heldStore().check(); }}, {item_, load}};
    for (const auto& [path, use] : rows) {
        SCOPED_TRACE(path);
        ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0);
        const auto entries = snapshot(temp_.path);
        EXPECT_EQ(outcomeOf(use),
                  path == state_ ? chosenFolder(path, "belongs to user 1001") : inside(path, "belongs to user 1001"));
        EXPECT_EQ(snapshot(temp_.path), entries);
        ASSERT_EQ(::lchown(path.c_str(), 0, 0), 0);
    }

    // Their lock, which they hold: refused at once, never waited on.
    const fs::path lockFile = state_ / "lock";
    ASSERT_EQ(::chown(lockFile.c_str(), kOtherUser, kOtherUser), 0);
    const int theirs = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(theirs, LOCK_EX | LOCK_NB), 0);
    bool locked = true;
    EXPECT_EQ(outcomeOf([&] { locked = lock(); }), inside(lockFile, "belongs to user 1001"));
    EXPECT_TRUE(locked) << "the lock was waited for";
    ::close(theirs);

    // A device in place of an item is never opened.
    ASSERT_EQ(::unlink(item_.c_str()), 0);
    ASSERT_EQ(::mknod(item_.c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
    EXPECT_EQ(outcomeOf(load), inside(item_, "is a device"));
}

// The store's check covers what the store uses and nothing else: a folder
// given to the relay may hold what is none of its business.
TEST_F(StateFolderTest, TheStoreChecksOnlyItsOwnServicesInAFolderItShares) {
    auto folder = std::make_shared<StateFolder>(StateFolder::openOrMake(root_));
    FileSecureStore store(folder, "");
    fs::create_symlink("/etc/hostname", root_ / "notes");
    std::ofstream(root_ / "readme") << "shared";
    ASSERT_EQ(::chmod((root_ / "readme").c_str(), 0666), 0);
    EXPECT_EQ(outcomeOf([&] { store.check(); }), "accepted");
    EXPECT_EQ(store.load(kService, kAccount), bytesOf("secret"));

    const fs::path other = root_ / "org.velorinth.other";
    ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
    std::ofstream(other / "item") << "{}";
    ASSERT_EQ(::chmod((other / "item").c_str(), 0646), 0);
    EXPECT_EQ(outcomeOf([&] { store.check(); }), writable(other / "item", "0646"));
}

// Whether this process can enter a mount namespace of its own: as root, or
// as the root of a user namespace of its own.
bool enterMountNamespace() {
    if (::geteuid() == 0) return ::unshare(CLONE_NEWNS) == 0;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    const auto put = [](const char* file, const std::string& text) {
        std::ofstream out(file);
        out << text;
        return static_cast<bool>(out.flush());
    };
    return put("/proc/self/setgroups", "deny") && put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// Runs `body` in a child process that sees `folder` bound read-only over
// itself; its text, or none (with the reason in `why`) where no mount
// namespace can be made here.
std::optional<std::string> inReadOnlyBind(const fs::path& folder, const std::function<std::string()>& body,
                                          std::string& why) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string text;
        int status = 0;
        if (!enterMountNamespace() || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            text =
                std::string("no read-only bind mount here (it needs root or user namespaces): ") + std::strerror(errno);
            status = 3;
        } else {
            try {
                text = body();
            } catch (const std::exception& error) {
                text = std::string("threw: ") + error.what();
            }
        }
        [[maybe_unused]] const ssize_t written = ::write(fds[1], text.data(), text.size());
        ::_exit(status);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 3) {
        why = text;
        return std::nullopt;
    }
    return text;
}

// The lock of state on a read-only file system is taken through a read-only
// descriptor, so it still excludes; state never locked is used unlocked.
TEST_F(StateFolderTest, StateOnAReadOnlyFileSystemServesAndItsLockStillExcludes) {
    const fs::path fresh = temp_.path / "fresh";
    FileSecureStore(fresh / "secure-store").save(bytesOf("kept"), kService, kAccount);
    StateFolder held = StateFolder::openOrMake(state_);
    ASSERT_TRUE(held.tryLock()); // another process's, as the child sees it

    std::string why;
    const std::optional<std::string> seen = inReadOnlyBind(
        temp_.path,
        [&] {
            std::string lines = StateFolder::openOrMake(state_).tryLock() ? "locked\n" : "held elsewhere\n";
            auto folder = std::make_shared<StateFolder>(StateFolder::openOrMake(fresh));
            lines += folder->tryLock() ? "locked\n" : "held elsewhere\n";
            FileSecureStore store(folder, "secure-store");
            store.check();
            const std::optional<Bytes> kept = store.load(kService, kAccount);
            lines += kept ? std::string(kept->begin(), kept->end()) + "\n" : "nothing\n";
            lines += outcomeOf([&] { store.save(bytesOf("new"), kService, kAccount); }) + "\n";
            return lines;
        },
        why);
    if (!seen) GTEST_SKIP() << why;
    EXPECT_EQ(
        *seen,
        "held elsewhere\nlocked\nkept\na failure of the store: Secure storage save failed: Read-only file system\n");
    EXPECT_FALSE(fs::exists(fresh / "lock"));
}

} // namespace
} // namespace velorinth
