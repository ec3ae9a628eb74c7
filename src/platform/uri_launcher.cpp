#include "platform/uri_launcher.h"

#include "plugin/log_categories.h"

#include <QAbstractEventDispatcher>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <gio/gio.h>
#include <memory>

using namespace Qt::StringLiterals;

// The arguments of systemd's StartTransientUnit: a(sv) properties, of which ExecStart is a(sasb).
struct ExecCommand
{
    QString path;
    QStringList argv;
    bool ignoreFailure = false;
};
struct UnitProperty
{
    QString name;
    QDBusVariant value;
};
struct AuxUnit
{
    QString name;
    QList<UnitProperty> properties;
};
Q_DECLARE_METATYPE(ExecCommand)
Q_DECLARE_METATYPE(UnitProperty)
Q_DECLARE_METATYPE(AuxUnit)

QDBusArgument& operator<<(QDBusArgument& argument, const ExecCommand& command)
{
    argument.beginStructure();
    argument << command.path << command.argv << command.ignoreFailure;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, ExecCommand& command)
{
    argument.beginStructure();
    argument >> command.path >> command.argv >> command.ignoreFailure;
    argument.endStructure();
    return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const UnitProperty& property)
{
    argument.beginStructure();
    argument << property.name << property.value;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, UnitProperty& property)
{
    argument.beginStructure();
    argument >> property.name >> property.value;
    argument.endStructure();
    return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const AuxUnit& unit)
{
    argument.beginStructure();
    argument << unit.name << unit.properties;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, AuxUnit& unit)
{
    argument.beginStructure();
    argument >> unit.name >> unit.properties;
    argument.endStructure();
    return argument;
}

namespace {

// systemd names the unit a service runs in in the environment of its processes.
bool runByServiceManager()
{
    return qEnvironmentVariableIsSet("INVOCATION_ID");
}

// A token goes into an environment entry: printable ASCII only.
bool plainToken(const QString& token)
{
    return token.size() <= 256 && std::all_of(token.cbegin(), token.cend(), [](QChar c) {
               return c.unicode() > 0x20 && c.unicode() < 0x7f;
           });
}

// A launch context that hands the activation token to the portal as well as to a launched
// program: GIO asks the context for a startup id on both paths.
struct TokenLaunchContext
{
    GAppLaunchContext parent;
    char* token;
};

struct TokenLaunchContextClass
{
    GAppLaunchContextClass parent;
};

G_DEFINE_TYPE(TokenLaunchContext, token_launch_context, G_TYPE_APP_LAUNCH_CONTEXT)

char* token_launch_context_get_startup_notify_id(GAppLaunchContext* context, GAppInfo*, GList*)
{
    const char* token = reinterpret_cast<TokenLaunchContext*>(context)->token;
    return token ? g_strdup(token) : nullptr;
}

void token_launch_context_finalize(GObject* object)
{
    g_free(reinterpret_cast<TokenLaunchContext*>(object)->token);
    G_OBJECT_CLASS(token_launch_context_parent_class)->finalize(object);
}

void token_launch_context_class_init(TokenLaunchContextClass* klass)
{
    G_OBJECT_CLASS(klass)->finalize = token_launch_context_finalize;
    G_APP_LAUNCH_CONTEXT_CLASS(klass)->get_startup_notify_id =
        token_launch_context_get_startup_notify_id;
}

void token_launch_context_init(TokenLaunchContext* context)
{
    context->token = nullptr;
}

GAppLaunchContext* launchContext(const QString& activationToken)
{
    auto* context =
        static_cast<TokenLaunchContext*>(g_object_new(token_launch_context_get_type(), nullptr));
    auto* base = reinterpret_cast<GAppLaunchContext*>(context);
    if (!activationToken.isEmpty()) {
        const QByteArray token = activationToken.toUtf8();
        context->token = g_strdup(token.constData());
        // Wayland compositors read the first, X11 window managers the second.
        g_app_launch_context_setenv(base, "XDG_ACTIVATION_TOKEN", token.constData());
        g_app_launch_context_setenv(base, "DESKTOP_STARTUP_ID", token.constData());
    }
    return base;
}

// May run on whichever thread turns GLib's default context: it only posts back.
void launched(GObject*, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<QPointer<UriLauncher>> launcher(static_cast<QPointer<UriLauncher>*>(data));
    GError* error = nullptr;
    if (g_app_info_launch_default_for_uri_finish(result, &error)) {
        qCDebug(logMain) << "Link opened";
    } else {
        qCWarning(logMain) << "Link not opened:" << (error ? error->message : "");
        g_clear_error(&error);
    }
    if (*launcher) {
        QMetaObject::invokeMethod(*launcher, "slotLaunchEnded", Qt::QueuedConnection);
    }
}

bool loopTurnsGlib()
{
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
}

} // namespace

