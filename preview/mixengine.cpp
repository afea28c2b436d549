#include "preview/mixengine.h"

#include "media/errortext.h"
#include "media/host.h"

namespace corvane {

CMixEngine::~CMixEngine() {
  m_composite.Close();
  m_topPicture.Reset();
  m_mainPicture.Reset();
}

void CMixEngine::OpenPreview(const std::string& path, CPreviewPicture* picture) {
  if (!picture) return;
  CPreviewPicture loaded;
  // The picture keeps what it had (frame, size and path) when the file does not open.
  if (LoadPreview(path, loaded, picture == &m_topPicture)) {
    picture->TakeFrom(loaded);
    SourcesChanged();
  }
}

bool CMixEngine::LoadPreview(const std::string& path, CPreviewPicture& loaded, bool withAlpha) {
  PAVIFILE file;
  const HRESULT opened = CAviFile::Open(path, OF_SHARE_DENY_WRITE, file);
  if (opened != AVIERR_OK || !file) {
    // An opening the user cancelled needs no word.
    if (opened != AVIERR_USERABORT) ShowMessage(UnableToOpenText(path), MB_ICONINFORMATION);
    return false;
  }
  AVIFILEINFOW info{};
  file->Info(info);  // only the size is used; a failed read leaves it 0 x 0

  // From here on the picture names the new file, whether or not its frame can be had, so
  // that a mix sees the source as specified.
  loaded.Reset();
  loaded.m_width = static_cast<int32_t>(info.dwWidth);
  loaded.m_height = static_cast<int32_t>(info.dwHeight);
  loaded.m_path = path;

  PAVISTREAM stream;
  if (file->GetStream(stream, streamtypeVIDEO, 0) != AVIERR_OK || !stream) {
    ShowMessage("Cannot get AVI file video stream number as stream number 0", MB_ICONINFORMATION);
    return true;
  }
  loaded.CaptureFirstFrame(stream);
  if (withAlpha) loaded.CaptureAlpha(stream);
  loaded.m_isAvi = IsAviFile(path);
  // The stream stays, for the composite preview; it keeps its file open.
  loaded.m_stream = std::move(stream);
  return true;
}

bool CMixEngine::OpenComposite() {
  if (m_compositeOpen) return m_composite.IsOpen();
  m_compositeOpen = true;
  if (!m_mainPicture.m_stream) return false;
  return m_composite.Open(m_mainPicture.m_stream, m_topPicture.m_stream);
}

void CMixEngine::SourcesChanged() {
  m_composite.Close();
  m_compositeOpen = false;
}

CMixEngine& MixEngine() {
  static CMixEngine engine;
  return engine;
}

}  // namespace corvane
