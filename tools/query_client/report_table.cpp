#include "report_table.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QLocale>

using namespace Qt::StringLiterals;

namespace {

constexpr int kLineWidth = 80;

// Columns a code point takes in a terminal: none for combining marks, two for the wide East
// Asian blocks and emoji, one otherwise.
int columns(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing) {
        return 0;
    }
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

QString timeText(const QJsonValue& isoTime)
{
    if (isoTime.isNull()) {
        return u"-"_s;
    }
    return QDateTime::fromString(isoTime.toString(), Qt::ISODate)
        .toLocalTime()
        .toString(u"yyyy-MM-dd HH:mm"_s);
}

// Characters a terminal would not show as themselves: controls, line and paragraph
// separators, and invisible format characters such as the bidirectional overrides.
bool hidden(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Control || category == QChar::Other_Format ||
           category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
}

// An argument as a shell would need it, so that the line reads as the one command it is. One
// with hidden characters takes bash's $'...' form, in which each of them is an escape.
QString quoted(const QString& argument)
{
    static const QString plain = u"-_./:=@%+,"_s;
    const auto text = argument.toUcs4();
    if (std::any_of(text.cbegin(), text.cend(), hidden)) {
        static const QHash<char32_t, QString> named{
            {U'\a', u"\\a"_s},  {U'\b', u"\\b"_s}, {U'\x1b', u"\\e"_s}, {U'\f', u"\\f"_s},
            {U'\n', u"\\n"_s},  {U'\r', u"\\r"_s}, {U'\t', u"\\t"_s},   {U'\v', u"\\v"_s},
            {U'\\', u"\\\\"_s}, {U'\'', u"\\'"_s}};
        QString escaped;
        for (char32_t c : text) {
            if (named.contains(c)) {
                escaped += named.value(c);
            } else if (!hidden(c)) {
                escaped += QString::fromUcs4(&c, 1);
            } else if (c < 0x80) {
                escaped += u"\\x%1"_s.arg(uint(c), 2, 16, QChar(u'0'));
            } else if (c <= 0xFFFF) {
                escaped += u"\\u%1"_s.arg(uint(c), 4, 16, QChar(u'0'));
            } else {
                escaped += u"\\U%1"_s.arg(uint(c), 8, 16, QChar(u'0'));
            }
        }
        return u"$'%1'"_s.arg(escaped);
    }
    const bool safe =
        !argument.isEmpty() && std::all_of(argument.cbegin(), argument.cend(), [](QChar c) {
            return c.isLetterOrNumber() || plain.contains(c);
        });
    if (safe) {
        return argument;
    }
    QString escaped = argument;
    escaped.replace(u'\'', u"'\\''"_s);
    return u"'%1'"_s.arg(escaped);
}

// The text in lines of at most `width` columns, each after the first starting with `indent`:
// nothing of a command is left out.
QString wrapped(const QString& text, int width, const QString& indent)
{
    QString out;
    int used = 0;
    for (char32_t c : text.toUcs4()) {
        if (used + columns(c) > width) {
            out += u'\n' + indent;
            used = 0;
        }
        out += QString::fromUcs4(&c, 1);
        used += columns(c);
    }
    return out;
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1);
}

// Paths under the home folder as a shell user writes them, so that most lines fit.
QString homeShortened(const QString& path)
{
    const QString home = QDir::homePath();
    if (home.size() > 1 && path.startsWith(home + u'/')) {
        return u'~' + path.mid(home.size());
    }
    return path;
}

} // namespace

QString ReportTable::fitted(const QString& text, int width, bool pad)
{
    QString line;
    int used = 0;
    bool cut = false;
    for (char32_t c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Format) {
            continue;
        }
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph) {
            c = u' ';
        }
        const int needed = columns(c);
        if (used + needed > width) {
            cut = true;
            break;
        }
        line += QString::fromUcs4(&c, 1);
        used += needed;
    }
    if (cut) {
        // Give back characters until the ellipsis fits.
        while (used + 1 > width && !line.isEmpty()) {
            const char32_t last = line.toUcs4().constLast();
            used -= columns(last);
            line.chop(QChar::requiresSurrogates(last) ? 2 : 1);
        }
        line += u'…';
        ++used;
    }
    if (pad) {
        line += QString(qMax(0, width - used), u' ');
    }
    return line;
}

QString ReportTable::messages(const QJsonArray& messages)
{
    QString out = u"Stored messages: %1, newest first\n"_s.arg(messages.size());
    if (messages.isEmpty()) {
        return out;
    }
    out += u"    ID  %1  SHOWN  READ  %2  IMAGE\n"_s.arg(fitted(u"TITLE"_s, 30),
                                                         fitted(u"EXPIRES"_s, 16));
    for (const QJsonValue& value : messages) {
        const QJsonObject message = value.toObject();
        const QString shown = u"%1/%2"_s.arg(message.value("shown"_L1).toInt())
                                  .arg(message.value("maxShown"_L1).toInt());
        const QString expires = message.value("expired"_L1).toBool()
                                    ? u"expired"_s
                                    : timeText(message.value("expires"_L1));
        out += u"%1  %2  %3  %4  %5  %6\n"_s.arg(message.value("id"_L1).toInt(), 6)
                   .arg(fitted(message.value("title"_L1).toString(), 30), fitted(shown, 5),
                        fitted(message.value("read"_L1).toBool() ? u"yes"_s : u"no"_s, 4),
                        fitted(expires, 16), message.value("image"_L1).toString());
        QString effect = message.value("onClick"_L1).toString();
        QStringList command;
        for (const QJsonValue& argument : message.value("command"_L1).toArray()) {
            command.append(quoted(argument.toString()));
        }
        if (effect.startsWith("left to"_L1) && !command.isEmpty()) {
            effect += u", which runs "_s + command.join(u' ');
        }
        const QString onClick = u"        on click: "_s;
        out += onClick +
               wrapped(effect, kLineWidth - int(onClick.size()), QString(onClick.size(), u' ')) +
               u'\n';
    }
    return out;
}

