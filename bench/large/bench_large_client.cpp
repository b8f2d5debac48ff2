// One measurement of the large-data benchmark (bench/large_data.py runs it, one process per
// measurement, so that the peak RSS it reports belongs to that measurement alone).
//
//   bench_large_client libpq URL SQL                 libpq, text mode, every value read
//   bench_large_client read LETTER PORT SQL          SynchReadData through libQorvinClient.so
//   bench_large_client dataset LETTER PORT SQL       SynchReadDataSet, every row visited
//   bench_large_client upload LETTER PORT PROC ROWS  ExecProcInsertTable of ROWS generated rows
//   bench_large_client sizes DB SQL                  the server's blob of SQL on DB (in process):
//                                                    record-set image and blob sizes
//   bench_large_client calls LETTER PORT SQL SECONDS SynchReadData again and again on one kept
//                                                    connection for SECONDS (after 50 warm-up
//                                                    calls): calls, calls/s, p50 and p99 in µs
//
// Prints one JSON object on stdout: seconds (the call alone), rows, bytes, maxrss_kb, and error
// when the call failed (exit status 1). The client library is loaded with dlopen, as a host
// loads it (QORVIN_CLIENT_LIBRARY, or the path in the environment variable of that name).
#include <dlfcn.h>
#include <libpq-fe.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "include/qorvin/QorvinClient.h"
#include "platform/rtl/Stream.h"
#include "server/db/Database.h"
#include "server/services/DataSetBlob.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
  double seconds = 0;
  long long rows = -1;
  long long bytes = -1;
  long long image = -1;
  std::string error;
  // calls mode
  long long calls = -1;
  double p50_us = 0, p99_us = 0;
};

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  }
  return out;
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Outcome Libpq(const char* url, const char* sql) {
  Outcome o;
  PGconn* conn = PQconnectdb(url);
  if (PQstatus(conn) != CONNECTION_OK) {
    o.error = PQerrorMessage(conn);
    PQfinish(conn);
    return o;
  }
  auto start = Clock::now();
  PGresult* r = PQexec(conn, sql);
  if (PQresultStatus(r) != PGRES_TUPLES_OK) {
    o.error = PQresultErrorMessage(r);
  } else {
    const int rows = PQntuples(r), cols = PQnfields(r);
    long long total = 0;
    for (int i = 0; i < rows; ++i)
      for (int c = 0; c < cols; ++c) {
        const char* v = PQgetvalue(r, i, c);
        total += PQgetlength(r, i, c) + (PQgetisnull(r, i, c) ? 0 : (v[0] & 1));
      }
    o.rows = rows;
    o.bytes = total;
  }
  PQclear(r);
  o.seconds = Since(start);
  PQfinish(conn);
  return o;
}

