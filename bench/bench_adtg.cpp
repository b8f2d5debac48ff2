// ADTG Save and Open of a record set of 1,000,000 rows x (32-bit integer, 64-bit integer, double,
// 20-character wide string, date-time), all columns nullable. Items are rows, so
// items_per_second is rows/s; image_MB is the size of the image.
//
//   BM_AdtgSave/Unchanged        rows saved as unchanged records (a server's result set)
//   BM_AdtgSave/PendingInserts   rows saved as pending insertions (a table upload)
//   BM_AdtgOpen/...              opening those images into a dataset
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/BenchRows.h"
#include "platform/ado/AdoDataSet.h"

namespace qorvin {
namespace {

constexpr int64_t kRows = 1000000;

struct Fixture {
  TAdoDataSet dataSet;
  TMemoryStream image;

  explicit Fixture(TLockType lock) {
    dataSet.SetLockType(lock);
    bench::FillBenchRows(dataSet, kRows);
    dataSet.Save(image);
  }
};

Fixture& Data(int64_t form) {
  static Fixture* unchanged = new Fixture(ltOptimistic);
  static Fixture* inserts = new Fixture(ltBatchOptimistic);
  return form == 0 ? *unchanged : *inserts;
}

void Finish(benchmark::State& state, const Fixture& f) {
  state.SetItemsProcessed(state.iterations() * kRows);
  state.counters["image_MB"] = double(f.image.Size()) / 1e6;
  state.SetLabel(state.range(0) == 0 ? "Unchanged" : "PendingInserts");
}

void BM_AdtgSave(benchmark::State& state) {
  Fixture& f = Data(state.range(0));
  TMemoryStream out;
  out.Reserve(f.image.Size());
  for (auto _ : state) {
    out.SetPosition(0);
    f.dataSet.Save(out);
    benchmark::DoNotOptimize(out.Memory());
  }
  if (out.Size() != f.image.Size()) std::fprintf(stderr, "saved image differs in size\n");
  Finish(state, f);
}

void BM_AdtgOpen(benchmark::State& state) {
  Fixture& f = Data(state.range(0));
  TAdoDataSet target;
  for (auto _ : state) {
    f.image.SetPosition(0);
    target.Open(f.image);
    benchmark::DoNotOptimize(target.RecordCount());
  }
  if (target.RecordCount() != kRows) std::fprintf(stderr, "opened image lost rows\n");
  Finish(state, f);
}

BENCHMARK(BM_AdtgSave)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdtgOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qorvin
