#include "app/storedsettings.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <atomic>

namespace corvane {
namespace {

std::atomic<bool> g_enabled{false};

QSettings Store() {
  return QSettings(QStringLiteral("Corvane"), QStringLiteral("Corvane"));
}

QString CompressionKey(EContainer container) {
  return QStringLiteral("compression/%1").arg(static_cast<int>(container));
}

}  // namespace

void EnableStoredSettings(bool enabled) {
  g_enabled.store(enabled);
}

bool StoredSettingsEnabled() {
  return g_enabled.load();
}

QVariant StoredValue(const QString& key) {
  if (!g_enabled.load()) return QVariant();
  return Store().value(key);
}

void StoreValue(const QString& key, const QVariant& value) {
  if (g_enabled.load()) Store().setValue(key, value);
}

QString StoredFolder() {
  return StoredValue(QStringLiteral("lastFolder")).toString();
}

void StoreFolderOf(const QString& file) {
  StoreValue(QStringLiteral("lastFolder"), QFileInfo(file).absolutePath());
}

std::optional<AVICOMPRESSOPTIONS> StoredCompression(EContainer container) {
  // handler, quality, key frames, bytes per second, flags: the fields the dialog sets.
  const QStringList fields = StoredValue(CompressionKey(container)).toStringList();
  if (fields.size() != 5) return std::nullopt;
  AVICOMPRESSOPTIONS options{};
  bool ok[5] = {};
  options.fccType = streamtypeVIDEO;
  options.fccHandler = fields[0].toUInt(&ok[0]);
  options.dwQuality = fields[1].toUInt(&ok[1]);
  options.dwKeyFrameEvery = fields[2].toUInt(&ok[2]);
  options.dwBytesPerSecond = fields[3].toUInt(&ok[3]);
  options.dwFlags = fields[4].toUInt(&ok[4]);
  for (const bool read : ok) {
    if (!read) return std::nullopt;
  }
  return options;
}

void StoreCompression(EContainer container, const AVICOMPRESSOPTIONS& options) {
  StoreValue(
      CompressionKey(container),
      QStringList{QString::number(options.fccHandler), QString::number(options.dwQuality),
                  QString::number(options.dwKeyFrameEvery),
                  QString::number(options.dwBytesPerSecond), QString::number(options.dwFlags)});
}

}  // namespace corvane
