// Copying what a mix does not change: frames of the main video on which no layer shows are
// written as the main's own packets instead of being decoded, mixed and encoded again, so they
// keep their quality and cost no encoding. Done when the output is encoded with the main's own
// codec: by default into MP4, QuickTime, Matroska and WebM, into AVI only when asked (an AVI
// output otherwise puts every frame through its compressor). Motion JPEG is copied frame by
// frame; H.264 and VP9 by whole groups of pictures: a group that starts where a decoder can
// start afresh (an IDR picture, a VP9 key frame), holds exactly the pictures it shows, and on
// which no layer shows is copied; the frames between copied groups are encoded in closed runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/avifile.h"
#include "media/codec/compress.h"
#include "media/mux/container.h"
#include "media/videoreader.h"
#include "mix/layerunit.h"

namespace corvane {

// Whether unchanged frames are copied: as the container's default, or as the user said.
enum class ECopyUnchanged { kByContainer, kAlways, kNever };

// Whether a mix into `container` copies when not told otherwise (corvane-mix without --smart):
// into every container but AVI, which puts every frame through its compressor.
bool CopiesByDefault(EContainer container);

// Which main frames a mix copies.
struct CCopyPlan {
  // By main frame, from 0: 1 when copied. A copied frame's turn writes the sample at that place
  // in decoding order: a copied group shows exactly the frames it holds.
  std::vector<uint8_t> m_copied;
  int32_t m_count = 0;        // frames copied
  CEncoderMatch m_match;      // what the frames encoded among them should match
  int m_reorderDepth = 0;     // copied packets are decoded at their place less this
  bool m_closedRuns = false;  // the encoded frames between copied ones form closed runs
  // With closed runs: the decoding places a decoder can start from afresh, rising. Copied
  // groups run from one to the next.
  std::vector<int32_t> m_entries;
  bool Copies() const { return m_count > 0; }
  // For a mix of main frames first..end-1 alone: a copied group that crosses either end is
  // encoded instead. How the encoded frames are coded stays as planned for the whole main.
  void Restrict(int64_t first, int64_t end);
  bool Copied(int64_t frame) const {
    return frame >= 0 && frame < int64_t(m_copied.size()) && m_copied[size_t(frame)] != 0;
  }
};

// The frames of `mainReader`'s stream `main` to copy into an output of `container` encoded as
// `options` say, given the layers laid on; none when the codecs differ, the setting or the
// container leaves copying off, or the main's pictures cannot be copied as they are. When
// copying was asked for explicitly, or the output has the main's codec, and it is not possible,
// it is said once why. With Motion JPEG copied and no quality chosen, `options` gets the main's
// own quantiser for the frames encoded, and the plan its layout. `variableRate`: the main's
// frames keep times of their own. Nothing throws.
CCopyPlan PlanCopying(ECopyUnchanged setting, const CContainerInfo& container, CAviStream& main,
                      const CVideoReader& mainReader, const std::vector<CLayerUnit*>& layers,
                      bool variableRate, AVICOMPRESSOPTIONS& options);

}  // namespace corvane
