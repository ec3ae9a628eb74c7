#pragma once

#include <QLocale>
#include <QString>

// What the system says about its own release.
//
// Read from the [Version] group of /etc/os-version:
//   MajorVersion=20
//   MinorVersion=1070
//   EditionName=Professional        (localised as EditionName[zh_CN]=...)
// Where that file or a key is missing, /etc/os-release gives the value instead: the major and
// minor version are VERSION_ID split at its first ".", the edition name is NAME. Any value may be
// empty.
class SystemInfo
{
public:
    explicit SystemInfo(const QString& osVersionPath = QStringLiteral("/etc/os-version"),
                        const QString& osReleasePath = QStringLiteral("/etc/os-release"));

    QString majorVersion() const;
    QString minorVersion() const;
    // The edition name in the given locale's language, else the unlocalised one.
    QString editionName(const QLocale& locale) const;

private:
    QString osVersionValue(const QString& key, const QLocale* locale = nullptr) const;
    QString osReleaseValue(const QString& key) const;

    QString m_osVersionPath;
    QString m_osReleasePath;
};
