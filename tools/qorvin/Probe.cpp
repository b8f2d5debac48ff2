#include "tools/qorvin/Probe.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>

#include "include/qorvin/QorvinServers.h"
#include "tools/qorvin/ClientLibrary.h"
#include "tools/qorvin/Csv.h"
#include "tools/qorvin/Output.h"

namespace qorvin::cli {
namespace {

using Clock = std::chrono::steady_clock;

ProbeResult ProbeOne(ClientLibrary& library, const ProbeTarget& t, int timeoutMs) {
  ProbeResult r;
  r.target = t;
  const auto start = Clock::now();
  try {
    IRemoteDataModule* module = library.CreateModule(t.letter, t.host, t.port);
    IQorvinServers* servers = nullptr;
    if (module->QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)) !=
            0 ||
        servers == nullptr)
      throw RunError("this client library cannot probe servers");
    QorvinText error{};
    r.ok = servers->ProbeServer(0, timeoutMs, &error);
    if (!r.ok) r.error = error.data ? std::string(error.data, size_t(error.length)) : "failed";
    qorvin_text_free(&error);
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

std::vector<ProbeResult> ProbeAll(ClientLibrary& library, const std::vector<ProbeTarget>& targets,
                                  int timeoutMs) {
  std::vector<std::future<ProbeResult>> running;
  for (const ProbeTarget& t : targets)
    running.push_back(std::async(std::launch::async, ProbeOne, std::ref(library), t, timeoutMs));
  std::vector<ProbeResult> results;
  for (auto& f : running) results.push_back(f.get());
  return results;
}

std::string RenderProbes(const std::vector<ProbeResult>& results, const std::string& format,
                         char delimiter) {
  std::string out;
  if (format == "csv") AppendCsvRecord(out, {"server", "ok", "ms", "error"}, delimiter);
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
