// Records, modes, flags and result codes of Corvane's AVI file services.
//
// The records keep the byte layout of the RIFF AVI structures they stand for, so that a
// stream header or a bitmap header can be copied to and from a file as it is.
#pragma once

#include <cstdint>

namespace corvane {

using HRESULT = int32_t;

// Result codes. 0 is success; failures have the top bit set.
constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT MakeAviError(uint32_t code) {
  return static_cast<HRESULT>(0x80044000u + code);
}
constexpr HRESULT AVIERR_UNSUPPORTED = MakeAviError(101);
constexpr HRESULT AVIERR_BADFORMAT = MakeAviError(102);
constexpr HRESULT AVIERR_MEMORY = MakeAviError(103);
constexpr HRESULT AVIERR_INTERNAL = MakeAviError(104);
constexpr HRESULT AVIERR_BADFLAGS = MakeAviError(105);
constexpr HRESULT AVIERR_BADPARAM = MakeAviError(106);
constexpr HRESULT AVIERR_BADSIZE = MakeAviError(107);
constexpr HRESULT AVIERR_BADHANDLE = MakeAviError(108);
constexpr HRESULT AVIERR_FILEREAD = MakeAviError(109);
constexpr HRESULT AVIERR_FILEWRITE = MakeAviError(110);
constexpr HRESULT AVIERR_FILEOPEN = MakeAviError(111);
constexpr HRESULT AVIERR_COMPRESSOR = MakeAviError(112);
constexpr HRESULT AVIERR_NOCOMPRESSOR = MakeAviError(113);
constexpr HRESULT AVIERR_READONLY = MakeAviError(114);
constexpr HRESULT AVIERR_NODATA = MakeAviError(115);  // 0x80044073
constexpr HRESULT AVIERR_BUFFERTOOSMALL = MakeAviError(116);
constexpr HRESULT AVIERR_CANTCOMPRESS = MakeAviError(117);
constexpr HRESULT AVIERR_USERABORT = MakeAviError(198);
constexpr HRESULT AVIERR_ERROR = MakeAviError(199);

// Open modes.
constexpr uint32_t OF_READ = 0x0000;
constexpr uint32_t OF_WRITE = 0x0001;
constexpr uint32_t OF_SHARE_DENY_WRITE = 0x0020;
constexpr uint32_t OF_CREATE = 0x1000;

// Sample flags (index flags of idx1 / ix##).
constexpr uint32_t AVIIF_LIST = 0x00000001;
constexpr uint32_t AVIIF_KEYFRAME = 0x00000010;
constexpr uint32_t AVIIF_NOTIME = 0x00000100;

// A sample count that asks for the chunk holding the position.
constexpr int32_t AVISTREAMREAD_CONVENIENT = -1;

// Search flags for CAviStream::FindSample.
constexpr uint32_t FIND_NEXT = 0x0001;
constexpr uint32_t FIND_PREV = 0x0004;
constexpr uint32_t FIND_KEY = 0x0010;
constexpr uint32_t FIND_ANY = 0x0020;

constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
constexpr uint32_t streamtypeVIDEO = MakeFourCC('v', 'i', 'd', 's');
constexpr uint32_t streamtypeAUDIO = MakeFourCC('a', 'u', 'd', 's');
constexpr uint32_t streamtypeMIDI = MakeFourCC('m', 'i', 'd', 's');
constexpr uint32_t streamtypeTEXT = MakeFourCC('t', 'x', 't', 's');

constexpr uint32_t BI_RGB = 0;

struct RECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// The stream header record (ANSI form): 140 bytes.
struct AVISTREAMINFOA {
  uint32_t fccType;
  uint32_t fccHandler;
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint16_t wPriority;
  uint16_t wLanguage;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwStart;
  uint32_t dwLength;
  uint32_t dwInitialFrames;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwQuality;
  uint32_t dwSampleSize;
  RECT rcFrame;
  uint32_t dwEditCount;
  uint32_t dwFormatChangeCount;
  char szName[64];
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

// The file information record: 172 bytes.
struct AVIFILEINFOW {
  uint32_t dwMaxBytesPerSec;
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint32_t dwStreams;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwWidth;
  uint32_t dwHeight;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwLength;
  uint32_t dwEditCount;
  char16_t szFileType[64];
};
static_assert(sizeof(AVIFILEINFOW) == 172);

// The bitmap header that opens a video stream's format: 40 bytes.
struct BITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

// Row stride of a 24-bit bottom-up Frame buffer: rows padded to four bytes.
constexpr int32_t FrameStride(int32_t width) {
  return ((width * 24 + 31) >> 3) & ~3;
}

// The header of such a Frame buffer: 24-bit BI_RGB, `width` x `height`, `imageBytes` of pixels.
constexpr BITMAPINFOHEADER FrameHeader(int32_t width, int32_t height, uint32_t imageBytes) {
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = imageBytes;
  return header;
}

}  // namespace corvane
