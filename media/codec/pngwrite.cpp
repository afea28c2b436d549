#include "media/codec/pngwrite.h"

#include <cstdio>
#include <memory>

#include "media/avidefs.h"
#include "media/codec/codecutil.h"

namespace corvane {
namespace {

struct CFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string WritePng(const std::string& path, const uint8_t* frame, int32_t width, int32_t height) {
  QuietCodecLogging();
  if (!frame || width <= 0 || height <= 0) return "there is no picture to write";
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) return "this build has no PNG encoder";
  CodecContextPtr encoder(avcodec_alloc_context3(codec));
  FramePtr picture(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!encoder || !picture || !packet) return "out of memory";
  encoder->width = width;
  encoder->height = height;
  encoder->pix_fmt = AV_PIX_FMT_RGB24;
  encoder->time_base = AVRational{1, 25};
  if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return "the PNG encoder did not open";
  picture->width = width;
  picture->height = height;
  picture->format = AV_PIX_FMT_RGB24;
  if (av_frame_get_buffer(picture.get(), 0) < 0) return "out of memory";
  // Bottom-up blue-green-red rows become top-down red-green-blue ones.
  const int64_t stride = FrameStride(width);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* source = frame + (int64_t{height} - 1 - y) * stride;
    uint8_t* target = picture->data[0] + int64_t{y} * picture->linesize[0];
    for (int32_t x = 0; x < width; ++x) {
      target[3 * x] = source[3 * x + 2];
      target[3 * x + 1] = source[3 * x + 1];
      target[3 * x + 2] = source[3 * x];
    }
  }
  if (avcodec_send_frame(encoder.get(), picture.get()) < 0 ||
      avcodec_send_frame(encoder.get(), nullptr) < 0 ||
      avcodec_receive_packet(encoder.get(), packet.get()) < 0) {
    return "the PNG encoder failed";
  }
  std::unique_ptr<std::FILE, CFileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return "cannot create " + path;
  if (std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file.get()) !=
          static_cast<size_t>(packet->size) ||
      std::fclose(file.release()) != 0) {
    return "cannot write " + path;
  }
  return {};
}

}  // namespace corvane
