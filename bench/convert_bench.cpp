// The frame conversions around the mix, in megapixels per second, against memcpy of the same
// Frame buffer bytes as the ceiling: the decoder's picture (yuvj420p, what Motion JPEG gives)
// into the Frame buffer, and the Frame buffer into the encoder's picture (yuvj420p for Motion
// JPEG, bgr0 for FFV1) by the fast path and, for comparison, by libswscale.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "media/avidefs.h"
#include "media/codec/encoderinput.h"
#include "media/codec/frameconvert.h"

namespace corvane {
namespace {

void SetPixelRate(benchmark::State& state, int width, int height) {
  state.counters["Mpx/s"] = benchmark::Counter(double(state.iterations()) * width * height / 1e6,
                                               benchmark::Counter::kIsRate);
}

FramePtr MakePicture(AVPixelFormat format, int width, int height) {
  FramePtr picture(av_frame_alloc());
  picture->format = format;
  picture->width = width;
  picture->height = height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) return nullptr;
  return picture;
}

// A Frame buffer with smooth content and some noise, like a camera picture.
std::vector<uint8_t> MakeFrame(int width, int height) {
  const int stride = FrameStride(width);
  std::vector<uint8_t> frame(size_t(stride) * height);
  std::mt19937 random(3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = frame.data() + size_t(stride) * y + 3 * x;
      p[0] = uint8_t(x + (random() & 7));
      p[1] = uint8_t(y + (random() & 7));
      p[2] = uint8_t(x + y);
    }
  }
  return frame;
}

void BM_Memcpy(benchmark::State& state) {
  const int width = int(state.range(0)), height = int(state.range(1));
  const std::vector<uint8_t> source = MakeFrame(width, height);
  std::vector<uint8_t> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
  }
  SetPixelRate(state, width, height);
}

void BM_DecoderPictureToFrame(benchmark::State& state) {
  const int width = int(state.range(0)), height = int(state.range(1));
  FramePtr picture = MakePicture(AV_PIX_FMT_YUVJ420P, width, height);
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? height : (height + 1) / 2;
    std::memset(picture->data[plane], 100 + 20 * plane, size_t(picture->linesize[plane]) * rows);
  }
  std::vector<uint8_t> frame(size_t(FrameStride(width)) * height);
  CFrameConverter converter;
  const CPicture input = PictureOf(*picture);
  for (auto _ : state) {
    if (!converter.Convert(input, frame.data())) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(frame.data());
  }
  SetPixelRate(state, width, height);
}

void FastFrameToPicture(benchmark::State& state, AVPixelFormat format) {
  const int width = int(state.range(0)), height = int(state.range(1));
  if (!HasFastFrameConversion(format)) {
    state.SkipWithError("no fast path in this build");
    return;
  }
  const std::vector<uint8_t> frame = MakeFrame(width, height);
  FramePtr picture = MakePicture(format, width, height);
  for (auto _ : state) {
    if (!FrameToPicture(frame.data(), width, height, *picture)) state.SkipWithError("failed");
    benchmark::DoNotOptimize(picture->data[0]);
  }
  SetPixelRate(state, width, height);
}

void BM_FrameToMotionJpegPicture(benchmark::State& state) {
  FastFrameToPicture(state, AV_PIX_FMT_YUVJ420P);
}
void BM_FrameToFfv1Picture(benchmark::State& state) {
  FastFrameToPicture(state, AV_PIX_FMT_BGR0);
}

// libswscale's bicubic bgr24 -> yuv420p as the encoder used it before the fast path.
void BM_FrameToYuv420pBySwscale(benchmark::State& state) {
  const int width = int(state.range(0)), height = int(state.range(1));
  const std::vector<uint8_t> frame = MakeFrame(width, height);
  FramePtr picture = MakePicture(AV_PIX_FMT_YUV420P, width, height);
  SwsContextPtr scaler(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height,
                                      AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
  const int stride = FrameStride(width);
  const uint8_t* source[4] = {frame.data() + size_t(stride) * (height - 1)};
  const int sourceStride[4] = {-stride};
  for (auto _ : state) {
    sws_scale(scaler.get(), source, sourceStride, 0, height, picture->data, picture->linesize);
    benchmark::DoNotOptimize(picture->data[0]);
  }
  SetPixelRate(state, width, height);
}

#define CORVANE_SIZES Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Memcpy)->CORVANE_SIZES;
BENCHMARK(BM_DecoderPictureToFrame)->CORVANE_SIZES;
BENCHMARK(BM_FrameToMotionJpegPicture)->CORVANE_SIZES;
BENCHMARK(BM_FrameToFfv1Picture)->CORVANE_SIZES;
BENCHMARK(BM_FrameToYuv420pBySwscale)->CORVANE_SIZES;

}  // namespace
}  // namespace corvane
