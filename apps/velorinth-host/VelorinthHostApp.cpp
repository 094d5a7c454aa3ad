#include "VelorinthHostApp.hpp"

#include "host/model/ProductionHostEnvironment.hpp"
#include "host/qt/QtDisplayFormats.hpp"
#include "host/qt/QtPasteboard.hpp"
#include "host/qt/QtWindowActivator.hpp"
#include "platform/DisplayMonitor.hpp"
#include "platform/SecureStore.hpp"
#include "platform/StateFolder.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "transport/discovery/LocalNetworkAddressScanner.hpp"

#include <QApplication>
#include <QSocketNotifier>

#include <asio/post.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <fcntl.h>
#include <unistd.h>

namespace velorinth {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

CommandLineReader::Options optionsOf(VelorinthHostAppOptions& options) {
    return {
        {"--console-approval", "", "also print each pairing request and answer it here: y approves, n rejects",
         [&](const std::string&) { options.consoleApproval = true; }},
        CommandLineReader::helpOption(),
    };
}

void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The store in the user's state folder (the identity, the trust records, the
// wake record), checked and held before anything in it is read; the store
// keeps the folder and its lock for as long as it lives. None without a home
// folder: nothing can be stored to lose.
std::shared_ptr<SecureStore> holdStateFolder() {
    const std::filesystem::path root = FileSecureStore::defaultRoot();
    if (root.empty()) return nullptr;
    auto state = std::make_shared<StateFolder>(StateFolder::openOrMake(root.parent_path()));
    auto store = std::make_shared<FileSecureStore>(state, root.filename().string());
    store->check();
    if (!state->tryLock()) throw Error(std::string(VelorinthHostApp::kAnotherHostText));
    return store;
}

} // namespace

VelorinthHostApp::VelorinthHostApp(VelorinthHostAppOptions options) : options_(std::move(options)) {
    if (!options_.print) options_.print = &printLine;
    loop_ = std::make_unique<EventLoop>();
    loop_->start();
    main_ = std::make_unique<QtMainExecutionContext>();
    if (!options_.secureStore) options_.secureStore = SecureStore::create();
    trust_ = std::make_shared<TrustedDeviceStore>(options_.secureStore);

    ProductionHostOptions production;
    production.displayName = options_.displayName;
    production.pasteboard = std::make_shared<QtPasteboard>();
    production.windowActivator = std::make_shared<QtWindowActivator>();
    production.serverOptions = options_.serverOptions;
    production.secureStore = options_.secureStore;
    model_ = std::make_shared<HostModel>(
        nullptr, trust_, makeProductionHostEnvironment(*loop_, asio::any_io_executor(main_->executor()), production));

    dashboard_ = std::make_unique<HostDashboard>(model_, systemLocaleFormats());
    HostConsole::Options console;
    console.print = options_.print;
    console.lanAddresses = &LocalNetworkAddressScanner::currentIPv4Addresses;
    console.formats = systemLocaleFormats();
    if (options_.consoleApproval) {
        console.answerPrompt = [this](bool approve, Uuid id) {
            if (approve) {
                dashboard_->controller().approvePairing(id);
            } else {
                dashboard_->controller().rejectPairing(id);
            }
        };
    }
    console_ = std::make_unique<HostConsole>(model_, std::move(console));
    if (options_.consoleApproval) watchConsoleInput();
}

VelorinthHostApp::~VelorinthHostApp() {
    loop_->stop();
    main_->close();
    consoleNotifier_.reset();
    console_.reset();
    dashboard_.reset();
    sleepMonitor_.reset();
    model_.reset();
    trust_.reset();
    // The coroutines the loop still holds hop back to the UI thread as they are
    // destroyed, and the capture thread reports its stop there until the model
    // goes with them: the closed context drops those posts, so it outlives the loop.
    loop_.reset();
    main_.reset();
}

void VelorinthHostApp::show() {
    dashboard_->show();
    // Like the model, the sleep events start with the window.
    if (options_.watchesSystemSleep && !sleepMonitor_) startSleepMonitor();
}

void VelorinthHostApp::reopenDashboard() {
    dashboard_.reset();
    dashboard_ = std::make_unique<HostDashboard>(model_, systemLocaleFormats());
    dashboard_->show();
}

void VelorinthHostApp::startSleepMonitor() {
    SystemSleepMonitor::Options options;
    sleepMonitor_ = SystemSleepMonitor::create(loop_->executor(), options);
    // The reports hop to the UI thread, where the dashboard of the moment reacts.
    auto ui = asio::any_io_executor(main_->executor());
    SystemSleepMonitor::Handlers handlers;
    handlers.willSleep = [this, ui](std::function<void()> reported) {
        asio::post(ui, [this, reported = std::move(reported)]() mutable {
            if (dashboard_) {
                dashboard_->controller().systemWillSleep(std::move(reported));
            } else {
                reported();
            }
        });
    };
    handlers.didWake = [this, ui] {
        asio::post(ui, [this] {
            if (dashboard_) dashboard_->controller().systemDidWake();
        });
    };
    asio::post(loop_->executor(), [monitor = sleepMonitor_, handlers = std::move(handlers)]() mutable {
        monitor->start(std::move(handlers));
    });
}

