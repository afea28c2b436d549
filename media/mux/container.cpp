#include "media/mux/container.h"

#include <algorithm>
#include <cctype>

#include "media/codec/codecutil.h"
#include "media/host.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

const std::vector<CContainerInfo>& Containers() {
  static const std::vector<CContainerInfo> containers = {
      {EContainer::kAvi, "avi", "avi", "AVI", {"avi"}, "ffv1"},
      {EContainer::kMp4, "mp4", "mp4", "MP4", {"mp4", "m4v"}, "h264"},
      {EContainer::kMatroska, "mkv", "matroska", "Matroska", {"mkv"}, "ffv1"},
      {EContainer::kWebm, "webm", "webm", "WebM", {"webm"}, "vp9"},
      {EContainer::kMov, "mov", "mov", "QuickTime", {"mov"}, "h264"},
  };
  return containers;
}

const CContainerInfo& ContainerInfo(EContainer kind) {
  for (const CContainerInfo& info : Containers()) {
    if (info.m_kind == kind) return info;
  }
  return Containers().front();
}

const CContainerInfo* ContainerNamed(const std::string& name) {
  const std::string wanted = Lower(name);
  for (const CContainerInfo& info : Containers()) {
    if (wanted == info.m_name || wanted == info.m_muxer ||
        std::find(info.m_extensions.begin(), info.m_extensions.end(), wanted) !=
            info.m_extensions.end())
      return &info;
  }
  return nullptr;
}

CNameContainer ContainerOfName(const std::string& path) {
  CNameContainer result;
  const size_t slash = path.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot <= nameStart) return result;
  result.m_extension = path.substr(dot + 1);
  const std::string extension = Lower(result.m_extension);
  for (const CContainerInfo& info : Containers()) {
    if (std::find(info.m_extensions.begin(), info.m_extensions.end(), extension) !=
        info.m_extensions.end())
      result.m_named = &info;
  }
  return result;
}

const CContainerInfo* ContainerForPath(const std::string& path) {
  return ContainerOfName(path).m_named;
}

const CContainerInfo& OutputContainer(const std::string& path, const CContainerInfo* chosen) {
  if (const CContainerInfo* named = ContainerForPath(path)) return *named;
  return chosen ? *chosen : Containers().front();
}

bool CompressorFits(const CCompressorInfo& compressor, const CContainerInfo& container) {
  // VP9 and AV1: not in AVI, nor in MOV, whose writer takes them only as MP4 (its codec table,
  // which it shares with MP4, says otherwise).
  if (container.m_kind == EContainer::kAvi || container.m_kind == EContainer::kMov)
    if (compressor.m_name == "vp9" || compressor.m_name == "av1") return false;
  if (container.m_kind == EContainer::kAvi) return true;
  if (compressor.m_fourCC == 0) return false;
  const AVOutputFormat* muxer = av_guess_format(container.m_muxer, nullptr, nullptr);
  const AVCodecID codec = VideoCodecForFourCC(compressor.m_fourCC, 0);
  return muxer && codec != AV_CODEC_ID_NONE &&
         avformat_query_codec(muxer, codec, FF_COMPLIANCE_NORMAL) == 1;
}

std::string FittingContainers(const CCompressorInfo& compressor) {
  std::string list;
  for (const CContainerInfo& info : Containers()) {
    if (!CompressorFits(compressor, info)) continue;
    if (!list.empty()) list += ' ';
    list += info.m_name;
  }
  return list;
}

}  // namespace corvane
