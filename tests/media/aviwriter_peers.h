// What the peers (ffmpeg, ffprobe, gst-discoverer, mediainfo) make of a written file.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace corvane::test {

// ffmpeg's packet lines for one stream (dts, pts, duration, size, md5), headers left out.
inline std::vector<std::string> PacketLines(const std::string& path, int stream) {
  const auto result = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                 " -map 0:" + std::to_string(stream) + " -c copy -f framemd5 -");
  std::vector<std::string> lines;
  std::istringstream text(result.m_output);
  for (std::string line; std::getline(text, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

inline std::string Probe(const std::string& path, const std::string& args) {
  return RunCommand("ffprobe -v error " + args + " -of csv=p=0 " + ShellQuote(path)).m_output;
}

inline int StreamCount(const std::string& path) {
  return std::atoi(Probe(path, "-show_entries format=nb_streams").c_str());
}

inline std::string MediaInfoCounts(const std::string& path) {
  return RunCommand("mediainfo --Inform='General;%VideoCount%|%AudioCount%' " + ShellQuote(path))
      .m_output;
}

inline int GstStreams(const std::string& path) {
  const auto result = RunCommand("gst-discoverer-1.0 -t 120 " + ShellQuote(path));
  if (result.m_exitCode != 0) return -1;
  int streams = 0;
  std::istringstream text(result.m_output);
  for (std::string line; std::getline(text, line);)
    if (line.find("    video #") == 0 || line.find("    audio #") == 0) ++streams;
  return streams;
}

inline CCommandResult Copy(const std::string& in, const std::string& out) {
  return RunCommand(ShellQuote(BuiltProgram("cli/corvane-avi")) + " copy " + ShellQuote(in) + " " +
                    ShellQuote(out));
}

}  // namespace corvane::test
