// The containers an output can be: AVI through our own writer, the others through libavformat's
// muxers. The output name's extension chooses; a name without a known one is an AVI, unless the
// front end names a container for it.
#pragma once

#include <string>
#include <vector>

#include "media/codec/compress.h"

namespace corvane {

enum class EContainer { kAvi, kMatroska, kWebm, kMp4, kMov };

struct CContainerInfo {
  EContainer m_kind;
  const char* m_name;         // as --format takes it: "avi", "mkv", "webm", "mp4", "mov"
  const char* m_muxer;        // libavformat's name for it
  const char* m_displayName;  // as the save dialog lists it
  std::vector<std::string> m_extensions;  // lower case, without the dot; the first is added
  const char* m_defaultCodec;             // catalogue name of the default compressor
};

// AVI first, then MP4, Matroska, WebM, QuickTime: the save dialog's order.
const std::vector<CContainerInfo>& Containers();
const CContainerInfo& ContainerInfo(EContainer kind);

// The container a --format name or an extension names ("mkv", "matroska", "m4v"...); null when
// none does. Case is ignored.
const CContainerInfo* ContainerNamed(const std::string& name);
// What an output name says of its container; the one place that reads extensions. The
// extension is what follows the last dot of the file name, unless that dot starts the name
// (".mkv" is a hidden file without one).
struct CNameContainer {
  std::string m_extension;                  // as written, without the dot; empty: none
  const CContainerInfo* m_named = nullptr;  // the container it names; null: none does
  bool Unknown() const { return !m_extension.empty() && !m_named; }  // "out.flv"
};
CNameContainer ContainerOfName(const std::string& path);

// The container `path`'s extension names; null when it has none that names one.
const CContainerInfo* ContainerForPath(const std::string& path);
// The container an output at `path` is written as: by its extension, else `chosen` (the front
// end's choice for a name without one), else AVI.
const CContainerInfo& OutputContainer(const std::string& path,
                                      const CContainerInfo* chosen = nullptr);

// Whether `container` can hold what `compressor` writes. AVI takes every compressor it took
// before the other containers came (not VP9 or AV1); the others take what their muxer accepts
// as standard (MOV not VP9 or AV1), never full frames.
bool CompressorFits(const CCompressorInfo& compressor, const CContainerInfo& container);

// "avi mkv mp4" for the --list-codecs column: the containers the compressor fits.
std::string FittingContainers(const CCompressorInfo& compressor);

}  // namespace corvane
