#pragma once

#include <QString>

struct MsgNotifyInfo;

// What decides a click's effect besides the message itself.
struct ClickRule
{
    // The notification service offers clickable actions at all.
    bool actions = true;
    // It runs the command of the bubble's "x-quorin-action-default" hint itself.
    bool serviceRunsHint = false;
    // "openLinks" of the configuration file.
    bool openLinks = true;
};

// What a click on a message's bubble does, and why: the one rule for the click itself, the
// bubble's button and the listing. Only a web link that passes MsgNotifyInfo::webLink() is ever
// opened; never a shell command, a file or another scheme.
class ClickEffect
{
public:
    enum class Kind { Nothing, LeftToService, Opens };

    static ClickEffect of(const MsgNotifyInfo& message, const ClickRule& rule);

    Kind kind() const { return m_kind; }
    // What opens, for Kind::Opens.
    QString link() const { return m_link; }
    // "opens <link>", "left to the notification service", or "nothing", with why after a colon.
    QString text() const;

private:
    ClickEffect(Kind kind, const QString& detail);

    Kind m_kind;
    // The link that opens, or why nothing does.
    QString m_link;
};
