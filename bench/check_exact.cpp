// check-exact MAIN TOP OUT LEFT TOP R G B
//
// Checks a colour-key mix with an uncompressed output independently of the engine: decodes
// the main video, the (looped) top layer and the output with the ffmpeg CLI to top-down bgr24,
// composes the expected frame with the plain rule (top pixels equal to the key let the main
// through, others replace it; the top layer clipped to the picture), and compares every pixel.
// Exit status 0 when every frame matches.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct CPipe {
  FILE* m_file = nullptr;
  explicit CPipe(const std::string& command) : m_file(popen(command.c_str(), "r")) {}
  ~CPipe() {
    if (m_file) pclose(m_file);
  }
  bool Read(std::vector<unsigned char>& frame) {
    return m_file && std::fread(frame.data(), 1, frame.size(), m_file) == frame.size();
  }
};

bool ProbeSize(const std::string& path, int& width, int& height) {
  const std::string command =
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=width,height -of csv=p=0 '" +
      path + "'";
  CPipe pipe(command);
  return pipe.m_file && std::fscanf(pipe.m_file, "%d,%d", &width, &height) == 2;
}

// The looped top layer never ends: its decoder is cut off when the check closes the pipe, and
// its complaints about that (broken pipe) are not findings, so they are not shown.
std::string Decode(const std::string& path, bool loop) {
  return std::string("ffmpeg -v error ") + (loop ? "-stream_loop -1 " : "") + "-i '" + path +
         "' -map 0:v:0 -f rawvideo -pix_fmt bgr24 -" + (loop ? " 2>/dev/null" : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: check-exact MAIN TOP OUT LEFT TOP R G B\n");
    return 2;
  }
  const std::string mainPath = argv[1], topPath = argv[2], outPath = argv[3];
  const int left = std::atoi(argv[4]), top = std::atoi(argv[5]);
  const unsigned char keyRed = std::atoi(argv[6]), keyGreen = std::atoi(argv[7]),
                      keyBlue = std::atoi(argv[8]);
  int mainWidth, mainHeight, topWidth, topHeight, outWidth, outHeight;
  if (!ProbeSize(mainPath, mainWidth, mainHeight) || !ProbeSize(topPath, topWidth, topHeight) ||
      !ProbeSize(outPath, outWidth, outHeight)) {
    std::fprintf(stderr, "check-exact: cannot probe the inputs\n");
    return 2;
  }
  if (outWidth != mainWidth || outHeight != mainHeight) {
    std::fprintf(stderr, "check-exact: output is %dx%d, main is %dx%d\n", outWidth, outHeight,
                 mainWidth, mainHeight);
    return 1;
  }
  CPipe mainPipe(Decode(mainPath, false)), topPipe(Decode(topPath, true)),
      outPipe(Decode(outPath, false));
  std::vector<unsigned char> mainFrame(size_t(mainWidth) * mainHeight * 3),
      outFrame(mainFrame.size()), topFrame(size_t(topWidth) * topHeight * 3);
  long frames = 0, badPixels = 0;
  while (mainPipe.Read(mainFrame)) {
    if (!topPipe.Read(topFrame) || !outPipe.Read(outFrame)) {
      std::fprintf(stderr, "check-exact: output or top layer ends early at frame %ld\n", frames);
      return 1;
    }
    for (int y = 0; y < topHeight; ++y) {
      const int my = top + y;
      if (my < 0 || my >= mainHeight) continue;
      for (int x = 0; x < topWidth; ++x) {
        const int mx = left + x;
        if (mx < 0 || mx >= mainWidth) continue;
        const unsigned char* t = &topFrame[(size_t(y) * topWidth + x) * 3];
        if (t[0] == keyBlue && t[1] == keyGreen && t[2] == keyRed) continue;
        unsigned char* m = &mainFrame[(size_t(my) * mainWidth + mx) * 3];
        m[0] = t[0], m[1] = t[1], m[2] = t[2];
      }
    }
    for (size_t i = 0; i < mainFrame.size(); i += 3) {
      if (mainFrame[i] != outFrame[i] || mainFrame[i + 1] != outFrame[i + 1] ||
          mainFrame[i + 2] != outFrame[i + 2])
        ++badPixels;
    }
    ++frames;
  }
  if (outPipe.Read(outFrame)) {
    std::fprintf(stderr, "check-exact: the output has more frames than the main video\n");
    return 1;
  }
  std::printf("check-exact: %ld frames, %ld pixels differ\n", frames, badPixels);
  return frames > 0 && badPixels == 0 ? 0 : 1;
}
