#include "media/codec/streamsplice.h"

namespace corvane {
namespace {

constexpr int kNalSequenceSet = 7;
constexpr int kNalPictureSet = 8;
constexpr int kNalIdrSlice = 5;

// Reads the exp-Golomb codes of a NAL unit's payload, emulation-prevention bytes skipped.
class CBitReader {
 public:
  CBitReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  // -1 when the data runs out.
  int Bit() {
    if (m_bit == 0) {
      if (m_at >= m_size) return -1;
      // 00 00 03: the 03 is no data.
      if (m_at >= 2 && m_data[m_at] == 3 && m_data[m_at - 1] == 0 && m_data[m_at - 2] == 0) {
        ++m_at;
        if (m_at >= m_size) return -1;
      }
      m_byte = m_data[m_at++];
      m_bit = 8;
    }
    --m_bit;
    return (m_byte >> m_bit) & 1;
  }
  // An unsigned exp-Golomb code; -1 when cut short or beyond 31 bits.
  int64_t UnsignedCode() {
    int zeros = 0;
    for (;;) {
      const int bit = Bit();
      if (bit < 0 || zeros > 31) return -1;
      if (bit == 1) break;
      ++zeros;
    }
    int64_t value = 0;
    for (int i = 0; i < zeros; ++i) {
      const int bit = Bit();
      if (bit < 0) return -1;
      value = (value << 1) | bit;
    }
    return (int64_t{1} << zeros) - 1 + value;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
  uint8_t m_byte = 0;
  int m_bit = 0;
};

uint32_t BigEndian(const uint8_t* data, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | data[i];
  return value;
}

// Reads `count` units of 16-bit length from `data` at `at`; false when one runs past `size`.
bool ReadUnits(const uint8_t* data, size_t size, size_t& at, int count,
               std::vector<NalUnit>& units) {
  for (int i = 0; i < count; ++i) {
    if (at + 2 > size) return false;
    const size_t length = BigEndian(data + at, 2);
    at += 2;
    if (length == 0 || length > size - at) return false;
    units.emplace_back(data + at, data + at + length);
    at += length;
  }
  return true;
}

bool WriteUnits(const std::vector<NalUnit>& units, std::vector<uint8_t>& out) {
  for (const NalUnit& unit : units) {
    if (unit.empty() || unit.size() > 0xFFFF) return false;
    out.push_back(static_cast<uint8_t>(unit.size() >> 8));
    out.push_back(static_cast<uint8_t>(unit.size()));
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return true;
}

}  // namespace

bool ReadAvcConfig(const uint8_t* data, size_t size, CAvcConfig& config) {
  config = CAvcConfig{};
  if (!data || size < 7 || data[0] != 1) return false;
  config.m_profile = data[1];
  config.m_compatibility = data[2];
  config.m_level = data[3];
  config.m_lengthSize = (data[4] & 3) + 1;
  if (config.m_lengthSize == 3) return false;
  size_t at = 6;
  if (!ReadUnits(data, size, at, data[5] & 0x1F, config.m_sequenceSets)) return false;
  if (at >= size) return false;
  const int pictureSets = data[at++];
  if (!ReadUnits(data, size, at, pictureSets, config.m_pictureSets)) return false;
  config.m_tail.assign(data + at, data + size);
  return true;
}

std::vector<uint8_t> WriteAvcConfig(const CAvcConfig& config) {
  if (config.m_sequenceSets.size() > 31 || config.m_pictureSets.size() > 255) return {};
  std::vector<uint8_t> out{1,
                           config.m_profile,
                           config.m_compatibility,
                           config.m_level,
                           static_cast<uint8_t>(0xFC | (config.m_lengthSize - 1)),
                           static_cast<uint8_t>(0xE0 | config.m_sequenceSets.size())};
  if (!WriteUnits(config.m_sequenceSets, out)) return {};
  out.push_back(static_cast<uint8_t>(config.m_pictureSets.size()));
  if (!WriteUnits(config.m_pictureSets, out)) return {};
  out.insert(out.end(), config.m_tail.begin(), config.m_tail.end());
  return out;
}

int ParameterSetId(const NalUnit& unit) {
  if (unit.empty()) return -1;
  const int type = unit[0] & 0x1F;
  size_t skip;  // bytes between the header and the id
  if (type == kNalSequenceSet) {
    skip = 3;  // profile, constraint flags, level
  } else if (type == kNalPictureSet) {
    skip = 0;
  } else {
    return -1;
  }
  if (unit.size() < 1 + skip + 1) return -1;
  CBitReader reader(unit.data() + 1 + skip, unit.size() - 1 - skip);
  const int64_t id = reader.UnsignedCode();
  return id >= 0 && id <= 255 ? static_cast<int>(id) : -1;
}

std::vector<NalUnit> SplitStartCodes(const uint8_t* data, size_t size) {
  std::vector<NalUnit> units;
  size_t start = 0;  // first byte of the unit under way; 0 before the first start code
  bool inUnit = false;
  size_t i = 0;
  while (i + 2 < size) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (inUnit) {
        size_t end = i;
        while (end > start && data[end - 1] == 0) --end;  // a four-byte code's leading zero
        if (end > start) units.emplace_back(data + start, data + end);
      }
      i += 3;
      start = i;
      inUnit = true;
      continue;
    }
    ++i;
  }
  if (inUnit && size > start) units.emplace_back(data + start, data + size);
  return units;
}

bool ToLengthPrefixed(const uint8_t* data, size_t size, int lengthSize, std::vector<uint8_t>& out) {
  out.clear();
  for (const NalUnit& unit : SplitStartCodes(data, size)) {
    if (lengthSize < 4 && unit.size() >= (size_t{1} << (8 * lengthSize))) return false;
    for (int i = lengthSize - 1; i >= 0; --i)
      out.push_back(static_cast<uint8_t>(uint64_t{unit.size()} >> (8 * i)));
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return true;
}

bool HoldsIdrPicture(const uint8_t* data, size_t size, int lengthSize) {
  if (!data || lengthSize < 1 || lengthSize > 4) return false;
  size_t at = 0;
  while (at + size_t(lengthSize) < size) {
    const size_t length = BigEndian(data + at, lengthSize);
    at += size_t(lengthSize);
    if (length == 0 || length > size - at) return false;
    if ((data[at] & 0x1F) == kNalIdrSlice) return true;
    at += length;
  }
  return false;
}

bool StartsWithVp9KeyFrame(const uint8_t* data, size_t size) {
  if (!data || size == 0) return false;
  const uint8_t first = data[0];
  if ((first >> 6) != 2) return false;  // frame marker
  const int profile = ((first >> 5) & 1) | (((first >> 4) & 1) << 1);
  // Profile 3 has a reserved bit before show_existing_frame.
  const int shift = profile == 3 ? 2 : 3;
  if ((first >> shift) & 1) return false;  // shows an earlier frame: no picture of its own
  return ((first >> (shift - 1)) & 1) == 0;
}

}  // namespace corvane
