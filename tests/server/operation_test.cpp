// Running the server: the configuration file against the command line, the JSON text of the
// request log, and the metrics' labels and page.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "messaging/uROBinMessage.h"
#include "platform/rtl/Stream.h"
#include "server/app/Options.h"
#include "server/app/ServerMetrics.h"
#include "server/net/AllowList.h"
#include "server/net/JsonText.h"
#include "server/services/ServiceHost.h"
#include "tests/support/TempPath.h"

namespace qorvin::server {
namespace {

std::string WriteConfig(const std::string& name, const std::string& text) {
  const std::string path = qorvin::test::TempPath(name);
  std::ofstream(path) << text;
  return path;
}

// A plausible value for every option that takes one.
const std::map<std::string, std::string>& SampleValues() {
  static const std::map<std::string, std::string> kValues = {
      {"db", "/tmp/x.db"},
      {"schema", "/tmp/s.sql"},
      {"procedures", "/tmp/p"},
      {"pool-size", "3"},
      {"statement-timeout", "9"},
      {"max-rows", "77"},
      {"max-result-bytes", "4096"},
      {"bind", "0.0.0.0"},
      {"http-port", "1001"},
      {"tcp-port", "1002"},
      {"udp-port", "1003"},
      {"max-request", "1000"},
      {"idle-timeout", "5"},
      {"max-connections", "6"},
      {"threads", "7"},
      {"worker-linger", "250"},
      {"codeset", "GBK"},
      {"log-format", "json"},
      {"log-file", "/tmp/r.log"},
      {"reply-compression", "4"},
      {"allow", "10.0.0.0/8"},
      {"allow-http", "::1"},
      {"allow-tcp", "127.0.0.1"},
      {"users", "/tmp/users"},
      {"allow-udp", "192.168.0.0/16,fd00::/8"},
      {"max-upload-memory", "2097152"},
      {"tls-cert", "/tmp/c.pem"},
      {"tls-key", "/tmp/k.pem"},
      {"max-requests-per-address", "5"}};
  return kValues;
}

// Everything an option can set, as text, to compare two parses.
std::string Describe(const CommandLine& c) {
  std::ostringstream o;
  o << c.config.database << "|" << c.schemaFile << "|" << c.config.proceduresFolder << "|"
    << c.config.poolSize << "|" << c.config.databaseOptions.statementTimeoutSeconds << "|"
    << c.config.batch.limits.maxRows << "|" << c.config.batch.limits.maxBytes << "|"
    << c.net.bindAddresses.front() << "|" << c.net.httpPort << "|" << c.net.tcpPort << "|"
    << c.net.udpPort << "|" << c.net.maxRequestBytes << "|" << c.net.idleTimeout.count() << "|"
    << c.net.maxConnections << "|" << c.net.workerThreads << "|" << c.net.workerLinger.count()
    << "|" << c.config.admin << "|" << c.codeSet << "|" << c.config.compressReplies << "|"
    << c.config.replyCompressionLevel << "|" << int(c.logFormat) << "|" << c.net.allowHttp.Text()
    << "|" << c.net.allowTcp.Text() << "|" << c.net.allowUdp.Text() << "|" << c.usersFile << "|"
    << c.logFile << "|" << c.quiet << "|" << c.config.maxUploadMemory << "|" << c.tlsCert << "|"
    << c.tlsKey << "|" << c.net.maxRequestsPerAddress;
  return o.str();
}

TEST(ServerConfig, EveryOptionCanBeSetInTheFileAsOnTheCommandLine) {
  std::string file;
  std::vector<std::string> args;
  for (const std::string& name : ConfigOptionNames()) {
    auto v = SampleValues().find(name);
    if (v == SampleValues().end()) {  // a switch
      file += name + " = true\n";
      args.push_back("--" + name);
    } else {
      file += name + " = " + v->second + "\n";
      args.push_back("--" + name);
      args.push_back(v->second);
    }
  }
  const CommandLine fromFile = ParseCommandLine({"--config", WriteConfig("all.conf", file)});
  const CommandLine fromArgs = ParseCommandLine(args);
  EXPECT_EQ(Describe(fromFile), Describe(fromArgs));
  EXPECT_NE(Describe(fromFile), Describe(CommandLine{})) << "every option changed something";
  EXPECT_EQ(fromFile.logFormat, LogFormat::Json);
  EXPECT_TRUE(fromFile.config.admin);
  EXPECT_FALSE(fromFile.config.compressReplies);

  // Every option the help text names is one the file accepts (config and help aside).
  const std::string help = HelpText();
  for (size_t at = help.find("\n  --"); at != std::string::npos; at = help.find("\n  --", at + 1)) {
    const std::string name = help.substr(at + 5, help.find_first_of(" \n", at + 5) - at - 5);
    if (name == "config" || name == "help" || name == "version" || name == "check-config") continue;
    const auto names = ConfigOptionNames();
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
}

TEST(ServerConfig, TheCommandLineWinsAndTheFileFormatIsForgiving) {
  const std::string path = WriteConfig("win.conf",
                                       "# comment\n\n   http-port=1234  \n"
                                       "tcp-port = 99\nadmin = yes\nno-compression = off\n"
                                       "db = \"  spaced name.db \"\nlog-format = json\n");
  const CommandLine c = ParseCommandLine({"--tcp-port", "77", "--config", path, "--quiet"});
  EXPECT_EQ(c.net.httpPort, 1234);
  EXPECT_EQ(c.net.tcpPort, 77);  // the command line, wherever --config stands
  EXPECT_TRUE(c.config.admin);
  EXPECT_TRUE(c.config.compressReplies);
  EXPECT_EQ(c.config.database, "  spaced name.db ");
  EXPECT_TRUE(c.quiet);
  EXPECT_EQ(c.configFile, path);
  // --help needs no file.
  EXPECT_TRUE(ParseCommandLine({"--help", "--config", "/nonexistent"}).help);
}

TEST(ServerConfig, MistakesNameTheFileAndTheLine) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"db = x\nfrobnicate = 1\n", ":2: unknown option \"frobnicate\""},
      {"http-port 80\n", ":1: expected \"name = value\""},
      {"\npool-size = 0\n", ":2: pool-size must lie between 1 and 1000"},
      {"admin = maybe\n", ":1: admin must be true or false, not \"maybe\""},
      {"log-format = xml\n", ":1: log-format must be text or json"},
      {"config = other.conf\n", ":1: unknown option \"config\""},
      {"http-port = -1\ntcp-port = -1\nudp-port = -1\n", "every transport is off"},
  };
  for (const Case& c : cases) {
    const std::string path = WriteConfig("bad.conf", c.text);
    try {
      ParseCommandLine({"--config", path});
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ParseCommandLine({"--config"}), std::invalid_argument);
  EXPECT_THROW(ParseCommandLine({"--config", "/nonexistent/x.conf"}), std::invalid_argument);
  const std::string ok = WriteConfig("ok.conf", "db = x\n");
  EXPECT_THROW(ParseCommandLine({"--config", ok, "--config", ok}), std::invalid_argument);
  // A value that looks like --config belongs to its option.
  EXPECT_EQ(ParseCommandLine({"--db", "--config"}).config.database, "--config");
}

// bind is the option given several times: lines and lists add up in the file, --bind options on
// the command line, which replace the file's as a whole; an empty or repeated address is refused.
TEST(ServerConfig, BindAddressesAddUpAndTheCommandLineReplacesTheFiles) {
  using Addresses = std::vector<std::string>;
  EXPECT_EQ(ParseCommandLine({}).net.bindAddresses, Addresses{"127.0.0.1"});
  const std::string path =
      WriteConfig("bind.conf", "bind = 127.0.0.1\nhttp-port = 1\nbind = ::1 , 10.0.0.7\n");
  EXPECT_EQ(ParseCommandLine({"--config", path}).net.bindAddresses,
            (Addresses{"127.0.0.1", "::1", "10.0.0.7"}));
  EXPECT_EQ(
      ParseCommandLine({"--bind", "::", "--config", path, "--bind=0.0.0.0"}).net.bindAddresses,
      (Addresses{"::", "0.0.0.0"}));
  EXPECT_EQ(ParseCommandLine({"--bind", "127.0.0.1,::1"}).net.bindAddresses,
            (Addresses{"127.0.0.1", "::1"}));
  const std::vector<std::pair<Addresses, std::string>> bad = {
      {{"--bind", ""}, "--bind needs an address"},
      {{"--bind", "127.0.0.1,"}, "--bind needs an address, not \"127.0.0.1,\""},
      {{"--bind", "::1", "--bind", "::1"}, "--bind: ::1 is given twice"},
      {{"--bind", "::1,127.0.0.1,::1"}, "--bind: ::1 is given twice"},
      {{"--config", WriteConfig("twice.conf", "bind = ::1\nbind = ::1\n")},
       "twice.conf:2: bind: ::1 is given twice"}};
  for (const auto& [args, message] : bad) {
    try {
      ParseCommandLine(args);
      ADD_FAILURE() << "accepted: " << args.back();
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

// "--name=value" as well as "--name value", for switches too; --version and --check-config are
// the command line's alone.
TEST(ServerConfig, ValuesFollowAnEqualsSignToo) {
  const std::string path = WriteConfig("eq.conf", "tcp-port = 5\n");
  const CommandLine c = ParseCommandLine({"--db=a=b.db", "--http-port=-1", "--admin=false",
                                          "--quiet", "--config=" + path, "--check-config"});
  EXPECT_EQ(c.config.database, "a=b.db");
  EXPECT_EQ(c.net.httpPort, -1);
  EXPECT_EQ(c.net.tcpPort, 5);
  EXPECT_FALSE(c.config.admin);
  EXPECT_TRUE(c.quiet);
  EXPECT_TRUE(c.checkConfig);
  EXPECT_TRUE(ParseCommandLine({"--admin=on"}).config.admin);
  EXPECT_TRUE(ParseCommandLine({"--version"}).version);
  EXPECT_THROW(ParseCommandLine({"--admin=maybe"}), std::invalid_argument);
  EXPECT_THROW(ParseCommandLine({"--frob=1"}), std::invalid_argument);
  const std::string versioned = WriteConfig("v.conf", "version = true\n");
  EXPECT_THROW(ParseCommandLine({"--config", versioned}), std::invalid_argument);
  EXPECT_EQ(VersionText().rfind("qorvin-server ", 0), 0u);
}

TEST(RequestLogJson, StringsStayValidJsonWhateverTheyHold) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("\n\r\t\x01\x1f\x7f", 6)), "\"\\n\\r\\t\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString("日本語 é"), "\"日本語 é\"");  // well-formed UTF-8 as it is
  // Bytes that are not UTF-8 (an 8-bit code set, a cut sequence, an overlong form, a surrogate)
  // become U+FFFD one byte at a time.
  EXPECT_EQ(JsonString("\xe9t\xe9"), "\"\\ufffdt\\ufffd\"");
  EXPECT_EQ(JsonString("ab\xe6\x97"), "\"ab\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(ServerMetricsPage, LabelsAreBoundedAndTheGaugesAreReadAtEachPage) {
  int connections = 3;
  ServerMetrics metrics(
      MetricsSources{[](const std::string& op) { return op == "ExecSqlService.SynchReadData"; },
                     {"ControlService.Alive", "ExecSqlService.SynchReadData"},
                     [&connections] { return connections; },
                     [] {
                       return std::vector<std::pair<std::string, int>>{{"ExecSqlService", 2}};
                     }});
  EXPECT_EQ(metrics.OperationLabel("ExecSqlService.SynchReadData user=u1"),
            "ExecSqlService.SynchReadData");
  EXPECT_EQ(metrics.OperationLabel("ExecSqlService.Invented error=no such operation"), "other");
  EXPECT_EQ(metrics.OperationLabel("probe"), "probe");
  EXPECT_EQ(metrics.OperationLabel("GET /metrics"), "metrics");
  EXPECT_EQ(metrics.OperationLabel("404 /x\"y"), "other");
  EXPECT_EQ(metrics.OperationLabel(""), "other");

  using std::chrono::milliseconds;
  // A numbered operation counts where its summary would: the series are the same.
  metrics.Request("TCP", 1, "ExecSqlService.SynchReadData user=u1", 100, 2000, milliseconds(3),
                  false);
  metrics.Request("TCP", -1, "ExecSqlService.SynchReadData user=u1", 50, 70, milliseconds(700),
                  true);
  metrics.Request("UDP", -1, "probe", 5, 8, milliseconds(0), false);
  metrics.Request("HTTP", 0, "ControlService.Alive", 40, 30, milliseconds(0), false);
  metrics.Request("HTTP", 0, "ControlService.Alive", 40, 30, milliseconds(0), false);
  metrics.Request("HTTP", 1, "ExecSqlService.SynchReadData x", 1, 2, milliseconds(20), true);
  // A number out of range falls back to the summary.
  metrics.Request("UDP", 7, "probe", 5, 8, milliseconds(0), false);
  const std::string page = metrics.Page();
  for (const char* want : {
           "qorvin_requests_total{operation=\"ExecSqlService.SynchReadData\",outcome=\"ok\","
           "transport=\"tcp\"} 1\n",
           "qorvin_requests_total{operation=\"ExecSqlService.SynchReadData\",outcome=\"error\","
           "transport=\"tcp\"} 1\n",
           "qorvin_requests_total{operation=\"probe\",outcome=\"ok\",transport=\"udp\"} 2\n",
           "qorvin_requests_total{operation=\"ControlService.Alive\",outcome=\"ok\","
           "transport=\"http\"} 2\n",
           "qorvin_requests_total{operation=\"ExecSqlService.SynchReadData\",outcome=\"error\","
           "transport=\"http\"} 1\n",
           "qorvin_received_bytes_total{transport=\"tcp\"} 150\n",
           "qorvin_received_bytes_total{transport=\"http\"} 81\n",
           "qorvin_sent_bytes_total{transport=\"udp\"} 16\n",
           "qorvin_sent_bytes_total{transport=\"tcp\"} 2070\n",
           "qorvin_request_duration_seconds_bucket{operation=\"ExecSqlService.SynchReadData\","
           "le=\"0.005\"} 1\n",
           "qorvin_request_duration_seconds_bucket{operation=\"ExecSqlService.SynchReadData\","
           "le=\"1\"} 3\n",
           "qorvin_request_duration_seconds_count{operation=\"ExecSqlService.SynchReadData\"} 3\n",
           "qorvin_request_duration_seconds_count{operation=\"ControlService.Alive\"} 2\n",
           "qorvin_open_connections 3\n",
           "qorvin_db_sessions_in_use{service=\"ExecSqlService\"} 2\n",
       })
    EXPECT_NE(page.find(want), std::string::npos) << want << "\n" << page;
  connections = 0;
  EXPECT_NE(metrics.Page().find("qorvin_open_connections 0\n"), std::string::npos);
}

}  // namespace
}  // namespace qorvin::server

