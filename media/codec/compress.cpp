// The compressor catalogue and AVIMakeCompressedStream.
#include "media/codec/compress.h"

#include <new>

#include "media/codec/codecutil.h"
#include "media/codec/compressedstream.h"

namespace corvane {
namespace {

bool HaveEncoder(const char* name) {
  return avcodec_find_encoder_by_name(name) != nullptr;
}

std::vector<CCompressorInfo> BuildCatalogue() {
  std::vector<CCompressorInfo> list;
  list.push_back({"uncompressed", "Full Frames (Uncompressed)", 0, false, false, false, true});
  if (HaveEncoder("mjpeg")) {
    list.push_back(
        {"mjpeg", "Motion JPEG", MakeFourCC('M', 'J', 'P', 'G'), true, false, false, false});
  }
  if (HaveEncoder("ffv1")) {
    list.push_back(
        {"ffv1", "FFV1 (lossless)", MakeFourCC('F', 'F', 'V', '1'), false, true, false, true});
  }
  if (HaveEncoder("huffyuv")) {
    list.push_back({"huffyuv", "HuffYUV (lossless)", MakeFourCC('H', 'F', 'Y', 'U'), false, false,
                    false, true});
  }
  if (HaveEncoder("utvideo")) {
    list.push_back({"utvideo", "Ut Video (lossless RGB)", MakeFourCC('U', 'L', 'R', 'G'), false,
                    false, false, true});
  }
  if (HaveEncoder("magicyuv")) {
    list.push_back({"magicyuv", "MagicYUV (lossless RGB)", MakeFourCC('M', '8', 'R', 'G'), false,
                    false, false, true});
  }
  if (HaveEncoder("mpeg4")) {
    list.push_back({"mpeg4", "MPEG-4 Visual (Xvid compatible)", MakeFourCC('X', 'V', 'I', 'D'),
                    true, true, true, false});
  }
  if (HaveEncoder("libx264")) {
    list.push_back(
        {"h264", "H.264 (x264)", MakeFourCC('H', '2', '6', '4'), true, true, true, false});
  }
  if (HaveEncoder("libvpx-vp9")) {
    list.push_back(
        {"vp9", "VP9 (libvpx)", MakeFourCC('V', 'P', '9', '0'), true, true, true, false});
  }
  if (HaveEncoder("libsvtav1")) {
    list.push_back(
        {"av1", "AV1 (SVT-AV1)", MakeFourCC('A', 'V', '0', '1'), true, true, false, false});
  }
  return list;
}

}  // namespace

const std::vector<CCompressorInfo>& CompressorCatalogue() {
  static const std::vector<CCompressorInfo> catalogue = BuildCatalogue();
  return catalogue;
}

const CCompressorInfo* FindCompressor(uint32_t fourCC) {
  // 'DIB ' is how full frames are named in a stream header.
  if (fourCC == MakeFourCC('D', 'I', 'B', ' ')) fourCC = 0;
  for (const CCompressorInfo& info : CompressorCatalogue()) {
    if (info.m_fourCC == fourCC) return &info;
  }
  // Other spellings of a catalogued codec (lower case, or another MPEG-4 Visual tag).
  if (fourCC != 0) {
    const AVCodecID id = VideoCodecForFourCC(fourCC, 0);
    for (const CCompressorInfo& info : CompressorCatalogue()) {
      if (info.m_fourCC != 0 && VideoCodecForFourCC(info.m_fourCC, 0) == id &&
          id != AV_CODEC_ID_NONE) {
        return &info;
      }
    }
  }
  return nullptr;
}

const CCompressorInfo* FindCompressor(const std::string& name) {
  for (const CCompressorInfo& info : CompressorCatalogue()) {
    if (info.m_name == name) return &info;
  }
  return nullptr;
}

int QualityToQuantiser(uint32_t quality) {
  if (quality == 0xFFFFFFFFu) return 0;
  if (quality > 10000) quality = 10000;
  return 31 - static_cast<int>((quality * 30 + 5000) / 10000);
}

HRESULT AVIMakeCompressedStream(PAVISTREAM& compressed, const PAVISTREAM& source,
                                const AVICOMPRESSOPTIONS& options, const CEncoderMatch& match) {
  compressed.reset();
  if (!source) return AVIERR_BADHANDLE;
  if (options.fccType != 0 && options.fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  const CCompressorInfo* compressor = FindCompressor(options.fccHandler);
  if (!compressor) return AVIERR_NOCOMPRESSOR;
  try {
    compressed = std::make_shared<CCompressedStream>(source, options, *compressor, match);
  } catch (const std::bad_alloc&) {
    return AVIERR_MEMORY;
  }
  return AVIERR_OK;
}

}  // namespace corvane
