#pragma once

#include <QString>
#include <QtGlobal>

class DBusInterface;
class QTranslator;

extern "C" {
// Exported entry points of the plug-in; the host calls both on a thread running a Qt event loop.
Q_DECL_EXPORT int VXMRegister(const char* name, void* data);
Q_DECL_EXPORT int VXMUnRegister(...);
}

namespace plugin {

// Installs the catalogue for the system locale from the installed translations directory.
void loadTranslator();
// Same, with the locale name and directory given (tests use their own).
void loadTranslator(const QString& localeName, const QString& directory);
QString translationsDirectory();

// What the plug-in holds right now; null when nothing is registered.
DBusInterface* registeredService();
QTranslator* translator();

} // namespace plugin
