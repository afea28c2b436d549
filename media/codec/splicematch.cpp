#include "media/codec/splicematch.h"

#include <algorithm>
#include <vector>

#include "media/codec/streamsplice.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace corvane {
namespace {

// x264's name for an H.264 profile it can code; null for the others.
const char* H264ProfileName(int profile) {
  switch (profile) {
    case 66:
      return "baseline";
    case 77:
      return "main";
    case 100:
      return "high";
    default:
      return nullptr;
  }
}

}  // namespace

std::string SpliceMismatch(const CCompressorInfo& codec, const CAviStream& main,
                           CEncoderMatch& match) {
  const AVCodecParameters* stored = main.StoredParameters();
  if (!stored) return "its pictures are not stored in a form that can be copied";
  if ((stored->width | stored->height) & 1) return "its size is odd";
  if (stored->format != AV_PIX_FMT_YUV420P) return "its pictures are not 8-bit 4:2:0";
  if (stored->field_order != AV_FIELD_PROGRESSIVE && stored->field_order != AV_FIELD_UNKNOWN)
    return "it is interlaced";
  match.m_source = stored;
  if (codec.m_name != "h264") return {};
  CAvcConfig config;
  if (!ReadAvcConfig(stored->extradata, size_t(std::max(stored->extradata_size, 0)), config))
    return "its parameter sets are not stored apart from its pictures";
  const char* profile = H264ProfileName(config.m_profile);
  if (!profile) return "its H.264 profile is not Baseline, Main or High";
  match.m_profile = profile;
  match.m_nalLengthSize = config.m_lengthSize;
  // Parameter-set ids the main leaves free: the encoder's sets then travel beside its own.
  std::vector<bool> used(32, false);
  for (const auto* sets : {&config.m_sequenceSets, &config.m_pictureSets}) {
    for (const NalUnit& unit : *sets) {
      const int id = ParameterSetId(unit);
      if (id >= 0 && id < 32) used[size_t(id)] = true;
    }
  }
  const auto free = std::find(used.begin(), used.end(), false);
  if (free == used.end()) return "it uses every parameter-set id";
  match.m_parameterSetId = static_cast<int>(free - used.begin());
  return {};
}

bool StartsAfresh(const CCompressorInfo& codec, const CEncoderMatch& match, const uint8_t* data,
                  size_t size) {
  if (codec.m_name == "h264") return HoldsIdrPicture(data, size, match.m_nalLengthSize);
  if (codec.m_name == "vp9") return StartsWithVp9KeyFrame(data, size);
  return false;
}

}  // namespace corvane
