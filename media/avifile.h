// Corvane's AVI file services: open, create and reopen RIFF AVI files, and read and write
// their streams sample by sample.
//
// Ownership. A file and each stream are held through shared pointers (PAVIFILE,
// PAVISTREAM): dropping the pointer is the release. A stream keeps its file alive, so a
// new file is completed (headers, index, totals) when the last of the file and its
// streams is released — streams released before their file, as callers do, works the
// same. No call throws; every failure is an AVIERR_* code.
//
// Threads. A file and its streams are used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "media/avidefs.h"

struct AVCodecContext;
struct AVCodecParameters;

namespace corvane {

// A palette change of an 8-bit video stream: it applies from sample `m_position` (absolute) on.
// `m_bytes` as the file holds them: first entry, entry count (0: 256), flags (16 bits), then
// red, green, blue and a flags byte per entry.
struct SPaletteChange {
  int32_t m_position = 0;
  std::vector<uint8_t> m_bytes;
};

class CAviStream;
class CAviFile;

// When the pictures of a video stream are shown, for streams that carry presentation times.
struct SPresentationTimes {
  std::vector<int64_t> m_starts;  // each picture's start, in presentation order, from the first
  int64_t m_duration = 0;         // from the first picture's start to the end of the last one
  int64_t m_unitNum = 1;          // one unit is m_unitNum / m_unitDen seconds
  int64_t m_unitDen = 1;
  double m_statedSeconds = 0.0;  // how long the file's header says it lasts; 0 when it does not
};
// What a stream being written asks of the encoder in front of it: the codec's set-up data in
// the container's header rather than in the stream (MP4, Matroska), and pictures as players
// expect them (4:2:0 at even sizes, the colour matrix tagged).
struct SWriterNeeds {
  bool m_globalHeader = false;
  bool m_playerPictures = false;
  bool m_noReordering = false;  // frames keep times of their own: no B-frames
};
using PAVISTREAM = std::shared_ptr<CAviStream>;
using PAVIFILE = std::shared_ptr<CAviFile>;

// One stream of an AVI file, or a stream made over another one (a compressed stream).
class CAviStream {
 public:
  virtual ~CAviStream() = default;
  CAviStream(const CAviStream&) = delete;
  CAviStream& operator=(const CAviStream&) = delete;

  // The stream header record. dwLength counts the samples as the stream holds them now.
  virtual HRESULT Info(AVISTREAMINFOA& info) const = 0;

  // With format null: *size becomes the format's byte count. Otherwise copies
  // min(*size, format size) bytes and sets *size to the count copied.
  virtual HRESULT ReadFormat(int32_t position, void* format, int32_t* size) = 0;

  // Sets the format of a stream being written (before its first sample).
  virtual HRESULT SetFormat(int32_t position, const void* format, int32_t size) = 0;

  // First sample position and number of samples.
  virtual int32_t Start() const = 0;
  virtual int32_t Length() const = 0;

  // Reads samples from `start`. `samples` is a count, or AVISTREAMREAD_CONVENIENT for
  // the rest of the chunk that holds `start`. With buffer null this is a size query:
  // it reads nothing and reports the bytes and samples that a read would give. A buffer
  // too small for one sample gives AVIERR_BUFFERTOOSMALL. bytesRead and samplesRead may
  // be null. A position outside the stream gives AVIERR_NODATA.
  virtual HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize,
                       int32_t* bytesRead, int32_t* samplesRead) = 0;

  // Writes `samples` samples of `size` bytes at position `start` (for a video stream one
  // sample is one frame). Positions left out before `start` are filled with empty
  // samples so that positions hold. `flags` carries AVIIF_KEYFRAME. Returns a negative
  // code on failure.
  virtual HRESULT Write(int32_t start, int32_t samples, const void* data, int32_t size,
                        uint32_t flags, int32_t* samplesWritten, int32_t* bytesWritten) = 0;

  // Nearest sample from `position` with the wanted property (FIND_KEY, FIND_ANY), searched
  // FIND_PREV or FIND_NEXT, the position itself included; -1 when there is none.
  virtual int32_t FindSample(int32_t position, uint32_t flags) const = 0;

