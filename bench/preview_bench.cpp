// The mix preview at 1080p: what a change of settings costs (composite the held frames again,
// the keyed-pixel check, the mask, and the top-down copy the window draws from) and what moving
// the frame slider costs (decode a 1920x1080 FFV1 main frame, then the same). The target is an
// update within 100 ms. Inputs are made with ffmpeg in a temporary folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/avidefs.h"
#include "media/avifile.h"
#include "mix/mixpreview.h"

namespace corvane {
namespace {

struct CInputs {
  CInputs() {
    char folder[] = "/tmp/corvane-preview-bench-XXXXXX";
    if (!mkdtemp(folder)) return;
    m_folder = folder;
    const std::string main = m_folder + "/main.mkv";
    const std::string top = m_folder + "/top.mkv";
    const std::string made =
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=0.4 -c:v ffv1 "
        "-pix_fmt bgr0 " +
        main +
        " && ffmpeg -v error -y -f lavfi -i testsrc=size=640x360:rate=25:duration=0.4 -vf "
        "drawbox=x=0:y=0:w=640:h=120:color=0x00ff00:t=fill -c:v ffv1 -pix_fmt bgr0 " +
        top;
    if (std::system(made.c_str()) != 0) return;
    PAVIFILE mainFile;
    PAVIFILE topFile;
    if (CAviFile::Open(main, OF_SHARE_DENY_WRITE, mainFile) != AVIERR_OK ||
        CAviFile::Open(top, OF_SHARE_DENY_WRITE, topFile) != AVIERR_OK)
      return;
    mainFile->GetStream(m_main, streamtypeVIDEO, 0);
    topFile->GetStream(m_top, streamtypeVIDEO, 0);
  }
  ~CInputs() {
    if (!m_folder.empty()) std::system(("rm -rf " + m_folder).c_str());
  }
  std::string m_folder;
  PAVISTREAM m_main;
  PAVISTREAM m_top;
};

CInputs& Inputs() {
  static CInputs inputs;
  return inputs;
}

// What the window does with a rendering besides compositing: the check, the mask when shown,
// and a top-down copy of the picture to draw.
void Show(const CMixPreview& preview, const CMixRule& rule, std::vector<uint8_t>& mask,
          std::vector<uint8_t>& image) {
  const CKeyCheck check = preview.KeyCheck(rule);
  benchmark::DoNotOptimize(check);
  preview.DrawMask(rule, mask.data());
  const int64_t stride = FrameStride(preview.Width());
  for (int32_t y = 0; y < preview.Height(); ++y) {
    std::memcpy(image.data() + size_t(y) * size_t(stride),
                preview.Composite() + (preview.Height() - 1 - y) * stride, size_t(stride));
  }
}

void Run(benchmark::State& state, bool moveFrame) {
  CInputs& inputs = Inputs();
  CMixPreview preview;
  if (!inputs.m_main || !inputs.m_top || !preview.Open(inputs.m_main, inputs.m_top)) {
    state.SkipWithError("ffmpeg could not make the inputs");
    return;
  }
  const size_t bytes = size_t(FrameStride(preview.Width())) * size_t(preview.Height());
  std::vector<uint8_t> mask(bytes);
  std::vector<uint8_t> image(bytes);
  CMixRule rule;
  rule.m_key = PackKeyColour(0, 255, 0);
  rule.m_left = 600;
  rule.m_top = 400;
  int32_t frame = 0;
  for (auto _ : state) {
    if (moveFrame) frame = 1 - frame;
    rule.m_left ^= 1;  // a setting typed
    if (!preview.Render(frame, rule)) {
      state.SkipWithError("the frame did not read");
      return;
    }
    Show(preview, rule, mask, image);
  }
}

void BM_PreviewSettingChanged1080p(benchmark::State& state) {
  Run(state, false);
}
BENCHMARK(BM_PreviewSettingChanged1080p)->Unit(benchmark::kMillisecond);

void BM_PreviewFrameMoved1080pFfv1(benchmark::State& state) {
  Run(state, true);
}
BENCHMARK(BM_PreviewFrameMoved1080pFfv1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane
