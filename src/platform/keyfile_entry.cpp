#include "platform/keyfile_entry.h"

#include <glib.h>

KeyfileEntry::KeyfileEntry(const QString& path)
    : m_keyFile(g_key_file_new())
{
    GError* error = nullptr;
    // Without KEEP_TRANSLATIONS GLib drops every key[locale] but the current locale's.
    if (g_key_file_load_from_file(m_keyFile, path.toLocal8Bit().constData(),
                                  G_KEY_FILE_KEEP_TRANSLATIONS, &error)) {
        m_status = Success;
        return;
    }
    if (error->domain == G_FILE_ERROR && error->code == G_FILE_ERROR_NOENT) {
        m_status = FileNotFound;
    } else if (error->domain == G_FILE_ERROR && error->code == G_FILE_ERROR_ACCES) {
        m_status = PermissionDenied;
    } else if (error->domain == G_KEY_FILE_ERROR) {
        m_status = ParseError;
    } else {
        m_status = ReadError;
    }
    g_error_free(error);
}

KeyfileEntry::~KeyfileEntry()
{
    g_key_file_free(m_keyFile);
}

QString KeyfileEntry::value(const QString& key, const QString& group,
                            const QString& defaultValue) const
{
    if (m_status != Success) {
        return defaultValue;
    }
    gchar* text = g_key_file_get_string(m_keyFile, group.toUtf8().constData(),
                                        key.toUtf8().constData(), nullptr);
    if (!text) {
        return defaultValue;
    }
    const QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}
