// Tells the service manager how the server stands (systemd's notify protocol, through
// libsystemd's sd_notify), so that a unit of Type=notify counts the server as started only once
// it listens. Without a service manager ($NOTIFY_SOCKET unset) every call does nothing; a
// failure to tell is ignored (the server serves either way).
#pragma once

#include <string>

namespace qorvin::server {

// Serving: `status` is shown by `systemctl status`.
void NotifyReady(const std::string& status);
// Reading its configuration again (SIGHUP); NotifyReady follows when done.
void NotifyReloading();
// Stopping: its connections drain, then it exits.
void NotifyStopping();

}  // namespace qorvin::server
