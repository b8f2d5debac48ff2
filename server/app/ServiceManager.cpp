#include "server/app/ServiceManager.h"

#include <systemd/sd-daemon.h>

namespace qorvin::server {

void NotifyReady(const std::string& status) {
  // A status line is one line; the protocol separates its assignments by newlines.
  std::string line = status;
  for (char& c : line)
    if (c == '\n') c = ' ';
  sd_notify(0, ("READY=1\nSTATUS=" + line).c_str());
}

void NotifyReloading() {
  sd_notify(0, "RELOADING=1\nSTATUS=reading the configuration again");
}

void NotifyStopping() {
  sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

}  // namespace qorvin::server
