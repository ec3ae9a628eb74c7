#include "notification/notification_settings.h"

#include "platform/gsettings_binding.h"

using namespace Qt::StringLiterals;

namespace {
const QByteArray kGnomeSchema = "org.gnome.desktop.notifications.application";
} // namespace

QString NotificationSettings::desktopEntry()
{
    return u"com.quorin.MsgNotification"_s;
}

QByteArray NotificationSettings::gnomeSettingsPath()
{
    // GNOME's id of an entry: lower case, every character but a-z and 0-9 a '-'.
    QByteArray id = desktopEntry().toLower().toLatin1();
    for (char& c : id) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
            c = '-';
        }
    }
    return "/org/gnome/desktop/notifications/application/" + id + '/';
}

bool NotificationSettings::shownByDesktop()
{
    // Read afresh each time: the user may flip it between two cycles.
    if (!GSettingsBinding::isInstalled(kGnomeSchema)) {
        return true;
    }
    const GSettingsBinding gnome(kGnomeSchema, gnomeSettingsPath());
    const QVariant enable = gnome.value(u"enable"_s);
    return !enable.isValid() || enable.toBool();
}
