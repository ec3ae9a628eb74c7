#include "common/settings_lock.h"

#include "plugin/log_categories.h"

#include <QFileInfo>
#include <QLockFile>
#include <QSettings>

using namespace Qt::StringLiterals;

void SettingsLock::sync(QSettings& settings)
{
    const QString lock = settings.fileName() + u".lock"_s;
    if (QFileInfo::exists(lock) && QLockFile(lock).removeStaleLockFile()) {
        qCDebug(logMain).noquote() << "Removed the lock a stopped process left:" << lock;
    }
    settings.sync();
}
