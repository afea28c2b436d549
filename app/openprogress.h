// Opening a source off the user-interface thread: the scan of a long MP4 or MKV takes seconds,
// and the window must keep drawing meanwhile. Once the opening has taken half a second, a box
// shows how far it has come, and its Cancel stops it.
#pragma once

#include <string>

class QWidget;

namespace corvane {

class CPreviewPicture;
class CQtHost;

// Opens `path` into `loaded` on a thread of its own (see CMixEngine::LoadPreview) while the
// caller's events are served; `owner` takes no input until it is done. Returns what LoadPreview
// returns; false when cancelled.
bool LoadPreviewOffUiThread(QWidget& owner, CQtHost& host, const std::string& path,
                            CPreviewPicture& loaded, bool withAlpha);

}  // namespace corvane
