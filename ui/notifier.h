#pragma once
// Desktop notifications: the desktop's notification service on the session bus
// (org.freedesktop.Notifications), with the tray icon's message where there is none.
//
// Threads: the user-interface thread only. Calls to the service do not wait for its answer; the
// answer comes back as an event of that thread.
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace sorvane::ui {

class INotifier {
public:
    using Activation = std::function<void()>;
    using Fallback =
        std::function<void(const QString& summary, const QString& body, Activation activated)>;

    virtual ~INotifier() = default;
    // Shows `body` under `summary`, both plain text: they are shown as they stand, markup and
    // all. A later notification with the same `key` replaces this one. `activated` runs when the
    // user chooses the notification (its default action).
    virtual void notify(const QString& key, const QString& summary, const QString& body,
                        Activation activated) = 0;
    // Where notifications go when no notification service answers: the tray icon's message.
    virtual void setFallback(Fallback fallback) = 0;
};

class DBusNotifier final : public QObject, public INotifier {
    Q_OBJECT
public:
    // `openBus` gives the session bus, or any bus a notification service is on; it is asked at
    // the first notification, not at start-up: connecting, and where there is no bus trying to
    // start one, would cost the login window's first appearance. A bus that is not connected
    // sends everything to the fallback.
    explicit DBusNotifier(std::function<QDBusConnection()> openBus, QObject* parent = nullptr);

    void notify(const QString& key, const QString& summary, const QString& body,
                Activation activated) override;
    void setFallback(Fallback fallback) override { fallback_ = std::move(fallback); }

    // The notification body for plain text: notification services may read the body as a
    // small markup language, so &, < and > are written as entities.
    static QString escapedBody(const QString& text);

private slots:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    struct Shown {
        QString summary, body;
        Activation activated;
    };
    void send(const QString& key);
    QDBusConnection& bus();

    std::function<QDBusConnection()> openBus_;
    std::optional<QDBusConnection> bus_;
    Fallback fallback_;
    // Per key: the service's id of the notification on screen (to replace it), the content to
    // show (latest wins), and whether a call is out. While one is out a newer one waits, so that
    // it can replace the notification the call makes.
    QHash<QString, uint> idOf_;
    QHash<QString, Shown> latest_;
    QHash<QString, bool> calling_;
    QHash<uint, QString> keyOf_;
};

} // namespace sorvane::ui
