// Copies the main video's first audio stream into a finished output file: header, format and
// samples unchanged, each chunk at the position it had in the source.
//
// Both functions run on the mix worker, report failures through the host (the copy's own
// failures with no icon), set the progress text "Audio Chunk %ld" once per chunk, and stop at
// the next chunk boundary once EngineState().m_mixing is no longer 1. CopyAudioTrack leaves
// the milliseconds it took in EngineState().m_audioTime. Neither throws.
#pragma once

#include <string>

#include "media/avifile.h"

namespace corvane {

// How a copy ended, for callers that must tell a complete output from an incomplete one.
enum class EAudioCopyResult {
  kCopied,   // every sample of the source stream is in the output
  kStopped,  // the mixing flag dropped: the output holds the chunks copied so far
  kNoAudio,  // the main video has no audio stream: the output holds the video alone
  kPartial,  // a read error or damaged packets: the output holds part of the audio (said why)
  kFailed,   // anything else: the output lacks the audio, or part of it
};

// Where a copy ends. By default the whole stream, stopped by the mixing flag. After a stopped
// video pass, the chunks that start before `m_seconds` (the end of the last frame written):
// that copy goes on without the mixing flag and ends early only once a second stop was asked
// for (EngineState().m_stopRequests >= 2).
struct CAudioCopyEnd {
  bool m_afterStop = false;
  double m_seconds = 0.0;
};

// Opens `mainPath` read-only, finds its first audio stream and copies it into `outputPath`
// with CopyAudioStream. "Unable to open %s" and "Cannot get AVI audio stream for %s" are shown
// with MB_ICONINFORMATION.
EAudioCopyResult CopyAudioTrack(const std::string& mainPath, const std::string& outputPath,
                                const CAudioCopyEnd& end = {});

// Reopens `outputPath` for writing, adds a stream with `stream`'s header and format and copies
// its samples chunk by chunk. The stream stays the caller's.
EAudioCopyResult CopyAudioStream(const PAVISTREAM& stream, const std::string& outputPath,
                                 const CAudioCopyEnd& end = {});

// Whether two paths name the same file: equal after resolving links, or the same device and
// inode (hard links included). A path that does not exist is no file at all.
bool SameFile(const std::string& first, const std::string& second);

}  // namespace corvane
