#pragma once
// What tests inside private namespaces (see PrivateNamespaces) start there:
// the system D-Bus daemon, Avahi, and a /sys that shows the namespace's own
// network interfaces. Each returns none once done, else the outcome to end
// the namespace's side with (a skip with the reason).

#include "support/PrivateNamespaces.hpp"

#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

struct NamespaceDaemons {
    // dbus-daemon --system on the private /run.
    static std::optional<NamespaceOutcome> startSystemBus();
    // avahi-daemon on that bus; the system bus must run.
    static std::optional<NamespaceOutcome> startAvahi();
    // A fresh sysfs on /sys: the one inherited shows the namespace that mounted it.
    static std::optional<NamespaceOutcome> remountSysfs();
    // `contents` as the namespace's /etc/resolv.conf (a file on the private
    // /run mounted over it), so name lookups go where the test says.
    static std::optional<NamespaceOutcome> useResolverConfiguration(const std::string& contents);
    // Runs each command (stdout and stderr dropped); a skip naming the first that fails.
    static std::optional<NamespaceOutcome> run(const std::vector<std::string>& commands);
};

} // namespace velorinth::testing
