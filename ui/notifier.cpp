#include "notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace sorvane::ui {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The name and icon the notification service shows with every notification of the program.
const QString kAppName = QStringLiteral("Sorvane Messenger");
const QString kIcon = QStringLiteral("sorvane-messenger");
// A service that does not answer within this is taken as absent for that notification.
constexpr int kCallTimeoutMs = 5000;
} // namespace

DBusNotifier::DBusNotifier(std::function<QDBusConnection()> openBus, QObject* parent)
    : QObject(parent), openBus_(std::move(openBus)) {}

QDBusConnection& DBusNotifier::bus() {
    if (!bus_) {
        bus_.emplace(openBus_());
        if (bus_->isConnected()) {
            bus_->connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                          SLOT(actionInvoked(uint, QString)));
            bus_->connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                          SLOT(notificationClosed(uint, uint)));
        }
    }
    return *bus_;
}

QString DBusNotifier::escapedBody(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == '&')
            out += QStringLiteral("&amp;");
        else if (c == '<')
            out += QStringLiteral("&lt;");
        else if (c == '>')
            out += QStringLiteral("&gt;");
        else
            out += c;
    }
    return out;
}

void DBusNotifier::notify(const QString& key, const QString& summary, const QString& body,
                          Activation activated) {
    if (!bus().isConnected()) {
        if (fallback_)
            fallback_(summary, body, std::move(activated));
        return;
    }
    latest_[key] = Shown{summary, body, std::move(activated)};
    if (!calling_.value(key))
        send(key);
}

void DBusNotifier::send(const QString& key) {
    const Shown shown = latest_.value(key);
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("sorvane-messenger"));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    call << kAppName << idOf_.value(key, 0u) << kIcon << shown.summary << escapedBody(shown.body)
         << QStringList{QStringLiteral("default"), QStringLiteral("Show")} << hints << qint32(-1);
    calling_[key] = true;
    auto* watcher = new QDBusPendingCallWatcher(bus().asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key, shown](QDBusPendingCallWatcher* self) {
                self->deleteLater();
                calling_.remove(key);
                const QDBusPendingReply<uint> reply = *self;
                if (reply.isError()) {
                    // No service, or one that failed: the tray says it instead.
                    idOf_.remove(key);
                    if (fallback_)
                        fallback_(shown.summary, shown.body, shown.activated);
                } else {
                    const uint id = reply.value();
                    idOf_[key] = id;
                    keyOf_[id] = key;
                }
                // A newer notification came while this call was out: it replaces this one.
                const Shown now = latest_.value(key);
                if (now.summary != shown.summary || now.body != shown.body)
                    send(key);
            });
}

void DBusNotifier::actionInvoked(uint id, const QString& action) {
    const auto key = keyOf_.constFind(id);
    if (key == keyOf_.cend() || action != QLatin1String("default"))
        return;
    const Activation activated = latest_.value(*key).activated;
    if (activated)
        activated();
}

void DBusNotifier::notificationClosed(uint id, uint) {
    // The next notification of that key starts afresh.
    const QString key = keyOf_.take(id);
    if (!key.isNull() && idOf_.value(key) == id)
        idOf_.remove(key);
}

} // namespace sorvane::ui
