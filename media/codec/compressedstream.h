// The stream AVIMakeCompressedStream hands out: takes 24-bit bottom-up frames, encodes them
// with one compressor of the catalogue and writes the samples to the uncompressed stream it
// was made over (a stream of a file being written).
//
// Owns its encoder, scaler and picture; keeps the underlying stream alive. Samples keep the
// positions they were written at; an encoder that holds frames back (B-frames) gets its
// packets placed at the written positions in turn, and the frames still held are written by
// EndOfStream (or, unreported, when the stream is released). Key-frame flags are the encoder's
// own.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "media/codec/codecutil.h"
#include "media/codec/compress.h"

namespace corvane {

class CCompressedStream final : public CAviStream {
 public:
  CCompressedStream(PAVISTREAM target, const AVICOMPRESSOPTIONS& options,
                    const CCompressorInfo& compressor, CEncoderMatch match = {});
  ~CCompressedStream() override;

  HRESULT Info(AVISTREAMINFOA& info) const override;
  HRESULT ReadFormat(int32_t position, void* format, int32_t* size) override;
  // Takes the 40-byte 24-bit BI_RGB header of the frames to come and starts the encoder.
  // AVIERR_BADFORMAT for another format; AVIERR_NOCOMPRESSOR when the encoder is missing;
  // AVIERR_CANTCOMPRESS when it refuses the size; the target's own failure otherwise.
  HRESULT SetFormat(int32_t position, const void* format, int32_t size) override;
  int32_t Start() const override { return m_target->Start(); }
  int32_t Length() const override { return m_target->Length(); }
  // Write-only: reads give AVIERR_UNSUPPORTED.
  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override;
  // `samples` whole frames of FrameStride(width) * height bytes each, from position `start`
  // on (positions only grow). `flags` is a request only: the encoder places key frames.
  HRESULT Write(int32_t start, int32_t samples, const void* data, int32_t size, uint32_t flags,
                int32_t* samplesWritten, int32_t* bytesWritten) override;
  // Drains the encoder (see CAviStream::EndOfStream); once drained, Write refuses more frames.
  HRESULT EndOfStream() override;
  // Drains the encoder and opens a fresh one for the frames to come (see CAviStream::EndRun).
  HRESULT EndRun() override;
  int32_t FailedPosition() const override { return m_failedPosition; }
  int32_t FindSample(int32_t position, uint32_t flags) const override {
    return m_target->FindSample(position, flags);
  }

 private:
  HRESULT OpenEncoder(const BITMAPINFOHEADER& input);
  // Makes and opens `encoder` with the stream's settings, its header apart with `globalHeader`.
  HRESULT ConfigureEncoder(CodecContextPtr& encoder, bool globalHeader) const;
  // The parameters the output's header takes when the source's packets are copied among ours:
  // the source's, with the encoder's clock and, for H.264, its parameter sets beside the
  // source's in the stored header.
  HRESULT SplicedHeader(CodecContextPtr& header) const;
  bool Spliced() const { return m_match.m_source != nullptr; }
  bool SplicedH264() const { return Spliced() && m_compressor.m_name == "h264"; }
  HRESULT EncodeFrame(int32_t position, const uint8_t* frame);
  // Writes every packet the encoder has ready. With `flush`, first tells it no frame follows.
  HRESULT Drain(bool flush);

  PAVISTREAM m_target;
  AVICOMPRESSOPTIONS m_options;
  const CCompressorInfo& m_compressor;
  CEncoderMatch m_match;
  std::vector<uint8_t> m_format;  // what the target's strf holds
  int32_t m_width = 0;
  int32_t m_height = 0;
  int32_t m_frameBytes = 0;
  int32_t m_encodeWidth = 0;  // the encoder's picture: the frame, less an odd last column or row
  int32_t m_encodeHeight = 0;
  int64_t m_lastPosition = -1;
  HRESULT m_failure = AVIERR_OK;  // a failed encoder stays failed
  int32_t m_failedPosition = -1;  // the frame whose packet could not be written
  CodecContextPtr m_encoder;
  SwsContextPtr m_scaler;
  FramePtr m_picture;
  FramePtr m_spare;  // the picture before, while the encoder may still hold it
  PacketPtr m_packet;
  std::deque<int32_t> m_positions;  // positions of frames sent whose packets are still due
  bool m_flushed = false;
  // Spliced: where the encoder's current run starts and the packets it has given so far.
  int64_t m_runStart = -1;
  int64_t m_runPackets = 0;
  std::vector<uint8_t> m_lengthPrefixed;  // spliced H.264: a packet as MP4 and Matroska hold it
};

}  // namespace corvane
