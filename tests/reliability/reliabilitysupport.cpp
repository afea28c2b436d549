#include "reliabilitysupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/testsupport.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;

// The raw 64 x 48, 10-frame fixture: simple enough that every patch below hits one field.
std::vector<uint8_t> BaseFile() {
  return ReadFileBytes(Fixture("ff_bgr24_64x48_dibhandler.avi"));
}

// avih fields by offset into its payload; strh and BITMAPINFOHEADER fields likewise.
constexpr size_t kAvihTotalFrames = 16, kAvihWidth = 32, kAvihHeight = 36;
constexpr size_t kStrhLength = 32;
constexpr size_t kBiWidth = 4, kBiHeight = 8, kBiSizeImage = 20;

bool Patched(const std::string& path, const std::function<bool(std::vector<uint8_t>&)>& patch) {
  std::vector<uint8_t> bytes = BaseFile();
  return !bytes.empty() && patch(bytes) && WriteFileBytes(path, bytes);
}

bool PatchVideoFormat(std::vector<uint8_t>& bytes, size_t field, uint32_t value) {
  const size_t strf = FindChunk(bytes, "strf");
  return strf != 0 && PutU32(bytes, strf + field, value);
}

// A 64 x 48 H.264 clip in `format`, cut to `keep` of its bytes.
bool MadeByFfmpeg(const std::string& path, const char* format, double keep) {
  const std::string whole = path + ".whole";
  if (RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=64x48:r=25:d=2 -c:v libx264 "
                 "-g 10 -f " +
                 std::string(format) + " " + ShellQuote(whole))
          .m_exitCode != 0)
    return false;
  std::vector<uint8_t> bytes = ReadFileBytes(whole);
  fs::remove(whole);
  bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * keep));
  return !bytes.empty() && WriteFileBytes(path, bytes);
}

// A PNG made by ffmpeg whose header then claims `width` x `height` (the checksum left as it
// was, which decoders do not check by default).
bool PngOfSize(const std::string& path, uint32_t width, uint32_t height) {
  if (RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=64x48 -frames:v 1 " +
                 ShellQuote(path))
          .m_exitCode != 0)
    return false;
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  constexpr size_t kIhdrWidth = 16;  // after the signature and the IHDR chunk's length and type
  if (bytes.size() < kIhdrWidth + 8) return false;
  for (int i = 0; i < 4; ++i) {
    bytes[kIhdrWidth + i] = static_cast<uint8_t>(width >> (24 - 8 * i));
    bytes[kIhdrWidth + 4 + i] = static_cast<uint8_t>(height >> (24 - 8 * i));
  }
  return WriteFileBytes(path, bytes);
}

}  // namespace

bool PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  if (at + 4 > bytes.size()) return false;
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  return true;
}

uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t at) {
  if (at + 4 > bytes.size()) return 0;
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

size_t FindChunk(const std::vector<uint8_t>& bytes, const char* fourcc, size_t from) {
  for (size_t at = from; at + 8 <= bytes.size(); ++at) {
    if (std::memcmp(bytes.data() + at, fourcc, 4) == 0) return at + 8;
  }
  return 0;
}

int CompleteVideoChunks(const std::vector<uint8_t>& bytes) {
  const size_t movi = FindChunk(bytes, "movi");
  if (movi == 0) return -1;
  int chunks = 0;
  for (size_t at = movi - 4; at + 8 <= bytes.size();) {
    const uint32_t size = GetU32(bytes, at + 4);
    if (std::memcmp(&bytes[at], "LIST", 4) == 0) {
      at += 12;
      continue;
    }
    if (size > bytes.size() - at - 8) break;
    if (bytes[at] == '0' && bytes[at + 1] == '0' && bytes[at + 2] == 'd') ++chunks;
    at += 8 + size + (size & 1);
  }
  return chunks;
}

std::vector<CHostileInput> HostileInputs() {
  std::vector<CHostileInput> inputs;
  inputs.push_back({"zero-byte file", "empty.avi",
                    [](const std::string& path) { return WriteFileBytes(path, {}); }});
  inputs.push_back({"text file named .avi", "notes.avi", [](const std::string& path) {
                      const std::string text = "Shot list for Tuesday\n1. harbour\n2. market\n";
                      return WriteFileBytes(path, {text.begin(), text.end()});
                    }});
  inputs.push_back({"truncated recording (cut at 60%)", "cut.avi", [](const std::string& path) {
                      return Patched(path, [](std::vector<uint8_t>& bytes) {
                        bytes.resize(bytes.size() * 6 / 10);
                        return true;
                      });
                    }});
  inputs.push_back({"killed recording (RIFF and movi sizes 0, no idx1)", "killed.avi",
                    [](const std::string& path) {
                      return Patched(path, [](std::vector<uint8_t>& bytes) {
                        const size_t movi = FindChunk(bytes, "movi");
                        const size_t idx1 = FindChunk(bytes, "idx1");
                        if (movi < 12 || idx1 < 8) return false;
                        bytes.resize(idx1 - 8);
                        return PutU32(bytes, 4, 0) && PutU32(bytes, movi - 12, 0);
                      });
                    }});
  inputs.push_back(
      {"corrupt idx1 (entries overwritten)", "badindex.avi", [](const std::string& path) {
         return Patched(path, [](std::vector<uint8_t>& bytes) {
           const size_t idx1 = FindChunk(bytes, "idx1");
           if (idx1 == 0) return false;
           for (size_t at = idx1; at < bytes.size(); ++at) bytes[at] = 0xA5;
           return true;
         });
       }});
  inputs.push_back(
      {"header claiming 100000 x 100000 pixels", "huge.avi", [](const std::string& path) {
         return Patched(path, [](std::vector<uint8_t>& bytes) {
           const size_t avih = FindChunk(bytes, "avih");
           return avih != 0 && PutU32(bytes, avih + kAvihWidth, 100000) &&
                  PutU32(bytes, avih + kAvihHeight, 100000) &&
                  PatchVideoFormat(bytes, kBiWidth, 100000) &&
                  PatchVideoFormat(bytes, kBiHeight, 100000) &&
                  PatchVideoFormat(bytes, kBiSizeImage, 0);
         });
       }});
  inputs.push_back({"header claiming 2^31 frames", "manyframes.avi", [](const std::string& path) {
                      return Patched(path, [](std::vector<uint8_t>& bytes) {
                        const size_t avih = FindChunk(bytes, "avih");
                        const size_t strh = FindChunk(bytes, "strh");
                        return avih != 0 && strh != 0 &&
                               PutU32(bytes, avih + kAvihTotalFrames, 0x80000000u) &&
                               PutU32(bytes, strh + kStrhLength, 0x80000000u);
                      });
                    }});
  inputs.push_back(
      {"negative height -48 (top-down rows)", "topdown.avi", [](const std::string& path) {
         return Patched(path, [](std::vector<uint8_t>& bytes) {
           return PatchVideoFormat(bytes, kBiHeight, static_cast<uint32_t>(-48));
         });
       }});
  inputs.push_back({"height -2^31", "minheight.avi", [](const std::string& path) {
                      return Patched(path, [](std::vector<uint8_t>& bytes) {
                        return PatchVideoFormat(bytes, kBiHeight, 0x80000000u);
                      });
                    }});
  inputs.push_back({"video stream with zero frames", "noframes.avi", [](const std::string& path) {
                      return Patched(path, [](std::vector<uint8_t>& bytes) {
                        // Every frame chunk and the index become JUNK; the headers say 0.
                        const size_t avih = FindChunk(bytes, "avih");
                        const size_t strh = FindChunk(bytes, "strh");
                        const size_t movi = FindChunk(bytes, "movi", 12) - 4;
                        if (avih == 0 || strh == 0 || movi + 4 == 0) return false;
                        PutU32(bytes, avih + kAvihTotalFrames, 0);
                        PutU32(bytes, strh + kStrhLength, 0);
                        for (size_t at = movi; at + 4 <= bytes.size(); ++at) {
                          if (std::memcmp(&bytes[at], "00db", 4) == 0 ||
                              std::memcmp(&bytes[at], "00dc", 4) == 0 ||
                              std::memcmp(&bytes[at], "idx1", 4) == 0)
                            std::memcpy(&bytes[at], "JUNK", 4);
                        }
                        return true;
                      });
                    }});
  inputs.push_back({"audio-only file", "audioonly.avi", [](const std::string& path) {
                      return WriteFileBytes(path, ReadFileBytes(Fixture("ff_audio_only_pcm.avi")));
                    }});
  // Files of other containers, made by ffmpeg: 2 s of 64 x 48 at 25 fps.
  inputs.push_back({"MP4 cut before its index (no moov)", "nomoov.mp4",
                    [](const std::string& path) { return MadeByFfmpeg(path, "mp4", 0.6); }});
  inputs.push_back({"MKV cut mid-cluster", "cut.mkv",
                    [](const std::string& path) { return MadeByFfmpeg(path, "matroska", 0.6); }});
  inputs.push_back({"text file named .mp4", "notes.mp4", [](const std::string& path) {
                      const std::string text = "Shot list for Tuesday\n1. harbour\n2. market\n";
                      return WriteFileBytes(path, {text.begin(), text.end()});
                    }});
  inputs.push_back(
      {"PNG of 0 x 0", "empty.png", [](const std::string& path) { return PngOfSize(path, 0, 0); }});
  inputs.push_back({"PNG header claiming 50000 x 50000", "huge.png",
                    [](const std::string& path) { return PngOfSize(path, 50000, 50000); }});
  inputs.push_back({"path that is a folder", "folder.avi",
                    [](const std::string& path) { return fs::create_directory(path); }});
  inputs.push_back(
      {"unreadable path (under a regular file)", "plain/x.avi", [](const std::string& path) {
         return WriteFileBytes(fs::path(path).parent_path().string(), {'x'});
       }});
  return inputs;
}

CChildRun RunChild(const std::vector<std::string>& argv, const std::function<void()>& setup,
                   const std::function<void(pid_t)>& onStart) {
  CChildRun run;
  int fds[2];
  if (pipe(fds) != 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    if (setup) setup();
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return run;
  }
  if (onStart) onStart(pid);
  char chunk[4096];
  for (ssize_t count; (count = read(fds[0], chunk, sizeof(chunk))) > 0;)
    run.m_errors.append(chunk, static_cast<size_t>(count));
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) == pid) {
    run.m_exited = WIFEXITED(status);
    run.m_exitCode = run.m_exited ? WEXITSTATUS(status) : -1;
    run.m_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.m_peakKb = usage.ru_maxrss;
  }
  return run;
}

bool BuiltWithAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

void AddTableRow(const std::string& area, const std::string& tried, const std::string& result,
                 bool passed) {
  const char* named = std::getenv("CORVANE_RELIABILITY_ROWS");
  const std::string path = named && *named ? named : BuiltProgram("reliability-rows.tsv");
  std::string line = area + "\t" + tried + "\t" + result + "\t" + (passed ? "pass" : "FAIL");
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  line += "\n";
  // One write per row with O_APPEND: rows from parallel test processes do not interleave.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  const ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

}  // namespace corvane::test
