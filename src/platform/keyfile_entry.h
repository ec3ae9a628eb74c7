#pragma once

#include <QObject>
#include <QString>

typedef struct _GKeyFile GKeyFile;

// Reads a key-file in desktop-entry syntax ([Group], key=value, localised keys as key[locale]).
class KeyfileEntry
{
    Q_GADGET

public:
    enum Status {
        Success = 0,
        FileNotFound,
        PermissionDenied,
        ParseError,
        ReadError,
    };
    Q_ENUM(Status)

    explicit KeyfileEntry(const QString& path);
    ~KeyfileEntry();
    KeyfileEntry(const KeyfileEntry&) = delete;
    KeyfileEntry& operator=(const KeyfileEntry&) = delete;

    Status status() const { return m_status; }
    // The key's string (a localised key is named in full, e.g. "Name[de]"), or the default when
    // the file, the group or the key is missing.
    QString value(const QString& key, const QString& group,
                  const QString& defaultValue = QString()) const;

private:
    GKeyFile* m_keyFile = nullptr;
    Status m_status = ReadError;
};
