#pragma once

// What VideoPipelineBench needs beside the shared bench support: the cores it
// may use, a scene that changes every frame, its own process time, and the
// reference encoder (ffmpeg's x11grab and libx264) run as a child.

#include "BenchSupport.hpp"

#include "support/X11Painter.hpp"

#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velorinth::bench {

// The cores this process may run on (taskset binds its children too).
inline int allowedCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return static_cast<int>(std::thread::hardware_concurrency());
    return CPU_COUNT(&set);
}

// User and system time of this process, seconds.
inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A desktop in motion, about 120 times a second: a grid of cells of which an
// eighth change colour each frame, and two bars sweeping across.
class Scene {
public:
    explicit Scene(const std::string& display) : painter_(display), thread_([this] { run(); }) {}
    ~Scene() {
        stopping_ = true;
        thread_.join();
    }

private:
    void run() {
        const int width = painter_.screenWidth(), height = painter_.screenHeight(), cell = 60;
        std::uint32_t state = 12345;
        const auto next = [&] {
            state = state * 1664525u + 1013904223u;
            return state;
        };
        for (std::uint64_t frame = 0; !stopping_; ++frame) {
            std::vector<testing::X11Painter::Fill> fills;
            for (int y = 0; y < height; y += cell) {
                for (int x = 0; x < width; x += cell) {
                    if (frame == 0 || next() % 8 == 0) fills.push_back({x, y, cell, cell, next() & 0xFFFFFF});
                }
            }
            const int sweep = static_cast<int>(frame * 16 % static_cast<std::uint64_t>(width));
            fills.push_back({sweep, 0, 40, height, 0xFFFFFF});
            fills.push_back({0, static_cast<int>(frame * 9 % static_cast<std::uint64_t>(height)), width, 30, 0x202020});
            painter_.fill(fills);
            std::this_thread::sleep_for(8ms);
        }
    }

    testing::X11Painter painter_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Frames per second of `ffmpeg -f x11grab ... -c:v libx264` over `seconds`,
// or a negative value when it did not run.
inline double ffmpegFramesPerSecond(const std::string& display, int width, int height, const std::string& preset,
                                    int keyframeInterval, std::int64_t bitrate, std::int64_t bufferBits, int seconds) {
    char log[] = "/tmp/velorinth-ffmpeg-XXXXXX";
    const int fd = mkstemp(log);
    if (fd < 0) return -1;
    close(fd);
    std::vector<std::string> arguments{"ffmpeg",
                                       "-nostdin",
                                       "-hide_banner",
                                       "-loglevel",
                                       "error",
                                       "-stats",
                                       "-f",
                                       "x11grab",
                                       "-framerate",
                                       "240",
                                       "-video_size",
                                       std::to_string(width) + "x" + std::to_string(height),
                                       "-i",
                                       display,
                                       "-t",
                                       std::to_string(seconds),
                                       "-c:v",
                                       "libx264",
                                       "-preset",
                                       preset,
                                       "-tune",
                                       "zerolatency",
                                       "-bf",
                                       "0",
                                       "-g",
                                       std::to_string(keyframeInterval),
                                       "-b:v",
                                       std::to_string(bitrate),
                                       "-maxrate",
                                       std::to_string(bitrate * 3 / 2),
                                       "-bufsize",
                                       std::to_string(bufferBits),
                                       "-pix_fmt",
                                       "yuv420p",
                                       "-f",
                                       "null",
                                       "-"};
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
    if (spawned != 0 || waitpid(pid, &status, 0) != pid) return -1;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(log);
    // Progress lines end in carriage returns: the last "frame=" is the total.
    const std::string all = text.str();
    const auto at = all.rfind("frame=");
    if (at == std::string::npos) return -1;
    return std::atof(all.c_str() + at + 6) / seconds;
}

} // namespace velorinth::bench