  // For a video stream that knows its presentation order (a container with timestamps): the
  // place, counted from 0, at which the picture of the sample at `position` is shown. -1 when
  // the stream does not know it (AVI: the decoder's output order gives it).
  virtual int32_t ShownAt(int32_t position) const {
    (void)position;
    return -1;
  }

  // Whether Read, FindSample and ShownAt may be called from several threads at once (each
  // caller with its own buffer), so that frames can be decoded side by side.
  virtual bool ReadsConcurrently() const { return false; }

  // Clockwise degrees (0, 90, 180 or 270) by which a video stream's decoded pictures are turned
  // to stand upright, as a phone's rotation tag asks. The format gives the upright size.
  virtual int32_t Rotation() const { return 0; }

  // For a video stream read through libavformat: its codec parameters as the container stores
  // them (codec, profile, pixel format, field order, the codec's header), owned by the stream
  // and valid while it lives. Null for the others.
  virtual const AVCodecParameters* StoredParameters() const { return nullptr; }

  // A video stream's presentation times, for streams that carry them; false for the others
  // (AVI: every picture lasts dwScale / dwRate seconds).
  virtual bool PresentationTimes(SPresentationTimes& times) const {
    (void)times;
    return false;
  }

  // The palette changes of an 8-bit video stream ('##pc' chunks), in file order; false for a
  // stream without any.
  virtual bool PaletteChanges(std::vector<SPaletteChange>& changes) const {
    (void)changes;
    return false;
  }

  // For an 8-bit video stream being written: a palette change (bytes as in SPaletteChange)
  // written now, before the next sample. Streams that cannot hold one: AVIERR_UNSUPPORTED.
  virtual HRESULT WritePaletteChange(const void* data, int32_t size) {
    (void)data;
    (void)size;
    return AVIERR_UNSUPPORTED;
  }

  // For a video stream whose pictures keep their alpha beside them (VP8 and VP9 in WebM and
  // Matroska): the decoder that reads it ("libvpx-vp9"), and the alpha data of sample
  // `position`, as the container gives it, when that sample was the last one read. Streams
  // without such alpha: null and false.
  virtual const char* AlphaDecoder() const { return nullptr; }
  virtual bool SampleAlpha(int32_t position, std::vector<uint8_t>& alpha) const {
    (void)position;
    alpha.clear();
    return false;
  }

  // For an audio stream offered as 16-bit PCM decoded from a codec an AVI file cannot carry:
  // that codec's name ("Opus", "Vorbis", "FLAC"). Null for streams read as they are stored.
  virtual const char* DecodedFrom() const { return nullptr; }
  // The fewest sample frames the stream can hold: Length() itself unless that is only an upper
  // bound known before decoding (decoded streams).
  virtual int32_t LengthAtLeast() const { return Length(); }

  // For a stream that holds frames back (an encoder with B-frames or look-ahead): writes them
  // now, before the file is ended, and returns the first failure of a write, so that no frame
  // is lost unreported. Streams that hold nothing back: AVIERR_OK.
  virtual HRESULT EndOfStream() { return AVIERR_OK; }
  // For a stream that encodes long groups of pictures among copied ones: the frames written so
  // far form a closed run and are all written now; the next frame starts a new run with a key
  // frame the decoder can start from. Returns the first failure of a write. Others: AVIERR_OK.
  virtual HRESULT EndRun() { return AVIERR_OK; }
  // After a failed write: the position of the frame whose data could not be written, which for
  // an encoder that holds frames back may be earlier than the one being written; -1 unknown.
  virtual int32_t FailedPosition() const { return -1; }

  // For a stream being written: what it asks of its encoder (see SWriterNeeds).
  virtual SWriterNeeds WriterNeeds() const { return {}; }

  // For a video stream being written to a container that keeps frame times: when each frame is
  // shown, instead of the header's constant rate. Set before the format. AVI: unsupported.
  virtual HRESULT SetFrameTimes(const SPresentationTimes& times) {
    (void)times;
    return AVIERR_UNSUPPORTED;
  }

  // For a stream being written through a muxer: the encoder that makes its packets, opened,
  // whose parameters the container's header takes. Others: AVIERR_UNSUPPORTED.
  virtual HRESULT SetEncoder(const AVCodecContext& encoder) {
    (void)encoder;
    return AVIERR_UNSUPPORTED;
  }

