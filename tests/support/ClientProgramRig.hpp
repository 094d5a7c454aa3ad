#pragma once

// velorinth-client run as a user runs it, against the real host of the host
// rig on 127.0.0.1, with a private state directory.

#include "support/ChildProcess.hpp"
#include "support/HostRig.hpp"
#include "support/SyntheticVideoSource.hpp"
#include "support/TemporaryDirectory.hpp"

#include "platform/linux/FileSecureStore.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace velorinth::testing {

// A program of build/apps/, beside the test executables' folder.
inline std::string programPath(const std::string& name) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "apps" / name).string();
}

struct ClientProgramRig : HostRig {
    std::shared_ptr<SyntheticVideoSource> video = SyntheticVideoSource::install(*this);
    TemporaryDirectory state{"velorinth-client"};
    std::vector<std::string> environment{"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (state.path / "no-bus").string()};

    ClientProgramRig() { autoAnswer = true; }

    // The program with a private store; no multicast query leaves the
    // machine (the system bus it would reach Avahi on does not exist).
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--state-dir", state.path.string(), "--allow-loopback-for-testing"});
        return std::make_unique<ChildProcess>(programPath("velorinth-client"), arguments, environment);
    }
    ChildProcess& finish(ChildProcess& child) {
        until([&] { return child.poll(); }, 30s);
        return child;
    }
    std::unique_ptr<ChildProcess> runProgram(std::vector<std::string> arguments, const std::string& input = "") {
        auto child = start(std::move(arguments));
        child->write(input);
        child->closeInput();
        finish(*child);
        return child;
    }
    // The program with exactly these arguments, run to its end.
    std::unique_ptr<ChildProcess> runAsGiven(const std::string& program, const std::vector<std::string>& arguments) {
        auto child = std::make_unique<ChildProcess>(programPath(program), arguments, environment);
        child->closeInput();
        finish(*child);
        return child;
    }
    // Pairs, answering the code question with `answer`; returns the code shown.
    std::string pair(const std::string& answer, std::unique_ptr<ChildProcess>& child) {
        child = start({"pair", "127.0.0.1:" + std::to_string(port)});
        const std::regex code("Verification code: ([0-9]{6})");
        std::smatch shown;
        until([&] { return child->poll() || std::regex_search(child->out(), shown, code); }, 30s);
        const std::string digits = shown.size() > 1 ? shown[1].str() : "";
        child->write(answer + "\n");
        finish(*child);
        return digits;
    }
    std::optional<TrustedDevice> savedMac() {
        TrustedDeviceStore store(std::make_shared<FileSecureStore>(state.path / "secure-store"));
        const auto all = store.allDevices();
        return all.empty() ? std::nullopt : std::optional<TrustedDevice>(all.front());
    }
};

} // namespace velorinth::testing
