// The program as a user starts it: scripts/run --launch-only with no
// DISPLAY starts its own virtual display and the host on it, prints the
// listening line, takes "y" on standard input for the prompt it printed, and
// a tablet client in the test sees the host's own window in the stream.

#include "QtViewTestSupport.hpp"

#include "support/DecodedFrames.hpp"
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
        if (pid_ > 0 && !ended_ && terminate() == -1) {
            // A host that hangs fails the test, and leaves nothing behind.
            ::kill(-pid_, SIGKILL);
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
    // SIGTERM, then the exit status (-1 if it does not end within the bound).
    int terminate() {
        ::kill(pid_, SIGTERM);
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

private:
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

} // namespace

TEST(X11RunScriptEndToEnd, ATabletPairedThroughTheTerminalSeesTheHostsWindow) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    const std::filesystem::path root = sourceFolder();
    if (root.empty()) GTEST_SKIP() << "the repository's folder is not known (VELORINTH_TESTDATA_DIR)";
    PrivateUserFolders folders;
    Script script(root, buildFolder());

    // Start: the display line, then the listening line with a port and a fingerprint.
    const std::regex listening(
        "Listening on TLS 1\\.3 port ([0-9]+);.*host fingerprint: ((?:[0-9A-F]{4} ){15}[0-9A-F]{4})");
    const std::regex displayLine("Started a virtual display :([0-9]+)");
    std::smatch found;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::regex_search(script.read(std::chrono::milliseconds(100)), found, listening)) {
        ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << script.read(std::chrono::milliseconds(0));
    }
    const auto port = static_cast<std::uint16_t>(std::stoi(found[1].str()));
    EXPECT_EQ(found[2].str().size(), 79u);
    std::smatch displayFound;
    const std::string printed = script.read(std::chrono::milliseconds(0));
    ASSERT_TRUE(std::regex_search(printed, displayFound, displayLine)) << printed;
    const pid_t xvfb = script.child("Xvfb");
    EXPECT_GT(xvfb, 0) << printed;

    // Pairing, answered on the terminal with the code the tablet shows.
    LoopRunner tablet;
    TabletRig rig;
    rig.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    asio::thread_pool kdf{1}, store{1};
    ClientSessionConnector connector(tablet.io.get_executor(), kdf, store, {10s, 10s, 1s, 300ms});
    auto connecting = tablet.spawn(connector.connect(rig.request(port, HandshakePurpose::pair)));
    tablet.until(
        [&] {
            return !rig.codesShown.empty() &&
                   script.read(std::chrono::milliseconds(1)).find("Verification code: " + rig.codesShown.front()) !=
                       std::string::npos;
        },
        30s);
    script.write("y\n");
    const std::shared_ptr<AuthenticatedClientSession> session = tablet.wait(connecting, 30s);

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
    // End: SIGTERM ends the script with status 0, and its display is gone.
    EXPECT_EQ(script.terminate(), 0) << script.read(std::chrono::milliseconds(0));
    if (xvfb > 0) {
        EXPECT_NE(::kill(xvfb, 0), 0);
    }
}
