#include "app/copychoice.h"

#include <QString>
#include <map>
#include <mutex>

#include "app/storedsettings.h"

namespace corvane {
namespace {

std::mutex g_lock;
std::map<EContainer, bool> g_last;  // guarded by g_lock

QString CopyKey(EContainer container) {
  return QStringLiteral("copyUnchanged/%1").arg(static_cast<int>(container));
}

}  // namespace

bool CopyChoice(EContainer container) {
  {
    std::lock_guard lock(g_lock);
    if (const auto last = g_last.find(container); last != g_last.end()) return last->second;
  }
  const QVariant stored = StoredValue(CopyKey(container));
  return stored.isValid() ? stored.toBool() : CopiesByDefault(container);
}

void KeepCopyChoice(EContainer container, bool copy) {
  {
    std::lock_guard lock(g_lock);
    g_last[container] = copy;
  }
  StoreValue(CopyKey(container), copy);
}

ECopyUnchanged CopySetting(EContainer container, bool copy) {
  if (!copy) return ECopyUnchanged::kNever;
  return CopiesByDefault(container) ? ECopyUnchanged::kByContainer : ECopyUnchanged::kAlways;
}

}  // namespace corvane