struct Library {
  Library() {
    const char* path = std::getenv("QORVIN_CLIENT_LIBRARY");
    handle = dlopen(path ? path : QORVIN_CLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(dlerror());
    create =
        reinterpret_cast<QorvinCreateRemoteDataModuleFn>(dlsym(handle, "CreateRemoteDataModule"));
    if (create == nullptr) throw std::runtime_error("CreateRemoteDataModule not exported");
  }
  IRemoteDataModule* Module(char letter, int port) {
    QorvinText failure{};
    IRemoteDataModule* m = create(1, letter, "127.0.0.1", port, &failure);
    std::string text = failure.data ? failure.data : "";
    qorvin_text_free(&failure);
    if (m == nullptr) throw std::runtime_error("no module: " + text);
    return m;
  }
  void* handle = nullptr;
  QorvinCreateRemoteDataModuleFn create = nullptr;
};

const IRemoteDataModule::Guid kFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

std::string Take(QorvinText& t) {
  std::string s = t.data ? std::string(t.data, size_t(t.length)) : "";
  qorvin_text_free(&t);
  return s;
}

Outcome Read(char letter, int port, const char* sql, bool dataSet) {
  Library lib;
  IRemoteDataModule* m = lib.Module(letter, port);
  // A host that reads 10M rows (--large: an image of about 1.2 GB) raises the inflation budget.
  void* f = nullptr;
  if (m->QueryInterface(&kFactoryIID, &f) != 0) throw std::runtime_error("no factory");
  static_cast<IQorvinDataSetFactory*>(f)->SetInflateBudget(int64_t(16) << 30);
  Outcome o;
  int32_t result = 0;
  QorvinText error{};
  auto start = Clock::now();
  if (dataSet) {
    QorvinAdoDataSet* ds = nullptr;
    m->SynchReadDataSet("bench", "", sql, &ds, &result, &error);
    if (ds != nullptr) {
      long long rows = 0;
      for (ds->First(); !ds->Eof(); ds->Next()) ++rows;
      o.rows = rows;
    }
    o.seconds = Since(start);
    if (ds != nullptr) ds->Release();
  } else {
    QorvinDataPacket packet{};
    m->SynchReadData("bench", "", sql, &packet, &result, &error);
    o.seconds = Since(start);
    o.bytes = packet.size;
    qorvin_packet_free(&packet);
  }
  std::string text = Take(error);
  if (result != 1) o.error = text.empty() ? "result " + std::to_string(result) : text;
  return o;
}

// Small reads as a desktop makes them: one module, its connection kept, the same query again and
// again; each call's latency is kept for the percentiles.
Outcome Calls(char letter, int port, const char* sql, double seconds) {
  Library lib;
  IRemoteDataModule* m = lib.Module(letter, port);
  m->SetKeepConnection(true);
  Outcome o;
  const auto once = [&]() {
    QorvinDataPacket packet{};
    int32_t result = 0;
    QorvinText error{};
    m->SynchReadData("bench", "", sql, &packet, &result, &error);
    qorvin_packet_free(&packet);
    std::string text = Take(error);
    if (result != 1) o.error = text.empty() ? "result " + std::to_string(result) : text;
    return result == 1;
  };
  for (int i = 0; i < 50; ++i)
    if (!once()) return o;
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  const auto start = Clock::now();
  while (Since(start) < seconds && latencies.size() < (size_t(1) << 24)) {
    const auto t = Clock::now();
    if (!once()) return o;
    latencies.push_back(Since(t) * 1e6);
  }
  o.seconds = Since(start);
  o.calls = (long long)latencies.size();
  std::sort(latencies.begin(), latencies.end());
  o.p50_us = latencies[latencies.size() / 2];
  o.p99_us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  return o;
}

// ROWS rows shaped like the read table: (Id, Big, Amount, Name, Stamp, Note).
Outcome Upload(char letter, int port, const char* proc, long long rows) {
  Library lib;
  IRemoteDataModule* m = lib.Module(letter, port);
  void* f = nullptr;
  if (m->QueryInterface(&kFactoryIID, &f) != 0) throw std::runtime_error("no factory");
  auto* factory = static_cast<IQorvinDataSetFactory*>(f);
  QorvinAdoDataSet* ds = factory->CreateAdoDataSet();
  ds->AddField("Id", 3, 0);      // ftInteger
  ds->AddField("Big", 25, 0);    // ftLargeint
  ds->AddField("Amount", 6, 0);  // ftFloat
  ds->AddField("Name", 24, 20);  // ftWideString
  ds->AddField("Stamp", 11, 0);  // ftDateTime
  ds->AddField("Note", 24, 40);  // ftWideString
  ds->Open();
  char buf[64];
  for (long long r = 1; r <= rows; ++r) {
    ds->Append();
    std::snprintf(buf, sizeof buf, "%lld", r);
    ds->SetValueText(0, buf);
    std::snprintf(buf, sizeof buf, "%lld", r * 1000003LL);
    ds->SetValueText(1, buf);
    std::snprintf(buf, sizeof buf, "%.2f", double(r) * 0.25);
    ds->SetValueText(2, buf);
    std::snprintf(buf, sizeof buf, "name %lld", r);
    ds->SetValueText(3, buf);
    std::snprintf(buf, sizeof buf, "2024-01-%02lld 10:%02lld:%02lld", r % 28 + 1, r % 60,
                  (r / 60) % 60);
    ds->SetValueText(4, buf);
    std::snprintf(buf, sizeof buf, "uploaded note number %lld", r);
    ds->SetValueText(5, buf);
    ds->Post();
  }
  QorvinDataPacket packet{};
  factory->AdoDataSetToPacket(ds, &packet);
  ds->Release();
  Outcome o;
  QorvinDataPacket out{};
  int32_t successes = 0, result = 0;
  QorvinText error{};
  auto start = Clock::now();
  m->ExecProcInsertTable("bench", "", &packet, proc, &out, &successes, 1, &result, &error);
  o.seconds = Since(start);
  o.rows = successes;
  o.bytes = packet.size;
  qorvin_packet_free(&packet);
  qorvin_packet_free(&out);
  std::string text = Take(error);
  if (result != 1) o.error = text.empty() ? "result " + std::to_string(result) : text;
  return o;
}

long long InflatedSize(const std::string& blob) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return -1;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(blob.data()));
  z.avail_in = uInt(blob.size());
  static unsigned char out[1 << 16];
  long long total = 0;
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = out;
    z.avail_out = sizeof out;
    rc = inflate(&z, Z_NO_FLUSH);
    total += static_cast<long long>(sizeof out - z.avail_out);
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END ? total : -1;
}