namespace qorvin::server {
namespace {

// The level of a reply's compression: as configured, else level 1 for a body that is mostly
// dataset blobs (compressed already), zlib's default otherwise.
TEST(ReplyCompression, MostlyCompressedBodiesGetTheFastestLevel) {
  ServerConfig config;
  EXPECT_EQ(ServiceHost::ReplyLevel(config, 900, 1000), 1);
  EXPECT_EQ(ServiceHost::ReplyLevel(config, 700, 1000), -1);
  EXPECT_EQ(ServiceHost::ReplyLevel(config, 0, 0), -1);
  config.replyCompressionLevel = 9;
  EXPECT_EQ(ServiceHost::ReplyLevel(config, 900, 1000), 9);
  EXPECT_EQ(ParseCommandLine({"--reply-compression", "auto"}).config.replyCompressionLevel,
            ServerConfig::kReplyLevelAuto);
  EXPECT_EQ(ParseCommandLine({"--reply-compression=2"}).config.replyCompressionLevel, 2);
  EXPECT_THROW(ParseCommandLine({"--reply-compression", "0"}), std::invalid_argument);

  // The message writes the level it is given: zlib's header says which (RFC 1950 FLEVEL).
  for (const auto& [level, flags] : {std::pair{1, 0x01}, std::pair{-1, 0x9C}, std::pair{9, 0xDA}}) {
    TROBinMessage msg;
    msg.CompressionLevel = level;
    msg.InitializeRequest(nullptr, "Lib", "Svc", "Op");
    const std::string text(100000, 'x');
    TBytesViewStream body(text);
    msg.WriteBinary("b", &body);
    TMemoryStream out;
    msg.WriteToStream(out);
    ASSERT_GT(out.Size(), 30);
    EXPECT_EQ(uint8_t(out.Memory()[28]), 0x78);
    EXPECT_EQ(uint8_t(out.Memory()[29]), flags) << level;
  }
}

}  // namespace
}  // namespace qorvin::server

