#include "plugin/plugin.h"

#include "dbus/dbus_interface.h"
#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace {
const QString kProjectName = u"quorin-msg-notification"_s;

DBusInterface* s_service = nullptr;
QTranslator* s_translator = nullptr;

// Off the bus at once, released later: the host may register again before its event loop turns.
void releaseService()
{
    if (s_service) {
        s_service->unregisterDBus();
        s_service->deleteLater();
        s_service = nullptr;
    }
    if (s_translator) {
        QCoreApplication::removeTranslator(s_translator);
        s_translator->deleteLater();
        s_translator = nullptr;
    }
}
} // namespace

// 0 when the object is on the bus, -1 when it could not be registered (logged).
int VXMRegister(const char* name, void* data)
{
    Q_UNUSED(data)
    // A second registration replaces the first rather than leave it behind.
    releaseService();
    s_service = new DBusInterface(name, nullptr);
    if (!s_service->registerDBus()) {
        qCWarning(logMain) << "Register D-Bus failed";
        s_service->deleteLater();
        s_service = nullptr;
        return -1;
    }
    plugin::loadTranslator();
    return 0;
}

int VXMUnRegister(...)
{
    releaseService();
    return 0;
}

namespace plugin {

void loadTranslator()
{
    loadTranslator(QLocale::system().name(), translationsDirectory());
}

void loadTranslator(const QString& localeName, const QString& directory)
{
    s_translator = new QTranslator(nullptr);
    const QString fileName = u"%1_%2.qm"_s.arg(kProjectName, localeName);
    // Null delimiters and suffix keep Qt's defaults ("_." and ".qm") and its fallback from
    // language_TERRITORY to the language and then to the bare stem.
    if (s_translator->load(fileName, directory, QString(), QString())) {
        QCoreApplication::installTranslator(s_translator);
    }
}

QString translationsDirectory()
{
    return u"/usr/share/%1/translations/"_s.arg(kProjectName);
}

DBusInterface* registeredService()
{
    return s_service;
}

QTranslator* translator()
{
    return s_translator;
}

} // namespace plugin
