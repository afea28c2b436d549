// libFuzzer target for the screen keyer's options and the pictures it keys: the option words as
// corvane-mix parses them (--keyer, --key, --tolerance, --softness, --despill and the rest), and,
// when they parse, the keyer and the layer-alpha rule run with them over a small top frame of
// the input's bytes, with and without the layer's own alpha, laid on a main picture at an offset.
//
// Input: one line of option words separated by spaces, then 4 bytes (top width and height,
// offsets), then the top layer's pixels, repeated as far as needed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/mix_options.h"
#include "media/avidefs.h"
#include "mix/composite.h"
#include "mix/screenkey.h"

namespace {

using namespace corvane;

constexpr int32_t kLargestSide = 48;
constexpr size_t kMostWords = 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* end = data + size;
  const uint8_t* newline = std::find(data, end, '\n');
  std::vector<std::string> words;
  std::string word;
  for (const uint8_t* p = data; p < newline; ++p) {
    if (*p == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(*p));
    }
  }
  if (!word.empty()) words.push_back(word);
  if (words.size() > kMostWords) return 0;
  for (const char* file : {"main.avi", "top.avi", "out.avi"}) words.emplace_back(file);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  cli::CMixOptions options;
  if (!cli::ParseMixOptions(static_cast<int>(argv.size()), argv.data(), options).empty()) return 0;
  // --help and --list-codecs end the program before anything else is read or checked.
  if (options.m_help || options.m_listCodecs) return 0;
  // Whatever parsed is a setting the keyer must take.
  if (*KeyerSettingsError(options.m_keying) != '\0') __builtin_trap();

  const uint8_t* rest = newline < end ? newline + 1 : end;
  if (end - rest < 4) return 0;
  const int32_t width = 1 + rest[0] % kLargestSide;
  const int32_t height = 1 + rest[1] % kLargestSide;
  const int32_t left = static_cast<int8_t>(rest[2]);
  const int32_t top = static_cast<int8_t>(rest[3]);
  const uint8_t* pixels = rest + 4;
  const size_t pixelBytes = static_cast<size_t>(end - pixels);
  CRgb key{options.m_red, options.m_green, options.m_blue};
  for (const bool withAlpha : {false, true}) {
    const size_t frameBytes = withAlpha ? size_t(width) * 4 * size_t(height)
                                        : size_t(FrameStride(width)) * size_t(height);
    std::vector<uint8_t> frame(frameBytes);
    for (size_t i = 0; i < frameBytes; ++i)
      frame[i] = pixelBytes ? pixels[i % pixelBytes] : static_cast<uint8_t>(i * 41);
    if (options.m_keying.m_autoKey) {
      if (const auto found = EstimateScreenColour(
              frame.data(), width, height, withAlpha ? width * 4 : FrameStride(width), withAlpha))
        key = *found;
    }
    CScreenKeyer keyer;
    if (!keyer.Setup(width, height, withAlpha)) continue;
    keyer.Key(frame.data(), key, options.m_keying, withAlpha);
    const CMatteCount count = keyer.Count();
    if (count.m_transparent + count.m_partial + count.m_opaque != int64_t{width} * height)
      __builtin_trap();
    CMixRule rule;
    rule.m_alpha = options.m_alphaMode;
    rule.m_alphaLevel = options.m_alpha;
    rule.m_left = left;
    rule.m_top = top;
    rule.m_layerAlpha = true;
    rule.m_keying = options.m_keying;
    const int32_t mainWidth = 40;
    const int32_t mainHeight = 30;
    std::vector<uint8_t> output(size_t(FrameStride(mainWidth)) * mainHeight, 90);
    CLayerFrame layer{keyer.Picture(), width, height, true, withAlpha ? 0.5 : 1.0};
    ApplyMixRule(rule, layer, output.data(), mainWidth, mainHeight);
  }
  return 0;
}
