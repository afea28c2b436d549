// MP4 and MOV are written in fragments while a mix runs, so that a kill or a full disk leaves a
// file that plays up to its last whole fragment. A finished (or stopped) file is then rewritten
// once as a plain one, its index at the front, the way players and editors like best: the
// packets are copied as they are, nothing is encoded again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/avidefs.h"
#include "media/mux/container.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {

// The streams and the times and flags of every packet as the writer handed them to the muxer,
// so that the plain copy gets each as it was given: fragments keep neither the sound's discarded
// priming samples nor the trimmed length of its last packet, and their index is written before
// the first frame is known (a VP9 stream's configuration is then empty).
class CPacketLog {
 public:
  CPacketLog();
  ~CPacketLog();
  CPacketLog(const CPacketLog&) = delete;
  CPacketLog& operator=(const CPacketLog&) = delete;

  // Keeps a copy of the codec parameters and clock of each of `output`'s streams (owned here).
  // False when there is no memory for them (the copy then takes what the fragments say).
  bool KeepStreams(const AVFormatContext& output);
  // Those of `stream`; null when not kept.
  const AVCodecParameters* Parameters(int stream) const;
  AVRational TimeBase(int stream) const;

  // False when there is no memory to keep it (the copy then takes the fragments' own times).
  bool Add(const AVPacket& packet);
  // Puts the times of the `index`th packet of `stream` on `packet`; false when not logged.
  bool Restore(int stream, size_t index, AVPacket& packet) const;

 private:
  struct CStream;
  std::vector<CStream> m_kept;
  struct CTimes {
    int64_t m_pts;
    int64_t m_dts;
    int64_t m_duration;
    int m_flags;
  };
  std::vector<std::vector<CTimes>> m_streams;
  bool m_whole = true;
};

// Copies every stream of the file at `from` packet for packet into a new plain file `to`
// (`container`: MP4 or MOV), its index before the media data, each packet with the times `log`
// holds for it (when given). `to` is left half-written on
// failure; AVIERR_FILEREAD when `from` cannot be read, AVIERR_FILEWRITE when `to` cannot be
// written (no room), AVIERR_MEMORY.
HRESULT CopyToPlainFile(const std::string& from, const std::string& to,
                        const CContainerInfo& container, const CPacketLog* log = nullptr);

// Rewrites the fragmented file at `path` as a plain one: into a temporary file beside it, then
// renamed over it, so that `path` is at every moment one whole file or the other. When that
// cannot be done (no room for the copy, a folder without write access), `path` stays as it is,
// playable, the temporary file is removed, and `why` says what happened.
bool MakePlain(const std::string& path, const CContainerInfo& container, const CPacketLog* log,
               std::string& why);

}  // namespace corvane
