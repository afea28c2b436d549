// What the desktop program remembers between runs: the last folder a file was chosen in, the
// dialog's settings and the last compressor per output container. Kept with QSettings under
// "Corvane/Corvane" (on Linux ~/.config/Corvane/Corvane.conf).
//
// Off until EnableStoredSettings(true): the program turns it on at start-up; tests start from
// the built-in values unless they turn it on themselves (with their own settings folder).
#pragma once

#include <QString>
#include <QVariant>
#include <optional>

#include "media/avidefs.h"
#include "media/mux/container.h"

namespace corvane {

void EnableStoredSettings(bool enabled);
bool StoredSettingsEnabled();

// A remembered value; a null QVariant when nothing was stored or storing is off.
QVariant StoredValue(const QString& key);
void StoreValue(const QString& key, const QVariant& value);

// The folder of the last file chosen, opened or dropped; empty when none.
QString StoredFolder();
void StoreFolderOf(const QString& file);

// The last compression chosen for `container`, when one was stored.
std::optional<AVICOMPRESSOPTIONS> StoredCompression(EContainer container);
void StoreCompression(EContainer container, const AVICOMPRESSOPTIONS& options);

}  // namespace corvane
