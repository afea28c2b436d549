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

const CContainerInfo* ContainerForPath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  const std::string extension = Lower(path.substr(dot + 1));
  for (const CContainerInfo& info : Containers()) {
    if (std::find(info.m_extensions.begin(), info.m_extensions.end(), extension) !=
        info.m_extensions.end())
      return &info;
  }
  return nullptr;
}

const CContainerInfo& OutputContainer(const std::string& path) {
  if (const CContainerInfo* named = ContainerForPath(path)) return *named;
  const int32_t chosen = EngineState().m_outputContainer.load();
  const std::vector<CContainerInfo>& all = Containers();
  return chosen >= 0 && chosen < static_cast<int32_t>(all.size()) ? all[static_cast<size_t>(chosen)]
                                                                  : all.front();
}

bool CompressorFits(const CCompressorInfo& compressor, const CContainerInfo& container) {
  if (container.m_kind == EContainer::kAvi)
    return compressor.m_name != "vp9" && compressor.m_name != "av1";
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
