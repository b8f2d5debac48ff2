#include "server/net/RequestLog.h"

#include <cstdio>
#include <ctime>

#include "server/net/JsonText.h"

namespace qorvin::server {
namespace {

std::string Timestamp() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = std::time_t(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                int(ms % 1000));
  return buf;
}

// One line, at most 300 bytes: control characters become blanks.
std::string OneLine(const std::string& text) {
  std::string out = text.substr(0, 300);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  if (text.size() > 300) out += "...";
  return out;
}

// "2024-05-01T12:00:00.123Z" (UTC).
std::string IsoTimestamp() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = std::time_t(ms / 1000);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int(ms % 1000));
  return buf;
}

}  // namespace

void RequestLog::Request(const char* transport, const std::string& peer, const DispatchReply& reply,
                         size_t bytesIn, size_t bytesOut,
                         std::chrono::steady_clock::duration took) {
  const std::string& summary = reply.summary;
  const bool failed = reply.failed;
  if (observer_)
    observer_->Request(transport, reply.operation, summary, bytesIn, bytesOut, took, failed);
  if (!out_) return;
  if (format_ == LogFormat::Json) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f", std::chrono::duration<double, std::milli>(took).count());
    Line("{\"time\":" + JsonString(IsoTimestamp()) + ",\"level\":" +
         (failed ? "\"error\"" : "\"info\"") + ",\"transport\":" + JsonString(transport) +
         ",\"peer\":" + JsonString(peer) + ",\"operation\":" + JsonString(reply.operationName) +
         ",\"user\":" + JsonString(reply.user) + ",\"http_user\":" + JsonString(reply.httpUser) +
         ",\"request\":" + JsonString(std::string_view(summary).substr(0, 2000)) +
         ",\"in\":" + std::to_string(bytesIn) + ",\"out\":" + std::to_string(bytesOut) +
         ",\"ms\":" + ms + ",\"ok\":" + (failed ? "false" : "true") +
         ",\"outcome\":" + (failed ? "\"failed\"" : "\"ok\"") +
         ",\"error\":" + JsonString(std::string_view(reply.error).substr(0, 2000)) + "}");
    return;
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  Line(Timestamp() + " " + transport + " " + peer + " " +
       (summary.empty() ? "-" : OneLine(summary)) + " in=" + std::to_string(bytesIn) + " out=" +
       std::to_string(bytesOut) + " " + std::to_string(ms) + "ms " + (failed ? "error" : "ok"));
}

void RequestLog::Event(const char* transport, const std::string& peer, const std::string& what,
                       const char* level) {
  if (!out_) return;
  if (format_ == LogFormat::Json) {
    Line("{\"time\":" + JsonString(IsoTimestamp()) + ",\"level\":" + JsonString(level) +
         ",\"transport\":" + JsonString(transport) + ",\"peer\":" + JsonString(peer) +
         ",\"event\":" + JsonString(what) + "}");
    return;
  }
  Line(Timestamp() + " " + transport + " " + peer + " " + OneLine(what));
}

void RequestLog::Refused(const char* transport, const std::string& peer, const char* reason,
                         const std::string& what, bool logLine) {
  if (observer_) observer_->Refused(transport, reason);
  if (logLine) Event(transport, peer, what);
}

void RequestLog::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostream* out = out_.load();
  if (out == nullptr) return;
  *out << text << '\n';
  out->flush();
}

void RequestLog::Redirect(std::ostream* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_ = out;
}

}  // namespace qorvin::server