  // Writes one encoded packet with its presentation and decoding times (in the encoder's
  // frames) as well as the position it takes. Streams without times write it at `position`.
  virtual HRESULT WritePacket(int32_t position, int64_t presentation, int64_t decoding,
                              const void* data, int32_t size, uint32_t flags) {
    (void)presentation;
    (void)decoding;
    return Write(position, 1, data, size, flags, nullptr, nullptr);
  }

  // Sets the handler FourCC in the header of a stream being written (a compressed stream
  // names its codec there). Streams that cannot change it return AVIERR_UNSUPPORTED.
  virtual HRESULT SetHandler(uint32_t fccHandler) {
    (void)fccHandler;
    return AVIERR_UNSUPPORTED;
  }

 protected:
  CAviStream() = default;
};

struct CContainerInfo;

// An open AVI file.
class CAviFile {
 public:
  virtual ~CAviFile() = default;
  CAviFile(const CAviFile&) = delete;
  CAviFile& operator=(const CAviFile&) = delete;

  // Opens `path`. Modes: OF_SHARE_DENY_WRITE (or OF_READ) reads an existing file and never
  // writes to it; OF_CREATE | OF_WRITE makes a new, empty file (truncating one that
  // exists); OF_WRITE reopens an existing file to add streams to it.
  // OF_CREATE makes the container the name's extension names (.mkv, .webm, .mp4, .m4v, .mov:
  // written through libavformat); a name without a known one is made as `container` when given,
  // else as an AVI (OutputContainer).
  // A file that is not a RIFF AVI is read through libavformat; AVIERR_USERABORT when the host
  // stopped its opening (see CHost::OpeningProgress).
  static HRESULT Open(const std::string& path, uint32_t mode, PAVIFILE& file,
                      const CContainerInfo* container = nullptr);

  // Why the last Open for reading on this thread failed, for a file that is not an AVI ("no
  // video stream", "unknown format"...). Empty after a success and for AVI files, whose
  // messages say it all.
  static std::string LastOpenFailure();

  virtual HRESULT Info(AVIFILEINFOW& info) const = 0;

  // The stream of type fccType (0: any type) numbered `index` among those of that type.
  // AVIERR_NODATA when there is none.
  virtual HRESULT GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) = 0;

  // Adds a stream with the given header to a file opened for writing.
  virtual HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA& info) = 0;

  // Whether the sound goes in with the pictures (every container but AVI, whose audio is
  // copied into the finished file after the video).
  virtual bool TakesAudioWithVideo() const { return false; }

  // For such a container: takes the first audio stream of `mainPath`, kept as it is or encoded
  // to what the container's players expect (saying so in one notice), and writes it in time with
  // the video frames. AVIERR_NODATA when the main has no audio; AVIERR_BADFORMAT for sound this
  // container cannot take.
  virtual HRESULT CarryAudioFrom(const std::string& mainPath) {
    (void)mainPath;
    return AVIERR_UNSUPPORTED;
  }

  // After Finish, how the sound taken in went: AVIERR_OK when all of it asked for is in the
  // file; AVIERR_FILEREAD when a read error of the main ended it early, AVIERR_BADFORMAT when
  // damaged packets were left out (each said in a notice by Finish).
  virtual HRESULT CarriedAudioResult() const { return AVIERR_OK; }

  // For such a container: ends the file. With `whole`, the rest of the audio goes in; without,
  // the audio up to the end of the last frame written. Then the index and trailer. A failure to
  // write is returned (AVIERR_FILEWRITE); AVI files end on release instead (AVIERR_UNSUPPORTED).
  virtual HRESULT Finish(bool whole) {
    (void)whole;
    return AVIERR_UNSUPPORTED;
  }

 protected:
  CAviFile() = default;
};

// Whether the file at `path` is an AVI: it starts as RIFF of form 'AVI ' (or is too short to say
// otherwise), whatever its name. Such files are read by our own reader, damaged or not; every
// other file is libavformat's. The one place that decides it.
bool IsAviFile(const std::string& path);

}  // namespace corvane
