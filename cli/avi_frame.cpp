// corvane-avi frame FILE N OUT.bmp: one frame of the first video stream, as the Frame buffer
// that the mix job would see, in a BMP file.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/avi_commands.h"
#include "media/avifile.h"
#include "media/codec/getframe.h"
#include "media/errortext.h"

namespace corvane::cli {
namespace {

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string Describe(HRESULT code) {
  return CErrorText(code).Text().value_or("unknown error");
}

}  // namespace

int RunFrame(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("Usage: corvane-avi frame FILE N OUT.bmp\n", stderr);
    return 2;
  }
  char* end = nullptr;
  errno = 0;
  const long index = std::strtol(argv[1], &end, 10);
  if (errno || end == argv[1] || *end || index < 0 || index > INT32_MAX) {
    std::fprintf(stderr, "corvane-avi: '%s' is not a frame number\n", argv[1]);
    return 2;
  }
  PAVIFILE file;
  HRESULT result = CAviFile::Open(argv[0], OF_SHARE_DENY_WRITE, file);
  if (result != AVIERR_OK) {
    std::fprintf(stderr, "corvane-avi: cannot open %s: %s\n", argv[0], Describe(result).c_str());
    return 1;
  }
  PAVISTREAM stream;
  result = file->GetStream(stream, streamtypeVIDEO, 0);
  if (result != AVIERR_OK) {
    std::fprintf(stderr, "corvane-avi: %s has no video stream\n", argv[0]);
    return 1;
  }
  std::unique_ptr<CGetFrame> frames = CGetFrame::Open(stream);
  if (!frames) {
    std::fprintf(stderr, "corvane-avi: no decoder for the video stream of %s\n", argv[0]);
    return 1;
  }
  const int64_t position = static_cast<int64_t>(stream->Start()) + index;
  if (index >= stream->Length() || position > INT32_MAX) {
    std::fprintf(stderr, "corvane-avi: frame %ld is past the end (%d frames)\n", index,
                 stream->Length());
    return 1;
  }
  const BITMAPINFOHEADER* dib = frames->GetFrame(static_cast<int32_t>(position));
  if (!dib) {
    std::fprintf(stderr, "corvane-avi: frame %ld could not be decoded\n", index);
    return 1;
  }
  // A BMP is a file header, then the DIB exactly as it is: header and bottom-up rows.
  const uint32_t dibBytes = dib->biSize + dib->biSizeImage;
  std::vector<uint8_t> bmp;
  bmp.reserve(14 + dibBytes);
  bmp.push_back('B');
  bmp.push_back('M');
  PutLe(bmp, 14 + dibBytes, 4);
  PutLe(bmp, 0, 4);
  PutLe(bmp, 14 + dib->biSize, 4);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(dib);
  bmp.insert(bmp.end(), bytes, bytes + dibBytes);

  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(argv[2], "wb"), &std::fclose);
  if (!out || std::fwrite(bmp.data(), 1, bmp.size(), out.get()) != bmp.size() ||
      std::fclose(out.release()) != 0) {
    std::fprintf(stderr, "corvane-avi: cannot write %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace corvane::cli