Outcome Sizes(const char* db, const char* sql) {
  using namespace qorvin::server;
  Outcome o;
  DatabaseOptions options;
  auto database = OpenDatabase(db, options);
  auto session = database->OpenSession();
  ExecLimits limits;
  limits.maxRows = int64_t(1) << 40;
  limits.maxBytes = int64_t(1) << 40;
  limits.packRows = true;
  auto start = Clock::now();
  StatementResult r = session->Execute(sql, limits);
  std::fprintf(stderr, "execute %.3f s\n", Since(start));
  std::string blob = TakeResultTableBlob(std::move(r.table));
  o.seconds = Since(start);
  o.rows = r.rowsAffected;
  o.bytes = (long long)blob.size();
  o.image = InflatedSize(blob);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: see bench/large/bench_large_client.cpp\n");
    return 2;
  }
  std::string mode = argv[1];
  Outcome o;
  try {
    if (mode == "libpq") {
      o = Libpq(argv[2], argv[3]);
    } else if (mode == "sizes") {
      o = Sizes(argv[2], argv[3]);
    } else if ((mode == "read" || mode == "dataset") && argc == 5) {
      o = Read(argv[2][0], std::atoi(argv[3]), argv[4], mode == "dataset");
    } else if (mode == "calls" && argc == 6) {
      o = Calls(argv[2][0], std::atoi(argv[3]), argv[4], std::atof(argv[5]));
    } else if (mode == "upload" && argc == 6) {
      o = Upload(argv[2][0], std::atoi(argv[3]), argv[4], std::atoll(argv[5]));
    } else {
      std::fprintf(stderr, "unknown mode or wrong arguments\n");
      return 2;
    }
  } catch (const std::exception& e) {
    o.error = e.what();
  }
  std::printf(
      "{\"seconds\": %.6f, \"rows\": %lld, \"bytes\": %lld, \"image\": %lld, \"maxrss_kb\": %ld",
      o.seconds, o.rows, o.bytes, o.image, MaxRssKb());
  if (o.calls >= 0)
    std::printf(", \"calls\": %lld, \"p50_us\": %.1f, \"p99_us\": %.1f", o.calls, o.p50_us,
                o.p99_us);
  if (!o.error.empty()) std::printf(", \"error\": \"%s\"", Escaped(o.error).c_str());
  std::printf("}\n");
  return o.error.empty() ? 0 : 1;
}
