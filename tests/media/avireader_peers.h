// Helpers of the reader tests: running the peer tools (ffprobe, ffmpeg, the corpus's
// riffwalk.py) with their output cached in the build tree, and reading a stream through the
// reader the way the peers report it (sizes and MD5s of samples, in order).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "media/avifile.h"
#include "support/testsupport.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace corvane::test {

inline std::string Md5(const uint8_t* data, size_t size) {
  uint8_t digest[16];
  av_md5_sum(digest, data, size);
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

// Output of a peer command over `path`. With `cache`, kept in the build tree (keyed by the
// command and the file's size and time) so the separate processes CTest starts for each test
// run every peer once per fixture version.
inline std::string PeerOutput(const std::string& command, const std::string& path,
                              bool cache = true) {
  if (!cache) return RunCommand(command).m_output;
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  const auto stamp = std::filesystem::last_write_time(path, error).time_since_epoch().count();
  uint64_t hash = 1469598103934665603ull;
  for (char c : command + "|" + std::to_string(size) + "|" + std::to_string(stamp))
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  const std::filesystem::path dir = BuiltProgram("test-cache");
  std::filesystem::create_directories(dir, error);
  const std::string file = (dir / ("peer-" + std::to_string(hash))).string();
  const std::vector<uint8_t> cached = ReadFileBytes(file);
  // A leading '#' tells a cached empty output from a missing cache file.
  if (!cached.empty()) return std::string(cached.begin() + 1, cached.end());
  const auto result = RunCommand(command);
  if (result.m_exitCode == 0) {
    const std::string text = "#" + result.m_output;
    const std::string temp = file + "." + std::to_string(::getpid());
    if (WriteFileBytes(temp, std::vector<uint8_t>(text.begin(), text.end())))
      std::filesystem::rename(temp, file, error);
  }
  return result.m_output;
}

struct SPacket {
  size_t m_size = 0;
  std::string m_md5;
  bool operator==(const SPacket&) const = default;
};

// The packets of `ffmpeg -i path -map 0:stream -c copy -f framemd5 -`.
inline std::vector<SPacket> FfmpegPackets(const std::string& path, size_t stream,
                                          bool cache = true) {
  const std::string output =
      PeerOutput("ffmpeg -v error -nostdin -i " + ShellQuote(path) +
                     " -map 0:" + std::to_string(stream) + " -c copy -f framemd5 -",
                 path, cache);
  std::vector<SPacket> packets;
  std::istringstream lines(output);
  for (std::string text; std::getline(lines, text);) {
    if (text.empty() || text[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream parts(text);
    for (std::string field; std::getline(parts, field, ',');)
      fields.push_back(field.substr(field.find_first_not_of(' ')));
    if (fields.size() >= 6) packets.push_back({std::stoul(fields[4]), fields[5]});
  }
  return packets;
}

// MD5 of all the bytes of one stream's packets in order (`-f md5`).
inline std::string FfmpegStreamMd5(const std::string& path, size_t stream, bool cache = true) {
  const std::string output =
      PeerOutput("ffmpeg -v error -nostdin -i " + ShellQuote(path) +
                     " -map 0:" + std::to_string(stream) + " -c copy -f md5 -",
                 path, cache);
  const size_t equals = output.find('=');
  return equals == std::string::npos ? std::string() : output.substr(equals + 1, 32);
}

// A stream as read through the reader, chunk by chunk (AVISTREAMREAD_CONVENIENT).
struct SReadStream {
  std::vector<SPacket> m_nonEmpty;  // samples with data, in order
  size_t m_empty = 0;               // zero-length samples
  std::vector<uint8_t> m_bytes;     // everything, in order
  bool m_ok = true;
};

inline SReadStream ReadWholeStream(CAviStream& stream) {
  SReadStream result;
  std::vector<uint8_t> buffer;
  const int64_t end = int64_t{stream.Start()} + stream.Length();
  for (int64_t position = stream.Start(); position < end;) {
    int32_t bytes = -1, count = -1;
    const auto at = static_cast<int32_t>(position);
    if (stream.Read(at, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &count) != AVIERR_OK ||
        count <= 0 || bytes < 0) {
      result.m_ok = false;
      break;
    }
    buffer.assign(static_cast<size_t>(bytes), 0);
    if (stream.Read(at, count, buffer.data(), bytes, &bytes, &count) != AVIERR_OK) {
      result.m_ok = false;
      break;
    }
    if (bytes == 0)
      ++result.m_empty;
    else
      result.m_nonEmpty.push_back({buffer.size(), Md5(buffer.data(), buffer.size())});
    result.m_bytes.insert(result.m_bytes.end(), buffer.begin(), buffer.end());
    position += count;
  }
  return result;
}

}  // namespace corvane::test

namespace corvane::test {

// Lays out a RIFF file in memory: chunks and lists appended in order, list sizes patched when
// a list ends, so that a test can build any structure (well-formed or not) byte by byte.
class CRiffBuilder {
 public:
  std::vector<uint8_t> m_bytes;

  void PutU16(uint16_t value) {
    m_bytes.push_back(static_cast<uint8_t>(value));
    m_bytes.push_back(static_cast<uint8_t>(value >> 8));
  }
  void PutU32(uint32_t value) {
    for (int i = 0; i < 4; ++i) m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void PutU64(uint64_t value) {
    PutU32(static_cast<uint32_t>(value));
    PutU32(static_cast<uint32_t>(value >> 32));
  }
  void PutId(const char* id) { m_bytes.insert(m_bytes.end(), id, id + 4); }
  void Patch32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) m_bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }

  // "RIFF" or "LIST" with its type; returns the header's offset for End.
  size_t Begin(const char* kind, const char* type) {
    const size_t at = m_bytes.size();
    PutId(kind);
    PutU32(0);
    PutId(type);
    return at;
  }
  void End(size_t at) { Patch32(at + 4, static_cast<uint32_t>(m_bytes.size() - at - 8)); }

  // A chunk with its pad byte; returns the offset of its data.
  size_t Add(const char* id, const std::vector<uint8_t>& data, bool pad = true) {
    PutId(id);
    PutU32(static_cast<uint32_t>(data.size()));
    const size_t at = m_bytes.size();
    m_bytes.insert(m_bytes.end(), data.begin(), data.end());
    if (pad && (data.size() & 1)) m_bytes.push_back(0);
    return at;
  }
};

// Offset of the first occurrence of a 4-character id in `bytes`, or npos.
inline size_t FindId(const std::vector<uint8_t>& bytes, const char* id, size_t from = 0) {
  for (size_t i = from; i + 4 <= bytes.size(); ++i)
    if (std::equal(id, id + 4, bytes.begin() + static_cast<std::ptrdiff_t>(i))) return i;
  return std::string::npos;
}

}  // namespace corvane::test
