#include "preview/mixengine.h"

#include "media/errortext.h"
#include "media/host.h"

namespace corvane {

CMixEngine::~CMixEngine() {
  m_topPicture.Reset();
  m_mainPicture.Reset();
}

void CMixEngine::OpenPreview(const std::string& path, CPreviewPicture* picture) {
  if (!picture) return;

  PAVIFILE file;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, file) != AVIERR_OK || !file) {
    // The picture keeps what it had: frame, size and path.
    ShowMessage(UnableToOpenText(path), MB_ICONINFORMATION);
    return;
  }
  AVIFILEINFOW info{};
  file->Info(info);  // only the size is used; a failed read leaves it 0 x 0

  // From here on the picture names the new file, whether or not its frame can be had, so
  // that a mix sees the source as specified.
  picture->Reset();
  picture->m_width = static_cast<int32_t>(info.dwWidth);
  picture->m_height = static_cast<int32_t>(info.dwHeight);
  picture->m_path = path;

  PAVISTREAM stream;
  if (file->GetStream(stream, streamtypeVIDEO, 0) != AVIERR_OK || !stream) {
    ShowMessage("Cannot get AVI file video stream number as stream number 0", MB_ICONINFORMATION);
    return;
  }
  picture->CaptureFirstFrame(stream);
  // The stream goes before its file; the decoder keeps what it needs of both.
  stream.reset();
  file.reset();
}

CMixEngine& MixEngine() {
  static CMixEngine engine;
  return engine;
}

}  // namespace corvane