namespace qorvin::server {
namespace {

TEST(AllowList, NetworksOfBothFamiliesAndWhatIsNotOne) {
  using boost::asio::ip::make_address;
  const AllowList list = AllowList::Parse("10.1.0.0/16, 192.168.5.7,::1,fd00::/8");
  EXPECT_TRUE(list.Allows(make_address("10.1.200.3")));
  EXPECT_FALSE(list.Allows(make_address("10.2.0.1")));
  EXPECT_TRUE(list.Allows(make_address("192.168.5.7")));
  EXPECT_FALSE(list.Allows(make_address("192.168.5.8")));
  EXPECT_TRUE(list.Allows(make_address("::1")));
  EXPECT_TRUE(list.Allows(make_address("fd12:3456::1")));
  EXPECT_FALSE(list.Allows(make_address("fe80::1")));
  EXPECT_TRUE(list.Allows(make_address("::ffff:10.1.2.3")));  // IPv4 on an IPv6 socket
  EXPECT_FALSE(list.Allows(make_address("::ffff:10.2.2.3")));
  EXPECT_EQ(list.Text(), "10.1.0.0/16,192.168.5.7/32,::1/128,fd00::/8");
  EXPECT_TRUE(AllowList::Parse("").Empty());
  EXPECT_TRUE(AllowList::Parse("").Allows(make_address("8.8.8.8")));
  EXPECT_TRUE(AllowList::Parse("0.0.0.0/0").Allows(make_address("8.8.8.8")));
  EXPECT_FALSE(AllowList::Parse("0.0.0.0/0").Allows(make_address("::2")));
  EXPECT_TRUE(AllowList::Parse("10.0.0.0/9").Allows(make_address("10.127.0.1")));
  EXPECT_FALSE(AllowList::Parse("10.0.0.0/9").Allows(make_address("10.128.0.1")));
  for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "host.example", "::1/129", "1.2.3.4/",
                          "1.2.3.4/x", "1.2.3.4,,5.6.7.8"})
    EXPECT_THROW(AllowList::Parse(bad), std::invalid_argument) << bad;
  EXPECT_THROW(ParseCommandLine({"--allow-tcp", "nonsense"}), std::invalid_argument);
  const CommandLine c = ParseCommandLine({"--allow", "10.0.0.0/8", "--allow-udp=127.0.0.1"});
  EXPECT_EQ(c.net.allowTcp.Text(), "10.0.0.0/8");
  EXPECT_EQ(c.net.allowHttp.Text(), "10.0.0.0/8");
  EXPECT_EQ(c.net.allowUdp.Text(), "127.0.0.1/32");
}

TEST(AllowList, ARefusedAddressIsLoggedOncePerMinute) {
  RefusalLog log;
  const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  EXPECT_TRUE(log.ShouldLog("10.0.0.1", t0));
  EXPECT_FALSE(log.ShouldLog("10.0.0.1", t0 + std::chrono::seconds(59)));
  EXPECT_TRUE(log.ShouldLog("10.0.0.2", t0 + std::chrono::seconds(59)));
  EXPECT_TRUE(log.ShouldLog("10.0.0.1", t0 + std::chrono::seconds(61)));
  // A scan of many addresses keeps the memory bounded.
  for (size_t i = 0; i < RefusalLog::kMaxAddresses * 2; ++i)
    EXPECT_TRUE(log.ShouldLog("a" + std::to_string(i), t0 + std::chrono::minutes(5)));
}

}  // namespace
}  // namespace qorvin::server
