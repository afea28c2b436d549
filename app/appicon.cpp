#include "app/appicon.h"

// The resources live in a static library: register them before the first use.
static void InitCorvaneResources() {
  Q_INIT_RESOURCE(corvane);
}

namespace corvane {

QIcon AppIcon() {
  static const bool registered = (InitCorvaneResources(), true);
  (void)registered;
  QIcon icon;
  for (const int size : {16, 32, 48, 256})
    icon.addFile(QStringLiteral(":/corvane/corvane-%1.png").arg(size), QSize(size, size));
  return icon;
}

}  // namespace corvane
