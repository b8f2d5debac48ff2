// The reply's compression of a large read: zlib's default level over a message body that holds the
// record-set blob of 1,000,000 rows (the rows of bench_blob), by zlib itself (arg 0) and by
// DeflateInParallel on 1, 2 and 4 threads (args 1, 2, 4). Both give the same bytes (checked here).
//
// Wall-clock time (UseRealTime); bytes_per_second is body bytes. Run with repetitions interleaved:
//   build/bench/bench_reply_deflate --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
// and compare each median with arg 0's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bench/BenchRows.h"
#include "datastream/uConvertAdo.h"
#include "platform/zlib/ParallelDeflate.h"
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

std::vector<uint8_t> Deflate(int threads) {
  const std::vector<uint8_t>& body = Body();
  TMemoryStream out;
  if (threads == 0) {
    TZCompressionStream z(out, -1);
    for (size_t at = 0; at < body.size(); at += size_t(kZPieceSize)) {
      z.Write(body.data() + at, int64_t(std::min<size_t>(size_t(kZPieceSize), body.size() - at)));
    }
    z.Finish();
  } else {
    DeflateInParallel(body, out, {unsigned(threads), 0});
  }
  return {out.Memory(), out.Memory() + out.Size()};
}

void BM_ReplyDeflate(benchmark::State& state) {
  const int threads = int(state.range(0));
  static const std::vector<uint8_t> zlibBytes = Deflate(0);
  if (threads != 0 && Deflate(threads) != zlibBytes) {
    state.SkipWithError("the bytes differ from zlib's");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(Deflate(threads));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Body().size()));
  state.counters["body_MB"] = double(Body().size()) / 1e6;
  state.counters["deflated_MB"] = double(zlibBytes.size()) / 1e6;
}
BENCHMARK(BM_ReplyDeflate)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qorvin
