#include "basalt/host/HostOptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "basalt/BasaltError.h"

namespace qorvin {

namespace {

int ParseInt(const std::string& option, const std::string& text, long min, long max) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max)
    throw EBasaltError(option + ": '" + text + "' is not a number in range");
  return int(v);
}

void ParseServer(THostOptions& o) {
  const size_t colon = o.Server.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw EBasaltError("--server: expected HOST:PORT, got '" + o.Server + "'");
  o.ServerHost = o.Server.substr(0, colon);
  o.ServerPort = ParseInt("--server port", o.Server.substr(colon + 1), 1, 65535);
}

}  // namespace

THostOptions ParseHostOptions(const std::vector<std::string>& args) {
  THostOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.Help = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) throw EBasaltError("unexpected argument '" + a + "'");
    if (i + 1 >= args.size()) throw EBasaltError(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--server") {
      o.Server = v;
      ParseServer(o);
    } else if (a == "--transport") {
      if (v.size() != 1 || std::string("HBTU").find(v[0]) == std::string::npos)
        throw EBasaltError("--transport: expected one of H, B, T, U");
      o.ConnectType = v[0];
    } else if (a == "--client-library") {
      o.ClientLibrary = v;
    } else if (a == "--user") {
      o.UserId = v;
    } else if (a == "--action-type") {
      o.ActionType = ParseInt(a, v, INT_MIN, INT_MAX);
    } else if (a == "--group") {
      o.HasGroup = true;
      o.Group = v;
    } else if (a == "--menu-file") {
      o.MenuFile = v;
    } else if (a == "--plugin") {
      o.PluginPath = v;
    } else if (a == "--class") {
      o.ClassName = v;
    } else if (a == "--screenshot") {
      o.Screenshot = v;
    } else {
      throw EBasaltError("unknown option '" + a + "'");
    }
  }
  return o;
}

std::string HostUsage() {
  return "usage: basalt-host [options]\n"
         "  --server HOST:PORT       middleware server (none: remote calls fail)\n"
         "  --transport H|B|T|U      connection type (default H)\n"
         "  --client-library PATH    libQorvinClient.so to use\n"
         "  --user ID                current user id\n"
         "  --action-type N          action type of the invocation (2: user group)\n"
         "  --group NAME             user-group name, passed as the first argument\n"
         "  --menu-file FILE         the application's menus and installed plugs\n"
         "  --plugin PATH            plug-in library (default: libPersonal.so beside the program)\n"
         "  --class NAME             form class (default TPersonalCommonFuncForm)\n"
         "  --screenshot FILE        render the form to a PNG file and exit\n";
}

}  // namespace qorvin
