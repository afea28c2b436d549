// The main's first audio stream on its way into a muxed output: its packets as they are, or
// decoded and encoded again (AAC for MP4 and MOV, Opus for WebM) where the container or its
// players do not take the codec. Internal to media/mux.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/avifile.h"
#include "media/mux/container.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {

class CMuxAudio {
 public:
  CMuxAudio();
  ~CMuxAudio();
  CMuxAudio(const CMuxAudio&) = delete;
  CMuxAudio& operator=(const CMuxAudio&) = delete;

  // Hands a packet of `output`'s to its muxer (through its interleaving); false on a failure.
  using PacketWriter = std::function<bool(AVPacket& packet)>;

  // Opens the first audio stream of `mainPath` and adds its stream to `output` (no header
  // written yet), whose packets go through `write`. AVIERR_NODATA without audio; the notice for
  // an encoded stream is shown here.
  HRESULT Open(const std::string& mainPath, const CContainerInfo& container,
               AVFormatContext& output, PacketWriter write);

  // Writes the audio that starts before `until` seconds of the main's video time (all of it with
  // a negative `until`), through `output`'s interleaving. False on a write failure.
  bool WriteUntil(double until);
  // The end: `until` as above, then what an encoder holds back. False on a failure.
  bool Finish(double until);

  // What went wrong on the way without stopping the writing: a read error of the main, which
  // ends the sound where it happened, and damaged packets, which are left out.
  struct CFaults {
    int m_readError = 0;      // libav's error code; 0: none
    double m_soundEnd = 0.0;  // seconds: the end of the sound written so far
    int64_t m_damagedPackets = 0;
  };
  const CFaults& Faults() const;

 private:
  struct CState;
  std::unique_ptr<CState> m_state;
};

}  // namespace corvane
