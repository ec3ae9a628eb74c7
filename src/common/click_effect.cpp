#include "common/click_effect.h"

#include "common/data.h"

using namespace Qt::StringLiterals;

ClickEffect::ClickEffect(Kind kind, const QString& detail)
    : m_kind(kind)
    , m_link(detail)
{
}

ClickEffect ClickEffect::of(const MsgNotifyInfo& message, const ClickRule& rule)
{
    if (!rule.actions) {
        return {Kind::Nothing, u"the notification service has no actions"_s};
    }
    // Whatever the switch says: the service runs the hint's command on its own.
    if (rule.serviceRunsHint) {
        return message.actionCommand().isEmpty() ? ClickEffect(Kind::Nothing, {})
                                                 : ClickEffect(Kind::LeftToService, {});
    }
    if (message.linkIs(LinkKind::ShellCommand)) {
        return {Kind::Nothing, u"a shell command is never run"_s};
    }
    const QString link = message.webLink();
    if (link.isEmpty()) {
        return {Kind::Nothing, message.linkIs(LinkKind::WebLink) ? u"not a web link"_s : QString()};
    }
    if (!rule.openLinks) {
        return {Kind::Nothing, u"openLinks is off"_s};
    }
    return {Kind::Opens, link};
}

QString ClickEffect::text() const
{
    switch (m_kind) {
    case Kind::Opens:
        return u"opens "_s + m_link;
    case Kind::LeftToService:
        return u"left to the notification service"_s;
    case Kind::Nothing:
        break;
    }
    return m_link.isEmpty() ? u"nothing"_s : u"nothing: "_s + m_link;
}