UriLauncher::UriLauncher(QObject* parent)
    : QObject(parent)
{
}

void UriLauncher::launch(const QString& uri, const QString& activationToken)
{
    const QString token = plainToken(activationToken) ? activationToken : QString();
    const QString gio =
        runByServiceManager() ? QStandardPaths::findExecutable(u"gio"_s) : QString();
    if (!gio.isEmpty()) {
        launchInUnit(gio, uri, token);
    } else {
        launchWithGio(uri, token);
    }
}

void UriLauncher::launchInUnit(const QString& gio, const QString& uri,
                               const QString& activationToken)
{
    static const bool registered = [] {
        qDBusRegisterMetaType<ExecCommand>();
        qDBusRegisterMetaType<QList<ExecCommand>>();
        qDBusRegisterMetaType<UnitProperty>();
        qDBusRegisterMetaType<QList<UnitProperty>>();
        qDBusRegisterMetaType<AuxUnit>();
        qDBusRegisterMetaType<QList<AuxUnit>>();
        return true;
    }();
    Q_UNUSED(registered)
    QList<UnitProperty> properties{
        {u"Description"_s, QDBusVariant(u"A link opened from quorin-msg-notification"_s)},
        {u"ExecStart"_s, QDBusVariant(QVariant::fromValue(QList<ExecCommand>{
                             {gio, {u"gio"_s, u"open"_s, u"--"_s, uri}, false}}))},
        // The unit lives as long as what it started (the browser `gio` hands the link to), not
        // just as long as `gio`: systemd would stop the browser with it. A systemd older than
        // 250 refuses the property, and the link goes through GIO here.
        {u"ExitType"_s, QDBusVariant(u"cgroup"_s)},
        {u"CollectMode"_s, QDBusVariant(u"inactive-or-failed"_s)},
    };
    if (!activationToken.isEmpty()) {
        properties.append({u"Environment"_s,
                           QDBusVariant(QStringList{u"XDG_ACTIVATION_TOKEN="_s + activationToken,
                                                    u"DESKTOP_STARTUP_ID="_s + activationToken})});
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.systemd1"_s, u"/org/freedesktop/systemd1"_s,
        u"org.freedesktop.systemd1.Manager"_s, u"StartTransientUnit"_s);
    call << u"quorin-msg-notification-link-%1.service"_s.arg(
                QUuid::createUuid().toString(QUuid::Id128))
         << u"fail"_s << QVariant::fromValue(properties) << QVariant::fromValue(QList<AuxUnit>());
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, uri, activationToken] {
                watcher->deleteLater();
                if (!watcher->isError()) {
                    qCDebug(logMain) << "Link opened in a unit of its own";
                    return;
                }
                qCWarning(logMain)
                    << "The user's systemd did not open the link:" << watcher->error().message();
                launchWithGio(uri, activationToken);
            });
}

void UriLauncher::launchWithGio(const QString& uri, const QString& activationToken)
{
    GAppLaunchContext* context = launchContext(activationToken);
    const QByteArray text = uri.toUtf8();
    ++m_pending;
    g_app_info_launch_default_for_uri_async(text.constData(), context, nullptr, launched,
                                            new QPointer<UriLauncher>(this));
    g_object_unref(context);
    if (!loopTurnsGlib()) {
        if (!m_pump) {
            m_pump = new QTimer(this);
            m_pump->setInterval(10);
            connect(m_pump, &QTimer::timeout, this,
                    [] { g_main_context_iteration(nullptr, FALSE); });
        }
        m_pump->start();
    }
}

void UriLauncher::slotLaunchEnded()
{
    if (--m_pending == 0 && m_pump) {
        m_pump->stop();
    }
}
