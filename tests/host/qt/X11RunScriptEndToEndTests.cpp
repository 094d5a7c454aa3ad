// The program as a user starts it: scripts/run --launch-only with no
// DISPLAY starts its own virtual display and the host on it, prints the
// listening line, takes "y" on standard input for the prompt it printed, and
// a tablet client in the test sees the host's own window in the stream.
// Ctrl+C, or TERM to the script, ends the host in order and then its display.

#include "QtViewTestSupport.hpp"

#include "support/DecodedFrames.hpp"
#include "support/PairingTablet.hpp"
#include "support/PrivateUserFolders.hpp"
#include "support/PrivateXvfb.hpp"
#include "support/TabletRig.hpp"
#include "support/TestFolders.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// The script as a child with pipes on its standard input and output.
class Script {
public:
    Script(const std::filesystem::path& root, const std::filesystem::path& build) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0); // the script, its display and its host: one group to end after a hang
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            ::unsetenv("DISPLAY");
            ::unsetenv("QT_QPA_PLATFORM"); // the host draws on the script's display, not off screen
            ::setenv("BUILD_DIR", build.c_str(), 1);
            const std::string script = (root / "scripts" / "run").string();
            ::execlp("bash", "bash", script.c_str(), "--launch-only", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~Script() {
        // The display runs in a session of its own: found while it is still the script's child.
        const pid_t display = pid_ > 0 && !ended_ ? child("Xvfb") : 0;
        if (pid_ > 0 && !ended_ && interrupt() == -1) {
            // A host that hangs fails the test, and leaves nothing behind.
            ::kill(-pid_, SIGKILL);
            if (display > 0) ::kill(display, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(input_);
        ::close(output_);
    }

    // Everything printed so far, after reading what is there within `wait`.
    const std::string& read(std::chrono::milliseconds wait) {
        if (closed_) {
            std::this_thread::sleep_for(wait); // at the end of the output a poll returns at once
            return printed_;
        }
        pollfd readable{output_, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(wait.count())) > 0) {
            char buffer[4096];
            const ssize_t count = ::read(output_, buffer, sizeof buffer);
            if (count > 0) printed_.append(buffer, static_cast<std::size_t>(count));
            if (count == 0) closed_ = true;
        }
        return printed_;
    }
    // The process id of the script's child named `name`; 0 when none.
    pid_t child(const std::string& name) const {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) continue;
            // "pid (comm) state ppid ..."
            const auto open = line.find('('), close = line.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close + 4 >= line.size()) continue;
            if (line.substr(open + 1, close - open - 1) != name) continue;
            if (std::atoi(line.c_str() + close + 4) == pid_) return std::atoi(line.c_str());
        }
        return 0;
    }
    void write(const std::string& text) { ASSERT_EQ(::write(input_, text.data(), text.size()), ssize_t(text.size())); }
    // Ctrl+C in a terminal: SIGINT to the script's whole process group. Then
    // the exit status (-1 if it does not end within the bound).
    int interrupt() {
        ::kill(-pid_, SIGINT);
        return exitStatus();
    }
    // SIGTERM to the script alone, then the exit status.
    int terminate() {
        ::kill(pid_, SIGTERM);
        return exitStatus();
    }
    // The exit status of a script that ends by itself.
    int status() { return exitStatus(); }

private:
    int exitStatus() {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30); // a guard against hangs
        while (std::chrono::steady_clock::now() < giveUp) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                ended_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            read(std::chrono::milliseconds(100));
        }
        return -1;
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    bool ended_ = false;
    bool closed_ = false;
    std::string printed_;
};

// A picture of the frame (NV12, video range) for the screenshots folder.
QImage pictureOf(const PixelBuffer& buffer) {
    QImage image(buffer.width(), buffer.height(), QImage::Format_RGB32);
    for (int y = 0; y < buffer.height(); ++y) {
        for (int x = 0; x < buffer.width(); ++x) {
            const double luma = 1.164 * (buffer.luma(x, y) - 16), cb = buffer.cb(x, y) - 128.0,
                         cr = buffer.cr(x, y) - 128.0;
            const auto clamp = [](double v) { return std::clamp(static_cast<int>(v), 0, 255); };
            image.setPixel(
                x, y, qRgb(clamp(luma + 1.596 * cr), clamp(luma - 0.392 * cb - 0.813 * cr), clamp(luma + 2.017 * cb)));
        }
    }
    return image;
}

std::int64_t brightPixels(const PixelBuffer& buffer) {
    std::int64_t bright = 0;
    for (int y = 0; y < buffer.height(); ++y) {
        for (int x = 0; x < buffer.width(); ++x) bright += buffer.luma(x, y) > 60 ? 1 : 0;
    }
    return bright;
}

// Start: the display line, then the listening line with a port and a
// fingerprint. The port, and the display's process.
std::pair<std::uint16_t, pid_t> started(Script& script) {
    const std::regex listening(
        "Listening on TLS 1\\.3 port ([0-9]+);.*host fingerprint: ((?:[0-9A-F]{4} ){15}[0-9A-F]{4})");
    const std::regex displayLine("Started a virtual display :([0-9]+)");
    std::smatch found;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::regex_search(script.read(std::chrono::milliseconds(100)), found, listening)) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            ADD_FAILURE() << "no listening line: " << script.read(std::chrono::milliseconds(0));
            return {0, 0};
        }
    }
    const auto port = static_cast<std::uint16_t>(std::stoi(found[1].str()));
    EXPECT_EQ(found[2].str().size(), 79u);
    std::smatch displayFound;
    const std::string printed = script.read(std::chrono::milliseconds(0));
    EXPECT_TRUE(std::regex_search(printed, displayFound, displayLine)) << printed;
    const pid_t xvfb = script.child("Xvfb");
    EXPECT_GT(xvfb, 0) << printed;
    return {port, xvfb};
}

