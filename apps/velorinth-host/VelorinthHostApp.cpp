#include "VelorinthHostApp.hpp"

#include "host/model/ProductionHostEnvironment.hpp"
#include "host/qt/QtDisplayFormats.hpp"
#include "host/qt/QtPasteboard.hpp"
#include "host/qt/QtWindowActivator.hpp"
#include "platform/SecureStore.hpp"
#include "transport/discovery/LocalNetworkAddressScanner.hpp"

#include <QApplication>
#include <QSocketNotifier>

#include <asio/post.hpp>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace velorinth {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

VelorinthHostApp::VelorinthHostApp(VelorinthHostAppOptions options) : options_(std::move(options)) {
    if (!options_.print) options_.print = &printLine;
    loop_ = std::make_unique<EventLoop>();
    loop_->start();
    main_ = std::make_unique<QtMainExecutionContext>();
    trust_ = std::make_shared<TrustedDeviceStore>(SecureStore::create());

    ProductionHostOptions production;
    production.displayName = options_.displayName;
    production.pasteboard = std::make_shared<QtPasteboard>();
    production.windowActivator = std::make_shared<QtWindowActivator>();
    production.serverOptions = options_.serverOptions;
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

std::optional<VelorinthHostAppOptions> VelorinthHostApp::parseArguments(const std::vector<std::string>& arguments) {
    VelorinthHostAppOptions options;
    for (const std::string& argument : arguments) {
        if (argument == "--console-approval") {
            options.consoleApproval = true;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

int VelorinthHostApp::run(int argc, char** argv) {
    QApplication application(argc, argv);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    std::optional<VelorinthHostAppOptions> options = parseArguments(arguments);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // SIGINT and SIGTERM end the Qt loop through a pipe it watches.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, [] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    VelorinthHostApp host(std::move(*options));
    host.show();
    return QApplication::exec();
}

} // namespace velorinth
