#pragma once

#include "loopback_daemon.h"

#include <QStringList>

// tinyproxy as a forward proxy on loopback, for clients on this machine only.
class TinyProxy : public LoopbackDaemon
{
public:
    TinyProxy();

    // "http://127.0.0.1:<port>", as https_proxy gives it.
    QString url() const;
    // The tunnels clients asked for so far (CONNECT), as "host:port", oldest first.
    QStringList tunnels() const;
};
