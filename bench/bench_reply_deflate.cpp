// The reply's compression of a large read: a message body that holds the record-set blob of
// 1,000,000 rows (the rows of bench_blob), deflated by zlib's stream at its default level (arg 0,
// the baseline) and by the library's one-step path (ZCompress: libdeflate where there is one) at
// levels 6 and 1 (args 6, 1). Each result is inflated back with zlib and compared with the body.
//
// Wall-clock time (UseRealTime); bytes_per_second is body bytes. Run with repetitions interleaved:
//   build/bench/bench_reply_deflate --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
// and compare each median with arg 0's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bench/BenchRows.h"
#include "datastream/uConvertAdo.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {
namespace {

const std::vector<uint8_t>& Body() {
  static const std::vector<uint8_t> body = [] {
    TAdoDataSet dataSet;
    bench::FillBenchRows(dataSet, 1000000);
    TMemoryStream blob;
    AdoDataSetToStream(&dataSet, &blob, true, kPersistADTG, 1);
    return std::vector<uint8_t>(blob.Memory(), blob.Memory() + blob.Size());
  }();
  return body;
}

// Arg 0: zlib's stream at its default level; else ZCompress at that level.
std::vector<uint8_t> Deflate(int how) {
  const std::vector<uint8_t>& body = Body();
  TMemoryStream out;
  if (how == 0) {
    TZCompressionStream z(out, -1);
    for (size_t at = 0; at < body.size(); at += size_t(kZPieceSize)) {
      z.Write(body.data() + at, int64_t(std::min<size_t>(size_t(kZPieceSize), body.size() - at)));
    }
    z.Finish();
  } else {
    TBytesViewStream source(std::span<const unsigned char>(body.data(), body.size()));
    ZCompress(source, -1, out, how);
  }
  return {out.Memory(), out.Memory() + out.Size()};
}

bool InflatesToTheBody(const std::vector<uint8_t>& packed) {
  TBytesViewStream source(std::span<const unsigned char>(packed.data(), packed.size()));
  TMemoryStream back;
  ZDecompress(source, back);
  const std::vector<uint8_t>& body = Body();
  return back.Size() == int64_t(body.size()) && std::equal(body.begin(), body.end(), back.Memory());
}

void BM_ReplyDeflate(benchmark::State& state) {
  const int how = int(state.range(0));
  const std::vector<uint8_t> packed = Deflate(how);
  if (!InflatesToTheBody(packed)) {
    state.SkipWithError("the stream does not inflate back to the body");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(Deflate(how));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Body().size()));
  state.counters["body_MB"] = double(Body().size()) / 1e6;
  state.counters["deflated_MB"] = double(packed.size()) / 1e6;
}
BENCHMARK(BM_ReplyDeflate)->Arg(0)->Arg(6)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qorvin
