#pragma once
// Who this messenger is, and whose keys it knows: the user's identity on this computer, the key
// first seen for each partner, and the sealed lines already shown. It opens and judges received
// sealed lines and decides whether lines to a partner go sealed, go plain or wait.
//
// User-interface thread only. The identity itself never changes during a session, so sends on
// worker threads share it (a shared pointer to a const key pair).
#include "engine/early_open.h"
#include "engine/sealing.h"
#include "engine/user_data.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace sorvane::engine {

class Trust : public QObject {
    Q_OBJECT
public:
    // How late, and how early, a sealed line may be to count.
    static constexpr std::chrono::seconds MaxAge{14 * 24 * 3600};
    static constexpr std::chrono::seconds MaxAhead{10 * 60};

    // What became of a received sealed line.
    struct Judged {
        enum class Verdict {
            Verified,     // opened, signed by the sender, addressed here, in time, new
            NotSigned,    // not the sender's signature (or another sender inside)
            Misaddressed, // signed, but for another name or key, too old, or malformed
            KeyUnknown,   // the sender's key cannot be had: the directory is out of reach
            CannotOpen,   // not sealed to this computer's key
            Replay,       // shown before: not shown again
        };
        Verdict verdict = Verdict::CannotOpen;
        QString line; // as the history shows it: "<" + sender + "> " + text
        QString note; // after it; empty for a verified line
    };

    explicit Trust(QObject* parent = nullptr);

    // A session begins after a login as `ownName`; `identity` is the one published with that
    // login, or none when this computer's identity cannot be used (lines then go plain). The
    // known keys and seen lines are those kept for `ownName` (in `dataDir`, or the user's data
    // folder when empty).
    void begin(const QString& ownName, std::shared_ptr<const sealing::Identity> identity,
               const std::filesystem::path& dataDir = {});
    const QString& ownName() const { return ownName_; }
    // The own key pair; null when lines go plain.
    std::shared_ptr<const sealing::Identity> identity() const { return identity_; }
    bool publishes() const { return identity_ != nullptr; }

    // What the directory gives for `name` now (a lookup's key, or none): the first key is pinned,
    // another one replaces the pin and is announced once, or waits for the user when they had
    // compared safety numbers.
    KnownKeys::Change observe(const QString& name, const std::optional<sealing::PublicKey>& key);
    std::optional<sealing::PublicKey> pinned(const QString& name) const;
    bool verified(const QString& name) const;
    void setVerified(const QString& name, bool verified);
    // The key the directory gives since the user compared safety numbers (none inside: it
    // vanished); nothing when there is no such change.
    std::optional<std::optional<sealing::PublicKey>> pending(const QString& name) const;
    // Lines to `name` wait for the user: they compared, and the key changed since.
    bool held(const QString& name) const { return pending(name).has_value(); }
    void acceptPending(const QString& name);
    // Whether `name` got a new key that their conversation has not announced yet; clears it.
    bool takeNotice(const QString& name);

    // The signed message inside a received sealed text (after "<sender> "), or none when it was
    // not sealed to this computer's key.
    std::optional<std::string> open(std::string_view sealedText) const;
    // Judges an opened line from `sender` against `key` (the pinned one, or the directory's);
    // without a key, `directoryDown` tells why. A verified line is recorded as seen first. A
    // signature `early` checked against the same key is not checked again.
    Judged judge(const QString& sender, const std::string& signedMessage,
                 const std::optional<sealing::PublicKey>& key, bool directoryDown,
                 const EarlyOpener::Opened* early = nullptr);
    // What the listener's connection threads open received lines with.
    std::shared_ptr<EarlyOpener> early() const { return early_; }
    // The line shown for a sealed text this computer cannot open.
    static Judged cannotOpen(const QString& sender);

    // Notes of the history.
    static QString notSignedNote(const QString& sender);
    static QString misaddressedNote();
    static QString unsealedNote(const QString& sender);
    static QString newKeyNote(const QString& sender);
    static QString heldNote(const QString& partner);

signals:
    // What is known of `name`'s key changed (pinned, replaced, held or accepted).
    void keyChanged(const QString& name);

private:
    QString ownName_;
    std::shared_ptr<const sealing::Identity> identity_;
    KnownKeys known_;
    SeenIds seen_;
    std::set<QString> notices_; // names whose new key is still to be announced
    std::shared_ptr<EarlyOpener> early_ = std::make_shared<EarlyOpener>();
};

} // namespace sorvane::engine
