#pragma once

#include <QByteArray>
#include <QString>

// What the desktop's own notification settings say of the store's messages. Desktops tie a
// notification to an application through the sender's desktop entry (the "desktop-entry" hint);
// GNOME keeps its per-application switch in GSettings under the entry's id. Where the desktop has
// no such setting, the messages are shown.
class NotificationSettings
{
public:
    // The desktop entry the bubbles name, without ".desktop".
    static QString desktopEntry();
    // GNOME's settings of that entry: org.gnome.desktop.notifications.application at this path.
    static QByteArray gnomeSettingsPath();
    // False when the desktop's settings turn the entry's notifications off.
    static bool shownByDesktop();
};
