#include "tools/qorvin/Probe.h"

#include <cstdio>
#include <future>
#include <random>

#include "tools/qorvin/Csv.h"
#include "tools/qorvin/Output.h"
#include "tools/qorvin/ProbeTransport.h"

namespace qorvin::cli {
namespace {

using Clock = ProbeClock;

constexpr char kProbe[] = "PROBE";
constexpr char kAnswer[] = "PROBEDOK";
constexpr size_t kIdLength = 38;
// Longer answers are not the probe's; reading stops there.
constexpr size_t kLongestAnswer = 1024;

std::string ProbeTcp(const ProbeTarget& t, Clock::time_point deadline) {
  ProbeSocket s(t, false, deadline);
  s.SendAll(std::string("\0\0\0\5", 4) + kProbe);
  const std::string head = s.ReceiveExactly(4);
  const uint32_t length = uint32_t(uint8_t(head[0])) << 24 | uint32_t(uint8_t(head[1])) << 16 |
                          uint32_t(uint8_t(head[2])) << 8 | uint32_t(uint8_t(head[3]));
  if (length > kLongestAnswer)
    throw ProbeFailure("unexpected answer (a frame of " + std::to_string(length) + " bytes)");
  return s.ReceiveExactly(length);
}

std::string RequestId() {
  static const char* kHex = "0123456789ABCDEF";
  std::random_device random;
  std::string id = "{";
  for (int group : {8, 4, 4, 4, 12}) {
    if (id.size() > 1) id += '-';
    for (int i = 0; i < group; ++i) id += kHex[random() % 16];
  }
  return id + "}";
}

std::string ProbeUdp(const ProbeTarget& t, Clock::time_point deadline) {
  ProbeSocket s(t, true, deadline);
  const std::string id = RequestId();
  s.SendAll(id + kProbe);
  for (;;) {
    const std::string datagram = s.ReceiveDatagram();
    if (datagram.size() >= kIdLength && datagram.compare(0, kIdLength, id) == 0)
      return datagram.substr(kIdLength);
    // Someone else's datagram: keep waiting for ours.
  }
}

std::string ProbeHttp(const ProbeTarget& t, Clock::time_point deadline) {
  const std::string url = "http://" + t.host + ":" + std::to_string(t.port) + "/Bin";
  return HttpProbePost(url, kProbe, kLongestAnswer, deadline);
}

ProbeResult ProbeOne(const ProbeTarget& t, int timeoutMs) {
  ProbeResult r;
  r.target = t;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  try {
    const std::string answer = t.letter == 'H'   ? ProbeHttp(t, deadline)
                               : t.letter == 'U' ? ProbeUdp(t, deadline)
                                                 : ProbeTcp(t, deadline);
    r.ok = answer == kAnswer;
    if (!r.ok)
      r.error = "unexpected answer \"" + VisibleText(answer.substr(0, 40)) + "\" (" +
                std::to_string(answer.size()) + " bytes)";
  } catch (const std::exception& e) {
    r.error = e.what();
  }
  r.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return r;
}

std::string Milliseconds(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", ms);
  return buf;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::vector<ProbeResult> ProbeAll(const std::vector<ProbeTarget>& targets, int timeoutMs) {
  ProbeStartUp();  // before any probe's thread starts
  std::vector<std::future<ProbeResult>> running;
  for (const ProbeTarget& t : targets)
    running.push_back(std::async(std::launch::async, ProbeOne, t, timeoutMs));
  std::vector<ProbeResult> results;
  for (auto& f : running) results.push_back(f.get());
  return results;
}

std::string RenderProbes(const std::vector<ProbeResult>& results, const std::string& format) {
  std::string out;
  if (format == "csv") AppendCsvRecord(out, {"server", "ok", "ms", "error"});
  for (const ProbeResult& r : results) {
    const std::string ms = Milliseconds(r.ms);
    if (format == "json") {
      out += "{\"server\":" + JsonText(r.target.url) + ",\"ok\":" + (r.ok ? "true" : "false") +
             ",\"ms\":" + ms + (r.ok ? "" : ",\"error\":" + JsonText(r.error)) + "}\n";
    } else if (format == "csv") {
      AppendCsvRecord(out,
                      {r.target.url, r.ok ? "true" : "false", ms, r.ok ? Cell() : Cell(r.error)});
    } else {
      out += VisibleText(r.target.url) + " " +
             (r.ok ? "PROBEDOK " + ms + " ms" : "failed " + ms + " ms: " + VisibleText(r.error)) +
             "\n";
    }
  }
  return out;
}

}  // namespace qorvin::cli
