// Mix thread control from the main dialog: the mix commands, Stop and the close request.
//
// The worker thread that runs a mix job is not wired in yet: the two mix commands start
// nothing and report -1, and Stop has nothing to stop. Closing ends the program.
#include "app/mixcontrol.h"

#include <QCoreApplication>

#include "app/maindialog.h"

namespace corvane {

std::mutex& MixerLock() {
  static std::mutex lock;
  return lock;
}

int CMainDialog::OnMix() {
  return -1;
}

int CMainDialog::OnAlphaMix() {
  return -1;
}

int CMainDialog::OnStop() {
  return 0;
}

void CMainDialog::OnClose() {
  DestroyWindow();
  QCoreApplication::exit(0);
}

}  // namespace corvane