QString ReportTable::events(const QJsonArray& events)
{
    QString out = u"Events waiting for upload: %1, oldest first\n"_s.arg(events.size());
    if (events.isEmpty()) {
        return out;
    }
    out += u"MESSAGE  KIND      TIME              FAILED UPLOADS\n"_s;
    for (const QJsonValue& value : events) {
        const QJsonObject event = value.toObject();
        out += u"%1  %2  %3  %4\n"_s.arg(event.value("messageId"_L1).toInt(), 7)
                   .arg(fitted(event.value("kind"_L1).toString(), 8),
                        fitted(timeText(event.value("time"_L1)), 16))
                   .arg(event.value("failedUploads"_L1).toInt());
    }
    return out;
}

QString ReportTable::status(const QJsonObject& status)
{
    const QJsonObject database = status.value("database"_L1).toObject();
    const QJsonObject images = status.value("imageCache"_L1).toObject();
    const QJsonObject service = status.value("service"_L1).toObject();

    // The next fetch asks for what changed since: as the server will read it.
    QString lastFetch = u"never"_s;
    if (status.value("lastModified"_L1).toInteger() > 0) {
        lastFetch = status.value("lastFetch"_L1).isNull()
                        ? u"stamp %1"_s.arg(status.value("lastModified"_L1).toInteger())
                        : u"%1 (stamp %2)"_s.arg(timeText(status.value("lastFetch"_L1)))
                              .arg(status.value("lastModified"_L1).toInteger());
        lastFetch += u"; next asks If-Modified-Since: %1"_s.arg(
            status.value("ifModifiedSince"_L1).toString());
        if (!status.value("ifNoneMatch"_L1).toString().isEmpty()) {
            lastFetch += u", If-None-Match: %1"_s.arg(status.value("ifNoneMatch"_L1).toString());
        }
    }
    const QString databaseSize =
        database.value("exists"_L1).toBool()
            ? u"%1 with its log"_s.arg(sizeText(database.value("bytes"_L1).toInteger()))
            : u"not created yet"_s;
    const QString imagesSize = u"%1 files, %2"_s.arg(images.value("files"_L1).toInt())
                                   .arg(sizeText(images.value("bytes"_L1).toInteger()));
    QString serviceText;
    if (!service.value("bus"_L1).toBool()) {
        serviceText = u"no session bus"_s;
    } else if (!service.value("onBus"_L1).toBool()) {
        serviceText = u"not on the bus"_s;
    } else if (service.value("running"_L1).isNull()) {
        serviceText = u"on the bus, not answering"_s;
    } else {
        serviceText = service.value("running"_L1).toBool() ? u"on the bus, running a cycle"_s
                                                           : u"on the bus, idle"_s;
    }
    const QJsonObject gate = status.value("serverGate"_L1).toObject();
    const int failures = gate.value("failures"_L1).toInt();
    QString gateText =
        failures > 0 ? u"open, %1 failures since the last success"_s.arg(failures) : u"open"_s;
    if (gate.value("waiting"_L1).toBool()) {
        const QString until = timeText(gate.value("until"_L1));
        gateText = gate.value("serverAsked"_L1).toBool()
                       ? u"server asked to wait until %1 (Retry-After)"_s.arg(until)
                       : u"backing off until %1 after %2 failures"_s.arg(until).arg(failures);
    }
    const QString network = gate.value("network"_L1).toString();
    QString networkText = network == "offline"_L1 ? u"offline: nothing is sent"_s
                          : network == "unknown"_L1
                              ? u"unknown (no NetworkManager): requests go out"_s
                              : network;
    if (gate.value("metered"_L1).toBool()) {
        networkText += u", metered: images wait"_s;
    }
    const QString switchText = !status.value("enabled"_L1).toBool()
                                   ? u"off: QueryNotifications calls do nothing"_s
                               : !status.value("shownByDesktop"_L1).toBool()
                                   ? u"off in the desktop's notification settings"_s
                                   : u"on"_s;

    const QList<QPair<QString, QString>> rows{
        {u"server"_s, status.value("server"_L1).toString()},
        {u"switched"_s, switchText},
        {u"last fetch"_s, lastFetch},
        {u"service"_s, serviceText},
        {u"next request"_s, gateText},
        {u"network"_s, networkText},
        {u"configuration"_s, homeShortened(status.value("configFile"_L1).toString())},
        {u"database"_s, homeShortened(database.value("path"_L1).toString())},
        {u"  size"_s, databaseSize},
        {u"image cache"_s, homeShortened(images.value("path"_L1).toString())},
        {u"  size"_s, imagesSize},
    };
    QString out;
    for (const auto& [name, value] : rows) {
        out += u"%1  %2\n"_s.arg(name, -13).arg(value);
    }
    return out;
}
