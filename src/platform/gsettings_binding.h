#pragma once

#include <QObject>
#include <QStringList>
#include <QVariant>

typedef struct _GSettings GSettings;

// A GSettings schema as a Qt object. Keys are named in lowerCamelCase ("use-authentication" is
// "useAuthentication"); valueChanged is emitted in the owner's thread, from GLib's main context
// that Qt's event loop runs. A schema that is not installed gives a binding without keys.
class GSettingsBinding : public QObject
{
    Q_OBJECT

public:
    GSettingsBinding(const QByteArray& schemaId, const QByteArray& path = QByteArray(),
                     QObject* parent = nullptr);
    ~GSettingsBinding() override;

    // Whether the schema is installed, asked without a warning where it is not.
    static bool isInstalled(const QByteArray& schemaId);

    bool isValid() const { return m_settings != nullptr; }
    QStringList keys() const;
    // The key's current value; invalid for a key the schema does not have.
    QVariant value(const QString& key) const;

    static QString toCamelCase(const QString& dashed);
    static QString toDashed(const QString& camelCase);

Q_SIGNALS:
    void valueChanged(const QString& key, const QVariant& value);

private:
    static void onChanged(GSettings* settings, const char* key, void* self);

    GSettings* m_settings = nullptr;
    QStringList m_keys;
    unsigned long m_handler = 0;
};
