#include "platform/gsettings_binding.h"

#include "plugin/log_categories.h"

#include <gio/gio.h>

namespace {

QVariant toQVariant(GVariant* value)
{
    if (!value) {
        return QVariant();
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
        return bool(g_variant_get_boolean(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
        g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)) {
        return QString::fromUtf8(g_variant_get_string(value, nullptr));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
        return int(g_variant_get_int32(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
        return uint(g_variant_get_uint32(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT16)) {
        return int(g_variant_get_int16(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT16)) {
        return uint(g_variant_get_uint16(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BYTE)) {
        return uint(g_variant_get_byte(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64)) {
        return qlonglong(g_variant_get_int64(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT64)) {
        return qulonglong(g_variant_get_uint64(value));
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE)) {
        return g_variant_get_double(value);
    }
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
        QStringList list;
        gsize count = 0;
        const gchar** strings = g_variant_get_strv(value, &count);
        for (gsize i = 0; i < count; ++i) {
            list.append(QString::fromUtf8(strings[i]));
        }
        g_free(strings);
        return list;
    }
    // Anything else in GVariant's own text form.
    gchar* text = g_variant_print(value, FALSE);
    const QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

} // namespace

GSettingsBinding::GSettingsBinding(const QByteArray& schemaId, const QByteArray& path,
                                   QObject* parent)
    : QObject(parent)
{
    // GIO aborts the process on an unknown schema id, so look it up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, schemaId.constData(), TRUE) : nullptr;
    if (!schema) {
        qCWarning(logMain).noquote() << "GSettings schema" << schemaId << "is not installed";
        return;
    }
    m_settings = g_settings_new_full(schema, nullptr, path.isEmpty() ? nullptr : path.constData());
    gchar** keys = g_settings_schema_list_keys(schema);
    for (gchar** key = keys; key && *key; ++key) {
        m_keys.append(toCamelCase(QString::fromUtf8(*key)));
    }
    g_strfreev(keys);
    g_settings_schema_unref(schema);
    m_handler =
        g_signal_connect(m_settings, "changed", G_CALLBACK(&GSettingsBinding::onChanged), this);
}

bool GSettingsBinding::isInstalled(const QByteArray& schemaId)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, schemaId.constData(), TRUE) : nullptr;
    if (schema) {
        g_settings_schema_unref(schema);
    }
    return schema != nullptr;
}

GSettingsBinding::~GSettingsBinding()
{
    if (m_settings) {
        g_signal_handler_disconnect(m_settings, m_handler);
        g_object_unref(m_settings);
    }
}

QStringList GSettingsBinding::keys() const
{
    return m_keys;
}

QVariant GSettingsBinding::value(const QString& key) const
{
    if (!m_settings || !m_keys.contains(key)) {
        return QVariant();
    }
    GVariant* value = g_settings_get_value(m_settings, toDashed(key).toUtf8().constData());
    const QVariant result = toQVariant(value);
    g_variant_unref(value);
    return result;
}

void GSettingsBinding::onChanged(GSettings*, const char* key, void* self)
{
    auto* binding = static_cast<GSettingsBinding*>(self);
    const QString name = toCamelCase(QString::fromUtf8(key));
    Q_EMIT binding->valueChanged(name, binding->value(name));
}

QString GSettingsBinding::toCamelCase(const QString& dashed)
{
    QString result;
    result.reserve(dashed.size());
    bool upper = false;
    for (const QChar c : dashed) {
        if (c == u'-' || c == u'_') {
            upper = true;
            continue;
        }
        result.append(upper ? c.toUpper() : c);
        upper = false;
    }
    return result;
}

QString GSettingsBinding::toDashed(const QString& camelCase)
{
    QString result;
    result.reserve(camelCase.size() + 4);
    for (const QChar c : camelCase) {
        if (c.isUpper()) {
            result.append(u'-');
            result.append(c.toLower());
        } else {
            result.append(c);
        }
    }
    return result;
}
