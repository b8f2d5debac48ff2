// Dataset blob of 1,000,000 rows x (32-bit integer, 64-bit integer, double, 20-character wide
// string, date-time): encoding (AdoDataSetToStream: ADTG image through zlib level 1) and decoding
// (StreamToAdoDataSet), beside zlib level 1 alone on the same uncompressed ADTG image.
//
// Items are rows, so items_per_second is rows/s (per CPU second of the one benchmark thread).
// Counters:
//   image_MB, blob_MB        sizes of the uncompressed ADTG image and of the blob
//   peak_x_image             most heap bytes live at once during one operation, beyond what was
//                            live before it (the dataset for encoding, the blob for decoding),
//                            divided by the image size; from the counting allocator below
//   encode_vs_zlib1          best-of-three encode time / best-of-three zlib-alone time, both in
//                            CPU time of the thread
//
// The counting allocator replaces malloc and its relatives for the whole program (operator new,
// zlib and the memory streams' realloc all go through them) and keeps the live and peak byte
// counts by malloc_usable_size.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "bench/BenchRows.h"
#include "datastream/uConvertAdo.h"
#include "platform/zlib/ZStream.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void* Counted(void* p) {
  if (p != nullptr) {
    const int64_t live =
        g_live.fetch_add(int64_t(malloc_usable_size(p))) + int64_t(malloc_usable_size(p));
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}

void Uncount(void* p) {
  if (p != nullptr) g_live.fetch_sub(int64_t(malloc_usable_size(p)));
}

}  // namespace

extern "C" {
void* malloc(size_t size) {
  return Counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) {
  return Counted(__libc_calloc(count, size));
}
void* realloc(void* p, size_t size) {
  Uncount(p);
  void* grown = __libc_realloc(p, size);
  if (grown == nullptr && p != nullptr && size != 0) {
    Counted(p);  // the old block is still there
    return nullptr;
  }
  return Counted(grown);
}
void free(void* p) {
  Uncount(p);
  __libc_free(p);
}
void* memalign(size_t alignment, size_t size) {
  return Counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) {
  return Counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = Counted(__libc_memalign(alignment, size));
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

namespace qorvin {
namespace {

constexpr int64_t kRows = 1000000;

// Peak heap bytes beyond those live when it starts, during `run`.
template <typename Run>
int64_t PeakExtra(Run&& run) {
  const int64_t before = g_live.load();
  g_peak.store(before);
  run();
  return g_peak.load() - before;
}

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Best of three, in CPU time of this thread: other processes on the machine do not count.
template <typename Run>
double BestSeconds(Run&& run) {
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    const double start = ThreadSeconds();
    run();
    best = std::min(best, ThreadSeconds() - start);
  }
  return best;
}

struct Fixture {
  TAdoDataSet dataSet;
  TMemoryStream image;  // the uncompressed ADTG image
  std::string blob;

  Fixture() {
    bench::FillBenchRows(dataSet, kRows);
    dataSet.Save(image);
    TMemoryStream stream;
    AdoDataSetToStream(&dataSet, &stream, true, kPersistADTG, 1);
    blob.assign(stream.View());
  }
};

Fixture& Data() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

void EncodeOnce(const Fixture& f) {
  TMemoryStream stream;
  AdoDataSetToStream(&f.dataSet, &stream, true, kPersistADTG, 1);
  benchmark::DoNotOptimize(stream.Size());
}

void ZlibOnce(Fixture& f) {
  f.image.SetPosition(0);
  TMemoryStream out;
  ZCompress(f.image, -1, out, 1);
  benchmark::DoNotOptimize(out.Size());
}

void SetSizes(benchmark::State& state, const Fixture& f) {
  state.counters["image_MB"] = double(f.image.Size()) / 1e6;
  state.counters["blob_MB"] = double(f.blob.size()) / 1e6;
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_BlobEncode(benchmark::State& state) {
  Fixture& f = Data();
  for (auto _ : state) EncodeOnce(f);
  SetSizes(state, f);
  state.counters["peak_x_image"] =
      double(PeakExtra([&] { EncodeOnce(f); })) / double(f.image.Size());
  state.counters["encode_vs_zlib1"] =
      BestSeconds([&] { EncodeOnce(f); }) / BestSeconds([&] { ZlibOnce(f); });
}

void BM_Zlib1AloneOnImage(benchmark::State& state) {
  Fixture& f = Data();
  for (auto _ : state) ZlibOnce(f);
  SetSizes(state, f);
}

void DecodeOnce(const Fixture& f, benchmark::State* state) {
  auto stream = std::make_unique<TMemoryStream>();
  stream->WriteBytes(f.blob);
  auto target = std::make_unique<TAdoDataSet>();
  if (state != nullptr) state->ResumeTiming();
  if (!StreamToAdoDataSet(target.get(), stream.get(), true) || target->RecordCount() != kRows)
    std::fprintf(stderr, "decoding the blob failed\n");
  if (state != nullptr) state->PauseTiming();
}

void BM_BlobDecode(benchmark::State& state) {
  Fixture& f = Data();
  for (auto _ : state) {
    state.PauseTiming();
    DecodeOnce(f, &state);
    state.ResumeTiming();
  }
  SetSizes(state, f);
  // The blob itself is live before decoding starts, as it is when it arrives.
  auto stream = std::make_unique<TMemoryStream>();
  stream->WriteBytes(f.blob);
  state.counters["peak_x_image"] = double(PeakExtra([&] {
                                     TAdoDataSet target;
                                     StreamToAdoDataSet(&target, stream.get(), true);
                                   })) /
                                   double(f.image.Size());
}

BENCHMARK(BM_BlobEncode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Zlib1AloneOnImage)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BlobDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace qorvin