// The host ended in order on its display, and then the display went.
void expectAnOrderlyEnd(Script& script, pid_t xvfb) {
    const std::string output = script.read(std::chrono::milliseconds(0));
    EXPECT_EQ(output.find("lost its display"), std::string::npos) << output;
    EXPECT_EQ(output.find("X11 connection broke"), std::string::npos) << output;
    if (xvfb > 0) {
        EXPECT_NE(::kill(xvfb, 0), 0);
    }
}

#define VELORINTH_REQUIRE_SCRIPT(root)                                                                                 \
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";                                          \
    const std::filesystem::path root = sourceFolder();                                                                 \
    if (root.empty()) GTEST_SKIP() << "the repository's folder is not known (VELORINTH_TESTDATA_DIR)"

} // namespace

TEST(X11RunScriptEndToEnd, ATabletPairedThroughTheTerminalSeesTheHostsWindow) {
    VELORINTH_REQUIRE_SCRIPT(root);
    PrivateUserFolders folders;
    Script script(root, buildFolder());
    const auto [port, xvfb] = started(script);
    ASSERT_NE(port, 0);

    // Pairing, answered on the terminal with the code the tablet shows.
    PairingTablet pairing(port);
    LoopRunner& tablet = pairing.loop;
    pairing.untilTheRequestShows([&] {
        return script.read(std::chrono::milliseconds(1))
                   .find("Verification code: " + pairing.rig.codesShown.front()) != std::string::npos;
    });
    script.write("y\n");
    const std::shared_ptr<AuthenticatedClientSession> session = tablet.wait(pairing.connecting, 30s);
    EXPECT_NE(script.read(std::chrono::milliseconds(0)).find("Approved the pairing request from"), std::string::npos);

    // Seeing the screen: the dashboard is drawn on the black root.
    auto decoded = std::make_unique<DecodedFrames>(tablet, session);
    tablet.run(session->configureVideoStream(
        VideoStreamConfiguration::clamped(Capability::h264, 640, 360, 30, 2'000'000, 60, 1'000'000, 16'384), 1));
    // The window at 720x520 at least, scaled as the 1920x1080 display is.
    const std::int64_t windowArea = (720 * 640 / 1920) * (520 * 360 / 1080);
    std::optional<DecodedVideoFrame> showing;
    tablet.until(
        [&] {
            script.read(std::chrono::milliseconds(0));
            const std::vector<DecodedVideoFrame> frames = decoded->frames();
            for (const DecodedVideoFrame& frame : frames) {
                if (frame.pixelBuffer && brightPixels(*frame.pixelBuffer) >= windowArea) showing = frame;
            }
            return frames.size() >= 3 && showing.has_value();
        },
        30s);
    EXPECT_EQ(showing->width, 640);
    EXPECT_EQ(showing->height, 360);
    EXPECT_EQ(showing->sourceDisplayWidth, 1920);
    pictureOf(*showing->pixelBuffer).save(QString::fromStdString((screenshotFolder() / "tablet-frame.png").string()));

    decoded.reset();
    tablet.run(session->disconnect("The test ended."));
    // End: Ctrl+C reaches the script's whole process group and ends it with
    // status 0; the host ended in order on its display, and then the display went.
    EXPECT_EQ(script.interrupt(), 0) << script.read(std::chrono::milliseconds(0));
    expectAnOrderlyEnd(script, xvfb);
}

// The script started again while the first runs: its host says that one
// runs for this user, and the script stops its own display and ends with 1.
TEST(X11RunScriptEndToEnd, ASecondRunStopsItsOwnDisplayAndTermToTheFirstAloneEndsItInOrder) {
    VELORINTH_REQUIRE_SCRIPT(root);
    PrivateUserFolders folders;
    Script script(root, buildFolder());
    const pid_t xvfb = started(script).second;

    Script second(root, buildFolder());
    EXPECT_EQ(second.status(), 1) << second.read(std::chrono::milliseconds(0));
    const std::string printed = second.read(std::chrono::milliseconds(0));
    EXPECT_NE(printed.find("Another velorinth-host is already running for this user.\n"), std::string::npos) << printed;
    std::smatch display;
    ASSERT_TRUE(std::regex_search(printed, display, std::regex("Started a virtual display :([0-9]+)"))) << printed;
    EXPECT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X" + display[1].str())) << "its display still runs";

    EXPECT_EQ(script.terminate(), 0) << script.read(std::chrono::milliseconds(0));
    expectAnOrderlyEnd(script, xvfb);
}

// Ctrl+C while the terminal's prompt waits for y or n: the host ends in order
// at once, as with nothing open, and the tablet's request ends with it.
TEST(X11RunScriptEndToEnd, CtrlCWhileAPairingRequestWaitsForItsAnswerEndsTheHostInOrder) {
    VELORINTH_REQUIRE_SCRIPT(root);
    PrivateUserFolders folders;
    Script script(root, buildFolder());
    const auto [port, xvfb] = started(script);
    ASSERT_NE(port, 0);
    PairingTablet pairing(port);
    pairing.untilTheRequestShows(
        [&] { return script.read(std::chrono::milliseconds(1)).find("Type y to approve") != std::string::npos; });
    EXPECT_EQ(script.interrupt(), 0) << script.read(std::chrono::milliseconds(0));
    expectAnOrderlyEnd(script, xvfb);
    pairing.expectTheRequestEnded();
}
