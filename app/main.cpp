// The desktop program: the process-wide engine first, then the main dialog and Qt's event
// loop until the dialog ends it. The program's own command line is ignored.
#include <QApplication>

#include "app/appicon.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "app/storedsettings.h"
#include "preview/mixengine.h"

int main(int argc, char* argv[]) {
  // The engine with its two empty pictures and the mixer lock exist before anything else.
  corvane::MixEngine();
  corvane::MixerLock();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvane"));
  QApplication::setWindowIcon(corvane::AppIcon());
  // The program remembers the user's settings between runs; the tests' dialogs do not.
  corvane::EnableStoredSettings(true);
  corvane::CMainDialog dialog;
  dialog.show();
  const int code = QApplication::exec();
  return code;
}
