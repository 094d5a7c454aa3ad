#pragma once

// What VideoPipelineBench needs beside the shared bench support: the cores it
// may use, a scene that changes every frame and shows a frame counter that
// can be read back from a picture, and the reference encoder (ffmpeg's
// x11grab and libx264) run as a child.

#include "BenchSupport.hpp"

#include "core/Uptime.hpp"
#include "platform/PixelBuffer.hpp"
#include "support/X11Painter.hpp"

#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velorinth::bench {

// The cores this process may run on (taskset binds its children too).
inline cpu_set_t allowedCoreSet() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        for (unsigned core = 0; core < std::thread::hardware_concurrency(); ++core) CPU_SET(core, &set);
    }
    return set;
}
inline int allowedCores() {
    const cpu_set_t set = allowedCoreSet();
    return CPU_COUNT(&set);
}

// The frame counter the scene shows in its top strip: a white guard square,
// 20 bits in Gray code (white is 1), a black guard square. Consecutive values
// differ in one bit, so a picture grabbed while the counter was being drawn
// still reads as the old value or the new one.
struct FrameCounter {
    static constexpr int kBits = 20;
    static constexpr int kSquare = 40, kPitch = 48, kLeft = 16, kTop = 10;
    static constexpr int kStripHeight = 60; // the scene's motion stays below it

    static std::uint32_t gray(std::uint32_t value) { return value ^ (value >> 1); }
    static std::uint32_t fromGray(std::uint32_t code) {
        std::uint32_t value = code;
        for (std::uint32_t shifted = code >> 1; shifted != 0; shifted >>= 1) value ^= shifted;
        return value;
    }

    // The squares of `value`, left to right: the guards and the bits, most significant first.
    static std::vector<testing::X11Painter::Fill> squares(std::uint32_t value) {
        std::vector<testing::X11Painter::Fill> fills;
        const std::uint32_t code = gray(value);
        for (int i = 0; i < kBits + 2; ++i) {
            bool white = i == 0;
            if (i > 0 && i <= kBits) white = ((code >> (kBits - i)) & 1u) != 0;
            fills.push_back({kLeft + i * kPitch, kTop, kSquare, kSquare, white ? 0xFFFFFFu : 0x000000u});
        }
        return fills;
    }

    // The value a picture of the whole screen (scaled to the picture) shows;
    // none when a square is neither clearly white nor clearly black or a
    // guard is wrong.
    static std::optional<std::uint32_t> read(const PixelBuffer& picture, int screenWidth, int screenHeight) {
        std::uint32_t code = 0;
        for (int i = 0; i < kBits + 2; ++i) {
            const int x = (kLeft + i * kPitch + kSquare / 2) * picture.width() / screenWidth;
            const int y = (kTop + kSquare / 2) * picture.height() / screenHeight;
            const int luma = picture.luma(x, y);
            if (luma > 80 && luma < 170) return std::nullopt; // video range: black 16, white 235
            const bool white = luma >= 170;
            if ((i == 0 && !white) || (i == kBits + 1 && white)) return std::nullopt;
            if (i > 0 && i <= kBits) code = (code << 1) | (white ? 1u : 0u);
        }
        return fromGray(code);
    }
};

// A desktop in motion, about 120 times a second: a grid of cells of which an
// eighth change colour each frame, and two bars sweeping across, below a
// strip that shows the frame counter. Each drawing's counter is the one
// before plus one; when the X server has confirmed a drawing, its time is
// recorded as the moment that counter was shown.
class Scene {
public:
    explicit Scene(const std::string& display) : painter_(display), thread_([this] { run(); }) {}
    ~Scene() {
        stopping_ = true;
        thread_.join();
    }

    int width() const { return painter_.screenWidth(); }
    int height() const { return painter_.screenHeight(); }

