#include "platform/uri_launcher.h"

#include "plugin/log_categories.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QTimer>

#include <gio/gio.h>
#include <memory>

namespace {

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
