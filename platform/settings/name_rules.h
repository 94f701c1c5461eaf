#pragma once

#include <QString>

namespace platform {

// Whether SettingsStore::nameFault() lets both names through. Every backend
// asks before it touches the store.
bool namesAreUsable(const QString &section, const QString &key);

} // namespace platform
