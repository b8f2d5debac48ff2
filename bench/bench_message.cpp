// Encode + decode of a request and a reply that carry a 100 MB binary value through
// TROBinMessage (compression off), beside a plain memcpy of 100 MB on the same machine.
//
// Each BM_MessageRoundTrip iteration: the client writes the request (names + the value) and
// WriteToStream's it; the server reads it (taking the stream) and reads the value; the server
// writes a reply carrying the value back; the client reads it. The value crosses twice, so
// 200 MB of payload count as processed per iteration.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "messaging/uROBinMessage.h"

namespace qorvin {
namespace {

constexpr int64_t kValueSize = 100 * 1000 * 1000;

std::unique_ptr<TROBinaryMemoryStream> MakeValue() {
  auto value = std::make_unique<TROBinaryMemoryStream>();
  value->SetSize(kValueSize);
  for (int64_t i = 0; i < kValueSize; i += 4096) value->Memory()[i] = uint8_t(i >> 12);
  return value;
}

// Carries `value` from `sender` to `receiver` and returns what the receiver read.
std::unique_ptr<TROBinaryMemoryStream> Carry(TROBinMessage& sender, TROBinMessage& receiver,
                                             std::unique_ptr<TROBinaryMemoryStream>& value) {
  sender.WriteMessageParameter("aData", TypeInfo_Binary(), &value, 0);
  sender.FinalizeMessage();
  auto wire = std::make_unique<TMemoryStream>();
  sender.WriteToStream(*wire);
  sender.ReleaseBody();
  receiver.ReadFromStream(std::move(wire));
  std::unique_ptr<TROBinaryMemoryStream> received;
  receiver.ReadMessageParameter("aData", TypeInfo_Binary(), &received, 0);
  receiver.ReleaseBody();
  return received;
}

void BM_MessageRoundTrip(benchmark::State& state) {
  TROBinMessage client, server;
  client.UseCompression = false;
  server.UseCompression = false;
  auto value = MakeValue();
  for (auto _ : state) {
    client.InitializeRequest(nullptr, "VelmarLib", "TableProcService", "UploadData");
    auto atServer = Carry(client, server, value);
    server.InitializeResponse(nullptr, "VelmarLib", "TableProcService", "UploadData");
    auto atClient = Carry(server, client, atServer);
    benchmark::DoNotOptimize(atClient->Memory());
    if (atClient->Size() != kValueSize) state.SkipWithError("value changed size");
  }
  const double bytes = double(state.iterations()) * 2.0 * double(kValueSize);
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MessageRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_Memcpy100MB(benchmark::State& state) {
  std::vector<char> from(static_cast<size_t>(kValueSize), 'x');
  std::vector<char> to(static_cast<size_t>(kValueSize));
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  const double bytes = double(state.iterations()) * double(kValueSize);
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["memcpy MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Memcpy100MB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
}  // namespace qorvin
