#include "platform/linux/FileSecureStore.hpp"

#include "platform/StateFolder.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace velorinth {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kService = "org.velorinth.test";
constexpr std::string_view kAccount = "record-v1";

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

void expectStoreError(const std::function<void()>& operation, SecureStoreError::Case kind, const char* text) {
    const SecureStoreError error = velorinth::testing::thrown<SecureStoreError>(operation);
    EXPECT_EQ(error.kind, kind);
    EXPECT_STREQ(error.what(), text);
}

class FileSecureStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "secure-store-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        temp_ = pattern;
        root_ = temp_ / "data" / "secure-store";
    }
    void TearDown() override { fs::remove_all(temp_); }

    fs::path temp_;
    fs::path root_;
};

TEST_F(FileSecureStoreTest, SavesReplacesAndDeletesWithModesIndependentOfTheUmask) {
    for (mode_t mask : {mode_t{0000}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        fs::remove_all(temp_ / "data");
        const mode_t previous = ::umask(mask);
        FileSecureStore store(root_);
        EXPECT_EQ(store.load(kService, kAccount), std::nullopt);
        store.deleteItem(kService, kAccount); // an absent item is no error
        store.save(bytesOf("secret"), kService, kAccount);
        store.save(bytesOf("replaced"), kService, kAccount);
        ::umask(previous);
        EXPECT_EQ(store.load(kService, kAccount), bytesOf("replaced"));
        // The item sits at root/service/account and no temporary file is left.
        EXPECT_EQ(std::distance(fs::directory_iterator(root_ / kService), fs::directory_iterator()), 1);
        for (const auto& directory : {temp_ / "data", root_, root_ / kService}) EXPECT_EQ(modeOf(directory), 0700u);
        EXPECT_EQ(modeOf(root_ / kService / kAccount), 0600u);
    }
    // A service folder of the user's own that only they can write keeps its mode.
    ::chmod((root_ / kService).c_str(), 0755);
    FileSecureStore store(root_);
    store.save(bytesOf("x"), kService, kAccount);
    EXPECT_EQ(modeOf(root_ / kService), 0755u);
    store.deleteItem(kService, kAccount);
    EXPECT_EQ(store.load(kService, kAccount), std::nullopt);
}

TEST_F(FileSecureStoreTest, RefusesNamesThatAreNotPlainPathComponents) {
    FileSecureStore store(root_);
    const std::string withNul("a\0b", 3);
    for (std::string_view bad : {std::string_view(""), std::string_view("."), std::string_view(".."),
                                 std::string_view("a/b"), std::string_view("caf\xC3\xA9"),
                                 std::string_view(withNul)}) {
        SCOPED_TRACE(std::string(bad));
        expectStoreError([&] { store.save(bytesOf("x"), kService, bad); }, SecureStoreError::Case::saveFailed,
                         "Secure storage save failed: Invalid argument");
        expectStoreError([&] { store.load(bad, kAccount); }, SecureStoreError::Case::loadFailed,
                         "Secure storage load failed: Invalid argument");
        expectStoreError([&] { store.deleteItem(bad, kAccount); }, SecureStoreError::Case::deleteFailed,
                         "Secure storage delete failed: Invalid argument");
    }
    EXPECT_FALSE(fs::exists(temp_ / "data"));
    store.save(bytesOf("ok"), "...", "A.z_0-9");
    EXPECT_EQ(store.load("...", "A.z_0-9"), bytesOf("ok"));
}

TEST_F(FileSecureStoreTest, FileSystemFailuresCarryTheirReasonAndLeaveNoTemporaryFile) {
    fs::create_directories(root_ / kService / kAccount / "child"); // the rename target is a full directory
    FileSecureStore store(root_);
    EXPECT_THROW(store.save(bytesOf("new"), kService, kAccount), SecureStoreError);
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / kService), fs::directory_iterator()), 1);
    expectStoreError([&] { store.load(kService, kAccount); }, SecureStoreError::Case::loadFailed,
                     "Secure storage load failed: Is a directory");

    fs::remove_all(root_);
    std::ofstream(root_) << "not a directory";
    expectStoreError([&] { store.save(bytesOf("x"), kService, kAccount); }, SecureStoreError::Case::saveFailed,
                     "Secure storage save failed: Not a directory");
    expectStoreError([&] { store.deleteItem(kService, kAccount); }, SecureStoreError::Case::deleteFailed,
                     "Secure storage delete failed: Not a directory");
}

// A state folder is locked by one process at a time (the lock is the open
// file's, so a second lock in this process is refused as another process's
// would be); a folder it makes is private, one of the user's own that only
// they can write serves and keeps its mode.
TEST_F(FileSecureStoreTest, AStateFolderIsLockedOnceAndOnlyWhatItMakesIsMadePrivate) {
    const fs::path folder = temp_ / "made" / "state";
    const mode_t previous = ::umask(0);
    std::optional<StateFolder> held = StateFolder::openOrMake(folder);
    ::umask(previous);
    ASSERT_TRUE(held->tryLock());
    EXPECT_EQ(modeOf(temp_ / "made"), 0700u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder / "lock"), 0600u);
    const auto locksAgain = [&] { return StateFolder::openOrMake(folder).tryLock(); };
    EXPECT_FALSE(locksAgain());
    StateFolder moved = std::move(*held);
    held.reset(); // a moved-from folder lets nothing go
    EXPECT_FALSE(locksAgain());
    { StateFolder ended = std::move(moved); }
    EXPECT_TRUE(locksAgain());

    for (const mode_t mode : {mode_t{0755}, mode_t{0750}, mode_t{0700}}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(temp_.c_str(), mode), 0);
        EXPECT_TRUE(StateFolder::openOrMake(temp_).tryLock());
        EXPECT_EQ(modeOf(temp_), mode);
    }

    std::ofstream(temp_ / "file") << "not a folder";
    const Error refused = velorinth::testing::thrown<Error>([&] { StateFolder::openOrMake(temp_ / "file" / "state"); });
    EXPECT_STREQ(refused.what(), ("Cannot make the state folder " + (temp_ / "file" / "state").string() +
                                  ": Not a directory.").c_str());
}

TEST(FileSecureStoreRoot, FollowsTheXdgRule) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    const std::optional<std::string> savedXdg = xdg ? std::optional<std::string>(xdg) : std::nullopt;
    const std::string savedHome = home ? home : "";
    ::setenv("XDG_DATA_HOME", "/xdg/data", 1);
    EXPECT_EQ(FileSecureStore().root(), fs::path("/xdg/data/velorinth/secure-store"));
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "relative", 1); // not absolute: ignored
    EXPECT_EQ(FileSecureStore::defaultRoot(), fs::path("/home/someone/.local/share/velorinth/secure-store"));
    savedXdg ? ::setenv("XDG_DATA_HOME", savedXdg->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    home ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

} // namespace
} // namespace velorinth
