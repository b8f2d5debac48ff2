// What a start of qorvin loads: libcurl (and the libraries it needs) only for HTTP. The dynamic
// loader's own trace (LD_DEBUG=files) lists every library the process opened.
#include <gtest/gtest.h>

#include "tests/cli/CliHarness.h"

namespace qorvin::testing {
namespace {

bool LoadedLibcurl(const ProgramRun& run) {
  return run.err.find("file=libcurl.so.4 [0];") != std::string::npos;  // linked or dlopened
}

std::string Url(char letter, int port) {
  return std::string(1, char(std::tolower(letter))) + "://127.0.0.1:" + std::to_string(port);
}

TEST(CliStartup, OnlyAnHttpCallOrProbeLoadsLibcurl) {
  CliServer server;
  server.Answer(Reply().Double(45000.5).Bytes());
  ProgramOptions traced;
  traced.env = {"LD_DEBUG=files"};
  for (char letter : {'T', 'B', 'U', 'H'}) {
    ProgramRun run = Qorvin(Args(server.Connect(letter), {"--format", "csv", "datetime"}), traced);
    EXPECT_EQ(run.status, 0) << letter << ": " << run.err;
    EXPECT_EQ(run.out.substr(0, 21), "result,datetime,days\r") << letter;
    // The trace sees the client library loaded, so it would see libcurl too.
    EXPECT_NE(run.err.find("libQorvinClient.so [0];  dynamically loaded"), std::string::npos)
        << letter;
    EXPECT_EQ(LoadedLibcurl(run), letter == 'H') << letter;
  }
  ScriptedServer probed([](const std::string&) { return std::string("PROBEDOK"); });
  ProgramRun run =
      Qorvin({"probe", Url('T', probed.Port('T')), Url('U', probed.Port('U'))}, traced);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(LoadedLibcurl(run));
  run = Qorvin({"probe", Url('H', probed.Port('H'))}, traced);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(LoadedLibcurl(run));
}

}  // namespace
}  // namespace qorvin::testing