void VelorinthHostApp::watchConsoleInput() {
    consoleNotifier_ = std::make_unique<QSocketNotifier>(options_.consoleInput, QSocketNotifier::Read);
    QObject::connect(consoleNotifier_.get(), &QSocketNotifier::activated, [this] { readConsoleInput(); });
}

void VelorinthHostApp::readConsoleInput() {
    char buffer[512];
    const ssize_t count = ::read(options_.consoleInput, buffer, sizeof buffer);
    if (count <= 0) {
        // End of input: nothing more is read; the prompts still expire.
        consoleNotifier_->setEnabled(false);
        console_->endOfInput();
        return;
    }
    consoleBuffer_.append(buffer, static_cast<std::size_t>(count));
    for (std::size_t end = consoleBuffer_.find('\n'); end != std::string::npos; end = consoleBuffer_.find('\n')) {
        const std::string line = consoleBuffer_.substr(0, end);
        consoleBuffer_.erase(0, end + 1);
        console_->inputLine(line);
    }
    // A line without an end is bounded: the terminal's input is no document.
    if (consoleBuffer_.size() > 4096) consoleBuffer_.clear();
}

VelorinthHostAppOptions VelorinthHostApp::parseArguments(CommandLineReader& reader) {
    VelorinthHostAppOptions options;
    reader.read(optionsOf(options));
    if (const std::optional<std::string> operand = reader.take()) throw UsageError("Unknown option " + *operand + ".");
    return options;
}

std::string VelorinthHostApp::usage() {
    VelorinthHostAppOptions unused;
    const CommandLineReader::Options options = optionsOf(unused);
    return "usage: velorinth-host " +
           CommandLineReader::synopsis(CommandLineReader::Options(options.begin(), options.end() - 1)) +
           "\n"
           "Shows the host's window on the X display named by DISPLAY and runs until it is quit, or until SIGTERM "
           "or SIGINT.\n"
           "Options:\n" +
           CommandLineReader::describe(options) +
           "Exit status: 0 once quit or after a signal; 1 with the error on standard error; 2 for a usage error.\n";
}

std::string VelorinthHostApp::noDisplayText(const std::string& displayName) {
    const char* fromEnvironment = std::getenv("DISPLAY");
    const std::string name = displayName.empty() && fromEnvironment != nullptr ? fromEnvironment : displayName;
    const std::string what = name.empty() ? std::string("No X display to show the host on: DISPLAY is not set.")
                                          : "The X display \u201c" + name + "\u201d does not open.";
    return what + " Run the host on a desktop, or through scripts/run, which starts a virtual display of its own.";
}

int VelorinthHostApp::run(int argc, char** argv) {
    return CommandLineReader::runProgram(
        std::vector<std::string>(argv + 1, argv + argc), usage(),
        [argv](CommandLineReader& reader) {
            VelorinthHostAppOptions options = parseArguments(reader);
            // Without a display Qt's platform aborts the process: say so first,
            // in one line. The check's connection stays open until Qt's own is
            // up, or a server that resets when its last client leaves could be
            // resetting as Qt connects, which aborts too.
            std::shared_ptr<const void> display = DisplayMonitor::holdOpen(options.displayName);
            if (!display) throw Error(noDisplayText(options.displayName));
            // One host per user: a second would save its own copy of the trust
            // records over the first's, and the first's tablets would be lost.
            // And only what the user alone can write is trusted.
            options.secureStore = holdStateFolder();
            // Every argument was the host's own: Qt takes none of them.
            int qtArgc = 1;
            QApplication application(qtArgc, argv);
            display.reset();
            // SIGINT and SIGTERM end the Qt loop through a pipe it watches.
            if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw Error("Cannot watch for signals.");
            QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
            QObject::connect(&signals, &QSocketNotifier::activated, [] {
                char byte = 0;
                while (::read(signalPipe[0], &byte, 1) > 0) {
                }
                // exit, not quit: quit first asks every window to close, and an
                // undecided pairing sheet refuses, which would drop the stop.
                // The host then ends as after Quit: the loop, the sessions and
                // the request still open go with the app, saves included.
                QCoreApplication::exit(0);
            });
            struct sigaction action {};
            action.sa_handler = &onSignal;
            sigemptyset(&action.sa_mask);
            ::sigaction(SIGINT, &action, nullptr);
            ::sigaction(SIGTERM, &action, nullptr);

            VelorinthHostApp host(std::move(options));
            host.show();
            return QApplication::exec();
        },
        std::cout, std::cerr);
}

} // namespace velorinth
