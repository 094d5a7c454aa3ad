#pragma once

#include "core/CommandLineReader.hpp"
#include "core/EventLoop.hpp"
#include "host/model/HostModel.hpp"
#include "host/presenters/HostConsole.hpp"
#include "host/qt/HostDashboard.hpp"
#include "host/qt/QtMainExecutor.hpp"
#include "platform/SecureStore.hpp"
#include "platform/SystemSleepMonitor.hpp"
#include "transport/server/HostSessionServer.hpp"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;

namespace velorinth {

struct VelorinthHostAppOptions {
    // The X display to capture, inject into and watch; empty: $DISPLAY.
    std::string displayName;
    // Prompts are printed and answered on the terminal too.
    bool consoleApproval = false;
    // Reads the answers from this descriptor (standard input by default).
    int consoleInput = 0;
    bool watchesSystemSleep = true;
    HostSessionServerOptions serverOptions;
    // The identity, trust and wake records; SecureStore::create() when none.
    std::shared_ptr<SecureStore> secureStore;
    // One line of standard output; stdout by default.
    std::function<void(const std::string&)> print;
};

// The application: one event loop, one trust store, one host model for the
// life of the process, shown by the dashboard window (and the Settings
// window). Builds nothing that starts: the dashboard's first show starts the
// model. A QApplication must exist; UI thread.
class VelorinthHostApp {
public:
    explicit VelorinthHostApp(VelorinthHostAppOptions options);
    // The loop stops first, then the UI handlers not yet run are dropped, the
    // views and the model go, and the loop's own objects, then the closed UI
    // context (which drops what they still post) last.
    ~VelorinthHostApp();
    VelorinthHostApp(const VelorinthHostApp&) = delete;
    VelorinthHostApp& operator=(const VelorinthHostApp&) = delete;

    void show();
    HostDashboard& dashboard() { return *dashboard_; }
    const std::shared_ptr<HostModel>& model() const { return model_; }
    EventLoop& loop() { return *loop_; }
    // Closes the dashboard and builds a new one over the same model.
    void reopenDashboard();

    // The program: arguments, the display, QApplication, signals, exec.
    // Returns the exit status: 0 once quit or after SIGINT or SIGTERM, 1 with
    // the error on standard error, 2 for a usage error.
    static int run(int argc, char** argv);
    // The program's options; UsageError for anything else.
    static VelorinthHostAppOptions parseArguments(CommandLineReader& reader);
    static std::string usage();
    // The line that says no display opens, naming it ($DISPLAY when `displayName` is empty).
    static std::string noDisplayText(const std::string& displayName);
    static constexpr std::string_view kAnotherHostText = "Another velorinth-host is already running for this user.";

private:
    void watchConsoleInput();
    void readConsoleInput();
    void startSleepMonitor();

    VelorinthHostAppOptions options_;
    std::unique_ptr<EventLoop> loop_;
    std::unique_ptr<QtMainExecutionContext> main_;
    std::shared_ptr<TrustedDeviceStore> trust_;
    std::shared_ptr<HostModel> model_;
    std::shared_ptr<SystemSleepMonitor> sleepMonitor_;
    std::unique_ptr<HostDashboard> dashboard_;
    std::unique_ptr<HostConsole> console_;
    std::unique_ptr<QSocketNotifier> consoleNotifier_;
    std::string consoleBuffer_;
};

} // namespace velorinth
