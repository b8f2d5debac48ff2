// What the tests of qorvin.exe under Wine share: running the Windows program (and, to look at
// the server's data from the other side, the Linux one), a throw-away folder, one sample server
// per connection letter, and text in a code page.
//
// The Windows build's ctest runs this program with QORVIN_WINDOWS_CLI naming qorvin.exe,
// QORVIN_WINDOWS_HTTP_POST naming http-post.exe and QORVIN_WINE naming the Wine loader, after
// starting the Wine prefix's server (WINEPREFIX) for the whole run: a Wine program started without
// one would start its own, which would keep the test's output pipes open.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/cli/Subprocess.h"
#include "tests/e2e/ServerProcess.h"

namespace qorvin::wine {

using qorvin::testing::ProgramRun;

// The Unix locale from which Wine takes the program's ANSI code page: C.UTF-8 gives 1252 (as
// any English locale does), zh_CN.GBK gives 936. Locales the system lacks are made with
// localedef in a folder of the test's own.
struct CodePage {
  const char* locale;   // "en_US.CP1252"
  const char* charset;  // the iconv name of the code page: "CP1252"
};
inline constexpr CodePage kPlain{"C.UTF-8", "CP1252"};  // for ASCII: Wine's default code page
inline constexpr CodePage kWindows1252{"en_US.CP1252", "CP1252"};
inline constexpr CodePage kGbk{"zh_CN.GBK", "GBK"};

// Runs the Windows program that the environment variable `program` names under Wine with
// `args`; its arguments, files and output are in `page`.
ProgramRun WindowsProgram(const char* program, const std::vector<std::string>& args,
                          const CodePage& page = kPlain, int timeoutMs = 120000);
// Runs qorvin.exe (QORVIN_WINDOWS_CLI) under Wine.
ProgramRun WindowsQorvin(const std::vector<std::string>& args, const CodePage& page = kPlain,
                         int timeoutMs = 120000);
// Runs the Linux qorvin with `args` in UTF-8.
ProgramRun LinuxQorvin(const std::vector<std::string>& args);

// The lines of a program's standard output, without the carriage returns of the C library's
// text mode.
std::vector<std::string> OutputLines(const ProgramRun& run);

// UTF-8 text in the charset (iconv names), and back; the test fails on text that does not fit.
std::string FromUtf8(const std::string& text, const char* charset);
std::string ToUtf8(const std::string& text, const char* charset);

// A fresh folder for the whole program's run, removed at its end.
const std::string& WorkFolder();
// Writes `bytes` to `name` in the work folder; returns its path.
std::string WriteWorkFile(const std::string& name, const std::string& bytes);

// A new sample server (the sample schema and procedures on SQLite in memory), logging to
// `logName` in the work folder. Fails the test (null) when it does not come up.
std::unique_ptr<e2e::ServerProcess> StartSampleServer(const std::string& logName);
// The sample server of a letter, shared by the tests of that letter (one per letter for the
// whole run, stopped at its end).
e2e::ServerProcess& SharedServer(char letter);

// "h://127.0.0.1:PORT" and the like for a letter and port.
std::string Url(char letter, int port);

}  // namespace qorvin::wine
