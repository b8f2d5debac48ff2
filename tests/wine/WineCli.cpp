#include "tests/wine/WineCli.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace qorvin::wine {

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The folder of locales made for these tests (shared with other test programs that make the
// same ones: each is made under a name of this process's own and renamed into place).
std::string LocaleFolder(const CodePage& page) {
  if (std::string(page.locale) == "C.UTF-8") return {};
  const fs::path dir = fs::temp_directory_path() / "qorvin-test-locales";
  if (!fs::exists(dir / page.locale / "LC_CTYPE")) {
    fs::create_directories(dir);
    const std::string name = page.locale;
    const std::string source = name.substr(0, name.find('.'));
    const fs::path made = dir / (name + ".making." + std::to_string(::getpid()));
    const std::string command = "localedef -i " + source + " -f " + page.charset + " '" +
                                made.string() + "' >/dev/null 2>&1";
    (void)std::system(command.c_str());  // warnings give a non-zero status: look at the files
    std::error_code ignored;
    if (fs::exists(made / "LC_CTYPE")) fs::rename(made, dir / name, ignored);
    fs::remove_all(made, ignored);
  }
  EXPECT_TRUE(fs::exists(dir / page.locale / "LC_CTYPE"))
      << "cannot make the locale " << page.locale << " (localedef and the locales package)";
  return dir.string();
}

std::string Convert(const std::string& text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no conversion from " << from << " to " << to;
    return {};
  }
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* put = out.data();
  size_t putLeft = out.size();
  const size_t rc = iconv(cd, &in, &inLeft, &put, &putLeft);
  iconv_close(cd);
  EXPECT_NE(rc, size_t(-1)) << "text without a " << to << " form";
  out.resize(out.size() - putLeft);
  return out;
}

struct Shared {
  std::mutex mutex;
  std::string folder;
  std::map<char, std::unique_ptr<e2e::ServerProcess>> servers;
};

Shared& State() {
  static Shared shared;
  return shared;
}

// Stops the shared servers and removes the work folder when the run ends.
class CleanUp : public ::testing::Environment {
 public:
  void TearDown() override {
    Shared& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [letter, server] : s.servers)
      EXPECT_EQ(server->Stop(), 0) << "the " << letter << " server did not stop cleanly";
    s.servers.clear();
    std::error_code ignored;
    if (!s.folder.empty()) fs::remove_all(s.folder, ignored);
  }
};

[[maybe_unused]] const auto* const kCleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);

}  // namespace

ProgramRun WindowsProgram(const char* program, const std::vector<std::string>& args,
                          const CodePage& page, int timeoutMs) {
  const std::string exe = Env(program);
  const std::string wine = Env("QORVIN_WINE");
  if (exe.empty() || wine.empty()) {
    ADD_FAILURE() << program << " and QORVIN_WINE name the Windows program and the Wine loader";
    return {};
  }
  std::vector<std::string> command = {wine, exe};
  command.insert(command.end(), args.begin(), args.end());
  qorvin::testing::ProgramOptions options;
  options.timeoutMs = timeoutMs;
  // Wine's WinInet takes a proxy from these but ignores no_proxy: the loopback server is reached
  // directly.
  options.env = {"WINEDEBUG=-all", "http_proxy=",  "https_proxy=",
                 "HTTP_PROXY=",    "HTTPS_PROXY=", "LC_ALL=" + std::string(page.locale)};
  if (const std::string locales = LocaleFolder(page); !locales.empty())
    options.env.push_back("LOCPATH=" + locales);
  return qorvin::testing::RunProgram(command, options);
}

std::vector<std::string> OutputLines(const ProgramRun& run) {
  std::vector<std::string> lines;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

ProgramRun WindowsQorvin(const std::vector<std::string>& args, const CodePage& page,
                         int timeoutMs) {
  return WindowsProgram("QORVIN_WINDOWS_CLI", args, page, timeoutMs);
}

ProgramRun LinuxQorvin(const std::vector<std::string>& args) {
  std::vector<std::string> command = {QORVIN_LINUX_CLI};
  command.insert(command.end(), args.begin(), args.end());
  qorvin::testing::ProgramOptions options;
  options.env = {"LC_ALL=C.UTF-8"};
  return qorvin::testing::RunProgram(command, options);
}

std::string FromUtf8(const std::string& text, const char* charset) {
  return Convert(text, "UTF-8", charset);
}

std::string ToUtf8(const std::string& text, const char* charset) {
  return Convert(text, charset, "UTF-8");
}

const std::string& WorkFolder() {
  Shared& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.folder.empty()) {
    std::string pattern = (fs::temp_directory_path() / "qorvin-wine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    s.folder = pattern;
  }
  return s.folder;
}

std::string WriteWorkFile(const std::string& name, const std::string& bytes) {
  const std::string path = WorkFolder() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::unique_ptr<e2e::ServerProcess> StartSampleServer(const std::string& logName) {
  e2e::ServerOptions o;
  o.schema = std::string(QORVIN_SOURCE_ROOT) + "/server/sample/schema.sql";
  o.procedures = std::string(QORVIN_SOURCE_ROOT) + "/server/sample/procedures";
  o.logFile = WorkFolder() + "/" + logName;
  std::string error;
  std::unique_ptr<e2e::ServerProcess> server = e2e::ServerProcess::Start(o, error);
  EXPECT_NE(server, nullptr) << error;
  return server;
}

e2e::ServerProcess& SharedServer(char letter) {
  Shared& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto found = s.servers.find(letter);
    if (found != s.servers.end()) return *found->second;
  }
  std::unique_ptr<e2e::ServerProcess> server =
      StartSampleServer(std::string("server-") + letter + ".log");
  if (!server) throw std::runtime_error("the sample server did not start");
  std::lock_guard<std::mutex> lock(s.mutex);
  return *(s.servers[letter] = std::move(server));
}

std::string Url(char letter, int port) {
  return std::string(1, char(std::tolower(letter))) + "://127.0.0.1:" + std::to_string(port);
}

}  // namespace qorvin::wine
