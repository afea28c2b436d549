// The engine's mix jobs and audio copy: the work itself lives in mix/ and media/; the engine
// supplies the two pictures' files.
#include "media/audiocopy.h"
#include "mix/mixjob.h"
#include "preview/mixengine.h"

namespace corvane {

void CMixEngine::MixColourKey(const std::string& output, uint8_t red, uint8_t green, uint8_t blue,
                              int32_t top, int32_t left, uint8_t loop, bool layerAlpha) {
  corvane::MixColourKey(m_mainPicture.m_path, m_topPicture.m_path, output, red, green, blue, top,
                        left, loop, layerAlpha);
}

void CMixEngine::MixAlpha(const std::string& output, uint8_t red, uint8_t green, uint8_t blue,
                          int32_t top, int32_t left, uint8_t useTransparency, uint8_t loop,
                          double alpha, bool layerAlpha) {
  corvane::MixAlpha(m_mainPicture.m_path, m_topPicture.m_path, output, red, green, blue, top, left,
                    useTransparency, loop, alpha, layerAlpha);
}

void CMixEngine::CopyAudioTrack(const std::string& output) {
  corvane::CopyAudioTrack(m_mainPicture.m_path, output);
}

}  // namespace corvane
