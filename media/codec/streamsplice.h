// What splicing coded pictures of one stream between those of another needs to know about
// H.264 and VP9 packets: where a decoder can start, the parameter sets a stream stores in its
// sample description (avcC), and turning an encoder's start-code packets into the
// length-prefixed ones MP4 and Matroska carry. Every length is checked against the data; none
// of these functions throws but for memory running out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

using NalUnit = std::vector<uint8_t>;

// An H.264 sample description (ISO/IEC 14496-15 avcC) as stored.
struct CAvcConfig {
  uint8_t m_profile = 0;
  uint8_t m_compatibility = 0;
  uint8_t m_level = 0;
  int m_lengthSize = 4;  // bytes of each NAL unit's length in the packets: 1, 2 or 4
  std::vector<NalUnit> m_sequenceSets;
  std::vector<NalUnit> m_pictureSets;
  std::vector<uint8_t> m_tail;  // what follows the picture sets (high profiles' extension)
};

// Reads an avcC; false when `data` is none (a start-code header, or damaged).
bool ReadAvcConfig(const uint8_t* data, size_t size, CAvcConfig& config);
// The avcC bytes of `config`; empty when a list or a unit is too long for the format.
std::vector<uint8_t> WriteAvcConfig(const CAvcConfig& config);

// The id a sequence or picture parameter set NAL unit (its header byte included) declares;
// -1 when it is not one or is cut short.
int ParameterSetId(const NalUnit& unit);

// The NAL units of a start-code (Annex B) stream, without their start codes.
std::vector<NalUnit> SplitStartCodes(const uint8_t* data, size_t size);
// The same units each behind a big-endian length of `lengthSize` bytes; false when a unit is too
// long for that size.
bool ToLengthPrefixed(const uint8_t* data, size_t size, int lengthSize, std::vector<uint8_t>& out);

// Whether a length-prefixed H.264 packet holds an IDR picture (a decoder can start there with
// nothing before it).
bool HoldsIdrPicture(const uint8_t* data, size_t size, int lengthSize);
// Whether a VP9 packet (a frame, or a superframe) starts with a key frame.
bool StartsWithVp9KeyFrame(const uint8_t* data, size_t size);

}  // namespace corvane
