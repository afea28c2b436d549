// The reference a mix is checked against: its sources decoded by the ffmpeg CLI, the composite
// computed by plain code here, apart from the code under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "media/avidefs.h"
#include "media/codec/compress.h"
#include "support/testsupport.h"

namespace corvane::test {

// Frames of the first video stream as ffmpeg decodes them: bgr24, top row first, no padding.
struct CClip {
  int m_width = 0;
  int m_height = 0;
  std::vector<std::vector<uint8_t>> m_frames;
};

inline CClip Decode(const std::string& path) {
  CClip clip;
  const auto size = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=width,height -of csv=p=0 " +
      ShellQuote(path));
  if (std::sscanf(size.m_output.c_str(), "%d,%d", &clip.m_width, &clip.m_height) != 2) return clip;
  const auto raw = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                              " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -");
  const size_t frameBytes = static_cast<size_t>(clip.m_width) * clip.m_height * 3;
  for (size_t at = 0; frameBytes && at + frameBytes <= raw.m_output.size(); at += frameBytes) {
    clip.m_frames.emplace_back(raw.m_output.begin() + at, raw.m_output.begin() + at + frameBytes);
  }
  return clip;
}

// As Decode, but at the size ffmpeg shows after its own autorotation (a turned clip's coded size,
// which ffprobe reports, is the other way round).
inline CClip DecodeUpright(const std::string& path) {
  CClip clip;
  const auto first = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                " -map 0:v:0 -frames:v 1 -f image2pipe -c:v ppm -");
  if (std::sscanf(first.m_output.c_str(), "P6 %d %d", &clip.m_width, &clip.m_height) != 2)
    return clip;
  const auto raw = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                              " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -");
  const size_t frameBytes = static_cast<size_t>(clip.m_width) * clip.m_height * 3;
  for (size_t at = 0; frameBytes && at + frameBytes <= raw.m_output.size(); at += frameBytes) {
    clip.m_frames.emplace_back(raw.m_output.begin() + at, raw.m_output.begin() + at + frameBytes);
  }
  return clip;
}

struct CMixCase {
  const char* m_name;
  bool m_alpha;
  bool m_loop;
  int32_t m_left;
  int32_t m_top;
  double m_alphaLevel;
  uint8_t m_useTransparency;
  const char* m_codec;
};

inline void PrintTo(const CMixCase& mix, std::ostream* out) {
  *out << mix.m_name;
}

// The output frame `n` as the mix must make it, from the decoded inputs: top frame `k` (by
// default the one of output frame n's turn), key colour 0,`keyGreen`,0.
inline std::vector<uint8_t> Reference(const CClip& main, const CClip& top, size_t n,
                                      const CMixCase& mix, size_t k = SIZE_MAX,
                                      uint8_t keyGreen = 255) {
  std::vector<uint8_t> out = main.m_frames[n];
  const size_t count = top.m_frames.size();
  if (k == SIZE_MAX) k = mix.m_loop ? n % count : std::min(n, count - 1);
  const std::vector<uint8_t>& layer = top.m_frames[k];
  const double s = mix.m_alphaLevel * (1.0 / 255.0);
  for (int r = 0; r < top.m_height; ++r) {
    const int y = mix.m_top + r;
    if (y < 0 || y >= main.m_height) continue;
    for (int c = 0; c < top.m_width; ++c) {
      const int x = mix.m_left + c;
      if (x < 0 || x >= main.m_width) continue;
      const uint8_t* t = &layer[(static_cast<size_t>(r) * top.m_width + c) * 3];
      uint8_t* o = &out[(static_cast<size_t>(y) * main.m_width + x) * 3];
      const bool keyed = t[0] == 0 && t[1] == keyGreen && t[2] == 0;  // b,g,r
      if (!mix.m_alpha) {
        if (!keyed) std::memcpy(o, t, 3);
      } else if (!(keyed && mix.m_useTransparency == 1)) {
        for (int ch = 0; ch < 3; ++ch) {
          o[ch] = static_cast<uint8_t>(t[ch] * (1.0 - s) + o[ch] * s);
        }
      }
    }
  }
  return out;
}

// The compression a mix test's host answers with: FFV1, lossless, so that outputs compare
// exactly.
inline AVICOMPRESSOPTIONS Ffv1Compression() {
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  options.fccHandler = FindCompressor("ffv1")->m_fourCC;
  options.dwQuality = 0xFFFFFFFFu;
  return options;
}

// The layer-alpha rule for one channel, as defined: S the main video's weight (alpha / 255 in
// the alpha mix, 0 in the colour-key mix), w = (A K)(1 - S) with K = 1/255, the channel
// trunc(t w + m (1 - w)); A = 255 the mode's own rule, A = 0 the main byte.
inline uint8_t LayerAlphaReference(uint8_t t, uint8_t m, uint8_t a, bool alphaMix, double alpha) {
  const double k = 1.0 / 255.0;
  const double s = alphaMix ? alpha * k : 0.0;
  volatile double p = 0.0;  // each step rounded on its own: no fused multiply-add
  volatile double q = 0.0;
  if (a == 255) {
    if (!alphaMix) return t;
    p = t * (1.0 - s);
    q = m * s;
    return static_cast<uint8_t>(static_cast<int>(p + q));
  }
  if (a == 0) return m;
  const volatile double w = (a * k) * (1.0 - s);
  p = t * w;
  q = m * (1.0 - w);
  return static_cast<uint8_t>(static_cast<int>(p + q));
}

// A fading top layer, as defined: the top's weight by the rule in force (1 in the colour-key mix,
// 1 - S in the alpha mix, (A K)(1 - S) below A = 255) times the fade factor f, the channel
// trunc(t w + m (1 - w)); f = 1 is the layer-alpha rule.
inline uint8_t FadeReference(uint8_t t, uint8_t m, uint8_t a, bool alphaMix, double alpha,
                             double f) {
  if (f == 1.0) return LayerAlphaReference(t, m, a, alphaMix, alpha);
  const double k = 1.0 / 255.0;
  const double s = alphaMix ? alpha * k : 0.0;
  volatile double w = a == 255 ? (alphaMix ? 1.0 - s : 1.0) : (a * k) * (1.0 - s);
  w = w * f;
  const volatile double p = t * w;
  const volatile double q = m * (1.0 - w);
  return static_cast<uint8_t>(static_cast<int>(p + q));
}

// Frames of the first video stream as ffmpeg decodes them with alpha: bgra, top row first.
// `decoder`: the one to ask for by name, where ffmpeg's choice would leave the alpha out.
inline CClip DecodeWithAlpha(const std::string& path, const std::string& decoder = "") {
  CClip clip;
  const auto size = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 " +
      ShellQuote(path));
  if (std::sscanf(size.m_output.c_str(), "%d,%d", &clip.m_width, &clip.m_height) != 2) return clip;
  const auto raw = RunCommand("ffmpeg -v error " + (decoder.empty() ? "" : "-c:v " + decoder) +
                              " -i " + ShellQuote(path) +
                              " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgra -");
  const size_t frameBytes = static_cast<size_t>(clip.m_width) * clip.m_height * 4;
  for (size_t at = 0; frameBytes && at + frameBytes <= raw.m_output.size(); at += frameBytes) {
    clip.m_frames.emplace_back(raw.m_output.begin() + at, raw.m_output.begin() + at + frameBytes);
  }
  return clip;
}

}  // namespace corvane::test
