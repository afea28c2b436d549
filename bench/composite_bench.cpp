// The compositing rules over a 320x240 top layer on a 1280x720 main frame, in megapixels of
// the top layer per second, against memcpy of the same rows as the ceiling.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mix/composite.h"

namespace corvane {
namespace {

constexpr int32_t kMainWidth = 1280, kMainHeight = 720;
constexpr int32_t kTopWidth = 320, kTopHeight = 240;
constexpr int32_t kLeft = 100, kTop = 50;
constexpr int32_t kMainStride = kMainWidth * 3, kTopStride = kTopWidth * 3;

// The benchmark job's top layer: a key-green background with a 96x72 noisy picture on it.
struct CFrames {
  CFrames() : main(size_t(kMainStride) * kMainHeight), top(size_t(kTopStride) * kTopHeight) {
    std::mt19937 rng(5);
    for (auto& b : main) b = uint8_t(rng());
    for (int32_t y = 0; y < kTopHeight; ++y) {
      for (int32_t x = 0; x < kTopWidth; ++x) {
        uint8_t* p = top.data() + size_t(y) * kTopStride + 3 * x;
        const bool picture = x >= 40 && x < 136 && y >= 60 && y < 132;
        p[0] = picture ? uint8_t(rng()) : 0;
        p[1] = picture ? uint8_t(rng()) : 255;
        p[2] = picture ? uint8_t(rng()) : 0;
      }
    }
  }
  std::vector<uint8_t> main, top;
};

void SetPixelRate(benchmark::State& state) {
  state.counters["Mpx/s"] = benchmark::Counter(
      double(state.iterations()) * kTopWidth * kTopHeight / 1e6, benchmark::Counter::kIsRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * kTopStride * kTopHeight);
}

void BM_MemcpyTopRectangle(benchmark::State& state) {
  CFrames f;
  for (auto _ : state) {
    uint8_t* dst =
        f.main.data() + size_t(kMainHeight - kTopHeight - kTop) * kMainStride + 3 * kLeft;
    const uint8_t* src = f.top.data();
    for (int32_t j = 0; j < kTopHeight; ++j, dst += kMainStride, src += kTopStride) {
      std::memcpy(dst, src, kTopStride);
    }
    benchmark::DoNotOptimize(f.main.data());
    benchmark::ClobberMemory();
  }
  SetPixelRate(state);
}
BENCHMARK(BM_MemcpyTopRectangle);

// The code path (ECompositePath) from a benchmark argument, reset to the widest at the end.
struct CPathLimit {
  explicit CPathLimit(int64_t path) { LimitCompositePath(ECompositePath(path)); }
  ~CPathLimit() { LimitCompositePath(ECompositePath::kBest); }
};

constexpr int64_t kPlain = int64_t(ECompositePath::kPlain);
constexpr int64_t kSse41 = int64_t(ECompositePath::kSse41);
constexpr int64_t kAvx2 = int64_t(ECompositePath::kAvx2);
constexpr int64_t kBest = int64_t(ECompositePath::kBest);

// range(0): the code path.
void BM_CompositeColourKey(benchmark::State& state) {
  CFrames f;
  const CPathLimit path(state.range(0));
  const uint32_t key = PackKeyColour(0, 255, 0);
  for (auto _ : state) {
    CompositeColourKey(f.main.data(), kMainWidth, kMainHeight, f.top.data(), kTopWidth, kTopHeight,
                       kLeft, kTop, key);
    benchmark::ClobberMemory();
  }
  SetPixelRate(state);
}
BENCHMARK(BM_CompositeColourKey)->ArgName("path")->Arg(kPlain)->Arg(kSse41)->Arg(kAvx2)->Arg(kBest);

// The least favourable case for the key rule: no top pixel has the key colour.
void BM_CompositeColourKeyNoKeyPixels(benchmark::State& state) {
  CFrames f;
  const CPathLimit path(state.range(0));
  const uint32_t key = PackKeyColour(1, 2, 3);
  for (auto _ : state) {
    CompositeColourKey(f.main.data(), kMainWidth, kMainHeight, f.top.data(), kTopWidth, kTopHeight,
                       kLeft, kTop, key);
    benchmark::ClobberMemory();
  }
  SetPixelRate(state);
}
BENCHMARK(BM_CompositeColourKeyNoKeyPixels)->ArgName("path")->Arg(kSse41)->Arg(kBest);

// CPU time of this thread, so that other processes on the machine do not count.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// The alpha rule reads the main bytes it blends, so each pass starts from the same main
// frame, as each frame of a job does; only the blend is timed (thread CPU time).
template <typename Blend>
void TimeAlphaPasses(benchmark::State& state, CFrames& f, Blend blend) {
  const std::vector<uint8_t> pristine = f.main;
  for (auto _ : state) {
    for (int32_t j = 0; j < kTopHeight; ++j) {
      const size_t at = size_t(kMainHeight - kTopHeight - kTop + j) * kMainStride + 3 * kLeft;
      std::memcpy(f.main.data() + at, pristine.data() + at, kTopStride);
    }
    const double start = ThreadSeconds();
    blend();
    benchmark::ClobberMemory();
    state.SetIterationTime(ThreadSeconds() - start);
  }
  SetPixelRate(state);
}

// range(0): use transparency; range(1): the code path. The level stays the same from frame to
// frame, as in a job.
void BM_CompositeAlpha(benchmark::State& state) {
  CFrames f;
  const CPathLimit path(state.range(1));
  const uint32_t key = PackKeyColour(0, 255, 0);
  const uint8_t useTransparency = uint8_t(state.range(0));
  TimeAlphaPasses(state, f, [&] {
    CompositeAlpha(f.main.data(), kMainWidth, kMainHeight, f.top.data(), kTopWidth, kTopHeight,
                   kLeft, kTop, key, useTransparency, 128.0);
  });
}
BENCHMARK(BM_CompositeAlpha)
    ->ArgNames({"transparency", "path"})
    ->ArgsProduct({{0, 1}, {kPlain, kAvx2, kBest}})
    ->UseManualTime();

// A level that changes every frame.
void BM_CompositeAlphaNewLevelEachFrame(benchmark::State& state) {
  CFrames f;
  double alpha = 0.0;
  TimeAlphaPasses(state, f, [&] {
    alpha = alpha >= 254.0 ? 0.0 : alpha + 1.0;
    CompositeAlpha(f.main.data(), kMainWidth, kMainHeight, f.top.data(), kTopWidth, kTopHeight,
                   kLeft, kTop, 0, 0, alpha);
  });
}
BENCHMARK(BM_CompositeAlphaNewLevelEachFrame)->UseManualTime();

// The layer-alpha rule on the same layer as BM_CompositeAlpha, made 32-bit. range(0): the alpha
// of the layer: 0 a ramp, every pixel between transparent and opaque (the least favourable
// case); 1 a logo, opaque inside, transparent outside, an 8-pixel soft edge between; 2 opaque
// throughout. range(1): the code path. The alpha mix at level 128 without transparency, so that
// every pixel is blended, as in BM_CompositeAlpha/transparency:0.
void BM_CompositeLayerAlpha(benchmark::State& state) {
  CFrames f;
  const CPathLimit path(state.range(1));
  std::vector<uint8_t> top32(size_t(kTopWidth) * 4 * kTopHeight);
  for (int32_t y = 0; y < kTopHeight; ++y) {
    for (int32_t x = 0; x < kTopWidth; ++x) {
      uint8_t* p = top32.data() + (size_t(y) * kTopWidth + x) * 4;
      std::memcpy(p, f.top.data() + size_t(y) * kTopStride + 3 * x, 3);
      const int edge = std::min({x, y, kTopWidth - 1 - x, kTopHeight - 1 - y});
      const int shape[3] = {1 + (x * 3 + y * 5) % 254, std::clamp((edge - 40) * 32, 0, 255), 255};
      p[3] = uint8_t(shape[state.range(0)]);
    }
  }
  TimeAlphaPasses(state, f, [&] {
    CompositeLayerAlpha(f.main.data(), kMainWidth, kMainHeight, top32.data(), kTopWidth, kTopHeight,
                        kLeft, kTop, 0, false, true, 128.0);
  });
}
BENCHMARK(BM_CompositeLayerAlpha)
    ->ArgNames({"layer", "path"})
    ->ArgsProduct({{0, 1, 2}, {kPlain, kAvx2, kBest}})
    ->UseManualTime();

}  // namespace
}  // namespace corvane
