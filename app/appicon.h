// The program's icon (32 x 32 and 16 x 16 images, and larger), from the built-in resources.
#pragma once

#include <QIcon>

namespace corvane {

QIcon AppIcon();

}  // namespace corvane
