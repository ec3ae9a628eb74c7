#pragma once

#include <QString>

class QNetworkRequest;

class Utils
{
public:
    // The authorisation token and the machine's description that every request to the message
    // server carries, recomputed on each call.
    static void initRequestHeadersWithSystemInfo(QNetworkRequest& request,
                                                 const QString& osVersionPath = osVersionFile(),
                                                 const QString& osReleasePath = osReleaseFile());
    // The English-localised OsBuild of the [Version] group, else the plain one, else empty.
    static QString systemOsBuild(const QString& osVersionPath = osVersionFile());

    static QString osVersionFile() { return QStringLiteral("/etc/os-version"); }
    static QString osReleaseFile() { return QStringLiteral("/etc/os-release"); }

    Utils() = delete;
};
