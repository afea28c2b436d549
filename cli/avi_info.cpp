// corvane-avi info [--json] FILE: what the reader sees in an AVI file.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/avi_commands.h"
#include "media/avi/avireader_types.h"
#include "media/avifile.h"
#include "media/codec/codecutil.h"
#include "media/errortext.h"

namespace corvane::cli {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct SStreamFacts {
  uint64_t m_chunks = 0;
  uint64_t m_emptyChunks = 0;
  uint64_t m_keyChunks = 0;
  uint64_t m_bytes = 0;
};

SStreamFacts Facts(const SAviStreamData& stream) {
  SStreamFacts facts;
  facts.m_chunks = stream.m_chunks.size();
  for (const SAviChunkRef& chunk : stream.m_chunks) {
    facts.m_bytes += chunk.m_size;
    if (chunk.m_size == 0) ++facts.m_emptyChunks;
    if (!stream.m_anyKey || (chunk.m_flags & AVIIF_KEYFRAME)) ++facts.m_keyChunks;
  }
  return facts;
}

std::string Name(const AVISTREAMINFOA& info) {
  return std::string(info.szName, strnlen(info.szName, sizeof info.szName));
}

void PrintText(const std::string& path, const SAviFileData& data, const AVIFILEINFOW& file) {
  const SAviMainHeader& m = data.m_main;
  std::printf("file: %s\n", path.c_str());
  std::printf("size: %llu bytes, RIFF parts: %u\n",
              static_cast<unsigned long long>(data.m_source.Size()), data.m_riffParts);
  std::printf("index: %s (idx1 entries %llu, OpenDML entries %llu, unmatched entries %llu)\n",
              IndexKindText(data.m_indexKind), static_cast<unsigned long long>(data.m_idx1Entries),
              static_cast<unsigned long long>(data.m_odmlEntries),
              static_cast<unsigned long long>(data.m_badIndexEntries));
  std::printf(
      "avih: us_per_frame=%u max_bytes_per_sec=%u padding=%u flags=0x%08X total_frames=%u "
      "initial_frames=%u streams=%u suggested_buffer=%u size=%ux%u\n",
      m.m_microSecPerFrame, m.m_maxBytesPerSec, m.m_paddingGranularity, m.m_flags, m.m_totalFrames,
      m.m_initialFrames, m.m_streams, m.m_suggestedBufferSize, m.m_width, m.m_height);
  if (data.m_hasOdmlHeader) std::printf("dmlh: total_frames=%u\n", data.m_odmlTotalFrames);
  std::printf("info: streams=%u size=%ux%u scale=%u rate=%u length=%u\n", file.dwStreams,
              file.dwWidth, file.dwHeight, file.dwScale, file.dwRate, file.dwLength);
  for (size_t i = 0; i < data.m_streams.size(); ++i) {
    const SAviStreamData& s = data.m_streams[i];
    const AVISTREAMINFOA& h = s.m_info;
    const SStreamFacts facts = Facts(s);
    std::printf("stream %zu: type=%s handler=%s flags=0x%08X priority=%u language=%u\n", i,
                FourCCText(h.fccType).c_str(), FourCCText(h.fccHandler).c_str(), h.dwFlags,
                h.wPriority, h.wLanguage);
    std::printf(
        "  scale=%u rate=%u start=%u length=%u (header %u) initial_frames=%u "
        "suggested_buffer=%u quality=%d sample_size=%u (used %u)\n",
        h.dwScale, h.dwRate, h.dwStart, h.dwLength, s.m_headerLength, h.dwInitialFrames,
        h.dwSuggestedBufferSize, static_cast<int32_t>(h.dwQuality), h.dwSampleSize, s.m_sampleSize);
    std::printf("  frame=(%d,%d,%d,%d) name=\"%s\"\n", h.rcFrame.left, h.rcFrame.top,
                h.rcFrame.right, h.rcFrame.bottom, Name(h).c_str());
    std::printf("  chunks=%llu empty=%llu key=%llu bytes=%llu\n",
                static_cast<unsigned long long>(facts.m_chunks),
                static_cast<unsigned long long>(facts.m_emptyChunks),
                static_cast<unsigned long long>(facts.m_keyChunks),
                static_cast<unsigned long long>(facts.m_bytes));
    std::printf("  format (%zu bytes): %s\n", s.m_format.size(), Hex(s.m_format).c_str());
  }
}

void PrintJson(const std::string& path, const SAviFileData& data, const AVIFILEINFOW& file) {
  const SAviMainHeader& m = data.m_main;
  std::printf("{\n  \"file\": %s,\n  \"size\": %llu,\n  \"riff_parts\": %u,\n",
              JsonString(path).c_str(), static_cast<unsigned long long>(data.m_source.Size()),
              data.m_riffParts);
  std::printf(
      "  \"index\": {\"kind\": %s, \"idx1_entries\": %llu, \"opendml_entries\": %llu, "
      "\"unmatched_entries\": %llu},\n",
      JsonString(IndexKindText(data.m_indexKind)).c_str(),
      static_cast<unsigned long long>(data.m_idx1Entries),
      static_cast<unsigned long long>(data.m_odmlEntries),
      static_cast<unsigned long long>(data.m_badIndexEntries));
  std::printf(
      "  \"avih\": {\"us_per_frame\": %u, \"max_bytes_per_sec\": %u, \"padding\": %u, "
      "\"flags\": %u, \"total_frames\": %u, \"initial_frames\": %u, \"streams\": %u, "
      "\"suggested_buffer\": %u, \"width\": %u, \"height\": %u},\n",
      m.m_microSecPerFrame, m.m_maxBytesPerSec, m.m_paddingGranularity, m.m_flags, m.m_totalFrames,
      m.m_initialFrames, m.m_streams, m.m_suggestedBufferSize, m.m_width, m.m_height);
  if (data.m_hasOdmlHeader)
    std::printf("  \"dmlh\": {\"total_frames\": %u},\n", data.m_odmlTotalFrames);
  std::printf(
      "  \"info\": {\"streams\": %u, \"width\": %u, \"height\": %u, \"scale\": %u, "
      "\"rate\": %u, \"length\": %u},\n  \"streams\": [",
      file.dwStreams, file.dwWidth, file.dwHeight, file.dwScale, file.dwRate, file.dwLength);
  for (size_t i = 0; i < data.m_streams.size(); ++i) {
    const SAviStreamData& s = data.m_streams[i];
    const AVISTREAMINFOA& h = s.m_info;
    const SStreamFacts facts = Facts(s);
    std::printf(
        "%s\n    {\"index\": %zu, \"type\": %s, \"handler\": %s, \"flags\": %u, "
        "\"priority\": %u, \"language\": %u, \"scale\": %u, \"rate\": %u, \"start\": %u, "
        "\"length\": %u, \"header_length\": %u, \"initial_frames\": %u, "
        "\"suggested_buffer\": %u, \"quality\": %d, \"sample_size\": %u, "
        "\"used_sample_size\": %u, \"frame\": [%d, %d, %d, %d], \"name\": %s, "
        "\"chunks\": %llu, \"empty_chunks\": %llu, \"key_chunks\": %llu, \"bytes\": %llu, "
        "\"format_size\": %zu, \"format\": \"%s\"}",
        i ? "," : "", i, JsonString(FourCCText(h.fccType)).c_str(),
        JsonString(FourCCText(h.fccHandler)).c_str(), h.dwFlags, h.wPriority, h.wLanguage,
        h.dwScale, h.dwRate, h.dwStart, h.dwLength, s.m_headerLength, h.dwInitialFrames,
        h.dwSuggestedBufferSize, static_cast<int32_t>(h.dwQuality), h.dwSampleSize, s.m_sampleSize,
        h.rcFrame.left, h.rcFrame.top, h.rcFrame.right, h.rcFrame.bottom,
        JsonString(Name(h)).c_str(), static_cast<unsigned long long>(facts.m_chunks),
        static_cast<unsigned long long>(facts.m_emptyChunks),
        static_cast<unsigned long long>(facts.m_keyChunks),
        static_cast<unsigned long long>(facts.m_bytes), s.m_format.size(), Hex(s.m_format).c_str());
  }
  std::printf("\n  ]\n}\n");
}

// A file read through libavformat: its container and the streams the mix would use.
void PrintOther(const std::string& path, CAviFile& file, bool json) {
  AVIFILEINFOW info{};
  file.Info(info);
  std::string container;
  for (char16_t c : info.szFileType) {
    if (!c) break;
    container += static_cast<char>(c);
  }
  PAVISTREAM video, audio;
  AVISTREAMINFOA v{}, a{};
  if (file.GetStream(video, streamtypeVIDEO, 0) == AVIERR_OK && video) video->Info(v);
  const HRESULT audioFound = file.GetStream(audio, streamtypeAUDIO, 0);
  if (audio) audio->Info(a);
  const char* audioNote = audioFound == AVIERR_UNSUPPORTED ? "in a codec AVI cannot carry" : "";
  uint8_t wave[16] = {};
  int32_t waveSize = sizeof wave;
  if (audio) audio->ReadFormat(0, wave, &waveSize);
  const unsigned tag = wave[0] | wave[1] << 8, channels = wave[2] | wave[3] << 8;
  const unsigned rate =
      wave[4] | wave[5] << 8 | wave[6] << 16 | static_cast<unsigned>(wave[7]) << 24;
  const int32_t turn = video ? video->Rotation() : 0;
  if (json) {
    std::printf(
        "{\"file\":%s,\"container\":%s,\"video\":{\"codec\":%s,\"width\":%d,\"height\":%d,"
        "\"frames\":%u,\"rate\":%u,\"scale\":%u,\"rotation\":%d}",
        JsonString(path).c_str(), JsonString(container).c_str(),
        JsonString(FourCCText(v.fccHandler)).c_str(), v.rcFrame.right, v.rcFrame.bottom, v.dwLength,
        v.dwRate, v.dwScale, turn);
    if (audio) {
      std::printf(",\"audio\":{\"tag\":%u,\"channels\":%u,\"sample_rate\":%u,\"samples\":%u}", tag,
                  channels, rate, a.dwLength);
    } else if (*audioNote) {
      std::printf(",\"audio\":{\"carried\":false}");
    }
    std::printf("}\n");
    return;
  }
  std::printf("file: %s\ncontainer: %s (read through libavformat)\n", path.c_str(),
              container.c_str());
  // The codecs by their common names: a codec AVI has no tag for is named by a made-up one.
  BITMAPINFOHEADER picture{};
  int32_t pictureSize = sizeof picture;
  if (video) video->ReadFormat(0, &picture, &pictureSize);
  const AVCodecID videoId = VideoCodecForFourCC(picture.biCompression, v.fccHandler);
  const std::string videoCodec = videoId == AV_CODEC_ID_NONE ? std::string()
                                                             : CodecCommonName(videoId) + " (" +
                                                                   avcodec_get_name(videoId) + ")";
  std::printf("video: codec %s, %dx%d, %u frames at %u/%u fps",
              videoCodec.empty() ? FourCCText(v.fccHandler).c_str() : videoCodec.c_str(),
              v.rcFrame.right, v.rcFrame.bottom, v.dwLength, v.dwRate, v.dwScale);
  if (turn) std::printf(", turned %d degrees to stand upright", turn);
  std::printf("\n");
  if (audio) {
    const std::string audioCodec = audio->DecodedFrom()
                                       ? std::string(audio->DecodedFrom()) + ", read as 16-bit PCM"
                                       : CodecCommonName(AudioCodecForTag(tag));
    // A decoded stream's length is known exactly only once decoded.
    std::printf("audio: %s (format tag 0x%04X), %u channels, %u Hz, %s%u samples of %u/%u s\n",
                audioCodec.c_str(), tag, channels, rate, audio->DecodedFrom() ? "at most " : "",
                a.dwLength, a.dwScale, a.dwRate);
  } else if (*audioNote) {
    std::printf("audio: %s\n", audioNote);
  }
}

}  // namespace

int RunInfo(int argc, char** argv) {
  bool json = false;
  const char* path = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json")) {
      json = true;
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      std::fprintf(stderr, "corvane-avi info: unexpected argument '%s'\n", argv[i]);
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::fputs("Usage: corvane-avi info [--json] FILE\n", stderr);
    return 2;
  }
  PAVIFILE file;
  const HRESULT result = CAviFile::Open(path, OF_SHARE_DENY_WRITE, file);
  std::shared_ptr<const SAviFileData> data;
  if (result == AVIERR_OK && file && !DescribeAviReader(*file, data)) {
    PrintOther(path, *file, json);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (result != AVIERR_OK || !file) {
    CErrorText error(result);
    const auto text = error.Text();
    std::fprintf(stderr, "corvane-avi info: cannot read %s: %s (0x%08X)\n", path,
                 text ? text->c_str() : "unknown error", static_cast<uint32_t>(result));
    return 1;
  }
  AVIFILEINFOW info{};
  file->Info(info);
  if (json)
    PrintJson(path, *data, info);
  else
    PrintText(path, *data, info);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace corvane::cli
