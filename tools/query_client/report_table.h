#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The readable form of a StoreReport: tables that fit an 80-column terminal, whatever the store
// put in its texts.
class ReportTable
{
public:
    static QString messages(const QJsonArray& messages);
    static QString events(const QJsonArray& events);
    static QString status(const QJsonObject& status);

    // The text as one line of at most `width` terminal columns: controls and line breaks become
    // blanks, invisible format characters go, and a cut is marked with an ellipsis. Padded with
    // blanks to `width` when `pad` is set.
    static QString fitted(const QString& text, int width, bool pad = true);

    ReportTable() = delete;
};