    // When `counter` was shown, steady uptime in ns; none when not yet.
    std::optional<std::uint64_t> shownAt(std::uint32_t counter) {
        std::lock_guard guard(mutex_);
        if (counter >= shown_.size()) return std::nullopt;
        return shown_[counter];
    }

private:
    void run() {
        const int width = painter_.screenWidth(), height = painter_.screenHeight(), cell = 60;
        const int top = FrameCounter::kStripHeight;
        painter_.warpPointer(width - 1, height - 1); // the pointer drawn in must not cover the counter
        std::uint32_t state = 12345;
        const auto next = [&] {
            state = state * 1664525u + 1013904223u;
            return state;
        };
        for (std::uint32_t frame = 0; !stopping_ && frame < (1u << FrameCounter::kBits); ++frame) {
            std::vector<testing::X11Painter::Fill> fills;
            if (frame == 0) fills.push_back({0, 0, width, top, 0x808080});
            for (int y = top; y < height; y += cell) {
                for (int x = 0; x < width; x += cell) {
                    if (frame == 0 || next() % 8 == 0) fills.push_back({x, y, cell, cell, next() & 0xFFFFFF});
                }
            }
            const int sweep = static_cast<int>(frame * 16 % static_cast<std::uint32_t>(width));
            fills.push_back({sweep, top, 40, height - top, 0xFFFFFF});
            const int band = top + static_cast<int>(frame * 9 % static_cast<std::uint32_t>(height - top - 30));
            fills.push_back({0, band, width, 30, 0x202020});
            const auto counter = FrameCounter::squares(frame);
            fills.insert(fills.end(), counter.begin(), counter.end());
            painter_.fill(fills); // returns once the server has drawn it
            {
                std::lock_guard guard(mutex_);
                shown_.push_back(steadyUptimeNs());
            }
            std::this_thread::sleep_for(8ms);
        }
    }

    testing::X11Painter painter_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<std::uint64_t> shown_; // by counter
    std::thread thread_;
};

// What the reference encoder did.
struct FfmpegFigures {
    double fps = -1; // negative: it did not run
    std::uint64_t frames = 0;
    // Bits per frame times the rate x264 was told (60): what its rate control aimed at the target.
    double achievedBps = 0;
};

// `ffmpeg -f x11grab ... -c:v libx264` as fast as it grabs, over `seconds`:
// x264 is told 60 fps with constant-rate input (as the product tells it),
// since x11grab's timestamps at its asked 240 fps would make the rate control
// starve every frame after the first. The stream goes to a temporary file,
// whose size gives the achieved bit rate; its frames are taken as grabbed
// (no duplicates to fill the asked rate).
inline FfmpegFigures ffmpegFigures(const std::string& display, int width, int height, const std::string& preset,
                                   int keyframeInterval, std::int64_t bitrate, std::int64_t bufferBits, int seconds) {
    FfmpegFigures figures;
    char log[] = "/tmp/velorinth-ffmpeg-XXXXXX";
    const int fd = mkstemp(log);
    if (fd < 0) return figures;
    close(fd);
    // In memory where there is such a place: the stream's writes cost ffmpeg no disk.
    const std::string stream =
        (::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") + (log + 4) : std::string(log)) + ".h264";
    std::vector<std::string> arguments{"ffmpeg",       "-nostdin",
                                       "-hide_banner", "-loglevel",
                                       "error",        "-stats",
                                       "-f",           "x11grab",
                                       "-framerate",   "240",
                                       "-video_size",  std::to_string(width) + "x" + std::to_string(height),
                                       "-i",           display,
                                       "-t",           std::to_string(seconds),
                                       "-c:v",         "libx264",
                                       "-preset",      preset,
                                       "-tune",        "zerolatency",
                                       "-x264-params", "force-cfr=1:fps=60",
                                       "-bf",          "0",
                                       "-g",           std::to_string(keyframeInterval),
                                       "-b:v",         std::to_string(bitrate),
                                       "-maxrate",     std::to_string(bitrate * 3 / 2),
                                       "-bufsize",     std::to_string(bufferBits),
                                       "-pix_fmt",     "yuv420p",
                                       "-fps_mode",    "passthrough",
                                       "-y",           "-f",
                                       "h264",         stream};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log, O_WRONLY | O_TRUNC, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    const bool ran = spawned == 0 && waitpid(pid, &status, 0) == pid;
    struct stat written {};
    const bool wrote = ::stat(stream.c_str(), &written) == 0;
    std::remove(stream.c_str());
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(log);
    if (!ran || !wrote) return figures;
    // Progress lines end in carriage returns: the last "frame=" is the total.
    const std::string all = text.str();
    const auto at = all.rfind("frame=");
    if (at == std::string::npos) return figures;
    figures.frames = static_cast<std::uint64_t>(std::atoll(all.c_str() + at + 6));
    if (figures.frames == 0) return figures;
    figures.fps = double(figures.frames) / seconds;
    figures.achievedBps = double(written.st_size) * 8 / (double(figures.frames) / 60.0);
    return figures;
}

} // namespace velorinth::bench
