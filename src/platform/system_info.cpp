#include "platform/system_info.h"

#include "platform/keyfile_entry.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace {
const QString kVersionGroup = u"Version"_s;
} // namespace

SystemInfo::SystemInfo(const QString& osVersionPath, const QString& osReleasePath)
    : m_osVersionPath(osVersionPath)
    , m_osReleasePath(osReleasePath)
{
}

QString SystemInfo::majorVersion() const
{
    const QString value = osVersionValue(u"MajorVersion"_s);
    if (!value.isEmpty()) {
        return value;
    }
    return osReleaseValue(u"VERSION_ID"_s).section(u'.', 0, 0);
}

QString SystemInfo::minorVersion() const
{
    const QString value = osVersionValue(u"MinorVersion"_s);
    if (!value.isEmpty()) {
        return value;
    }
    return osReleaseValue(u"VERSION_ID"_s).section(u'.', 1);
}

QString SystemInfo::editionName(const QLocale& locale) const
{
    const QString value = osVersionValue(u"EditionName"_s, &locale);
    if (!value.isEmpty()) {
        return value;
    }
    return osReleaseValue(u"NAME"_s);
}

QString SystemInfo::osVersionValue(const QString& key, const QLocale* locale) const
{
    const KeyfileEntry file(m_osVersionPath);
    if (file.status() != KeyfileEntry::Success) {
        return QString();
    }
    const QString plain = file.value(key, kVersionGroup);
    if (!locale) {
        return plain;
    }
    // language_TERRITORY first, then the language alone, as desktop entries are looked up.
    const QString name = locale->name();
    QString value = file.value(u"%1[%2]"_s.arg(key, name), kVersionGroup);
    if (value.isEmpty()) {
        value = file.value(u"%1[%2]"_s.arg(key, name.section(u'_', 0, 0)), kVersionGroup);
    }
    return value.isEmpty() ? plain : value;
}

QString SystemInfo::osReleaseValue(const QString& key) const
{
    // Shell-style KEY=value lines, the value optionally quoted.
    QFile file(m_osReleasePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QString();
    }
    const QByteArray prefix = key.toUtf8() + '=';
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.startsWith(prefix)) {
            continue;
        }
        QByteArray value = line.mid(prefix.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
        }
        return QString::fromUtf8(value);
    }
    return QString();
}
