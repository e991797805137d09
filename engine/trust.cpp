#include "engine/trust.h"

#include "engine/thread.h"

#include <ctime>

namespace sorvane::engine {

Trust::Trust(QObject* parent) : QObject(parent) {}

void Trust::begin(const QString& ownName, std::shared_ptr<const sealing::Identity> identity,
                  const std::filesystem::path& dataDir) {
    SORVANE_ASSERT_UI_THREAD();
    const std::filesystem::path dir =
        dataDir.empty() ? userDataDir(ownName.toStdString()) : dataDir;
    ownName_ = ownName;
    identity_ = std::move(identity);
    known_ = KnownKeys(dir / "known-keys");
    seen_ = SeenIds(dir / "seen-ids");
    notices_.clear();
    early_->setIdentity(identity_);
}

KnownKeys::Change Trust::observe(const QString& name,
                                 const std::optional<sealing::PublicKey>& key) {
    SORVANE_ASSERT_UI_THREAD();
    const KnownKeys::Change change = known_.observe(name.toStdString(), key);
    if (change == KnownKeys::Change::Replaced)
        notices_.insert(name);
    if (change != KnownKeys::Change::None)
        early_->setPin(name.toStdString(), pinned(name));
    if (change != KnownKeys::Change::None)
        emit keyChanged(name);
    return change;
}

std::optional<sealing::PublicKey> Trust::pinned(const QString& name) const {
    const KnownKeys::Entry* entry = known_.find(name.toStdString());
    return entry ? std::optional(entry->key) : std::nullopt;
}

bool Trust::verified(const QString& name) const {
    const KnownKeys::Entry* entry = known_.find(name.toStdString());
    return entry && entry->verified;
}

void Trust::setVerified(const QString& name, bool verified) {
    known_.setVerified(name.toStdString(), verified);
}

std::optional<std::optional<sealing::PublicKey>> Trust::pending(const QString& name) const {
    const KnownKeys::Entry* entry = known_.find(name.toStdString());
    return entry ? entry->pending : std::nullopt;
}

void Trust::acceptPending(const QString& name) {
    known_.acceptPending(name.toStdString());
    early_->setPin(name.toStdString(), pinned(name));
    emit keyChanged(name);
}

bool Trust::takeNotice(const QString& name) {
    return notices_.erase(name) != 0;
}

std::optional<std::string> Trust::open(std::string_view sealedText) const {
    if (!identity_)
        return std::nullopt;
    return sealing::open(sealedText, *identity_);
}

Trust::Judged Trust::cannotOpen(const QString& sender) {
    return {Judged::Verdict::CannotOpen,
            '<' + sender + "> (a sealed line that this computer's key cannot open)",
            {}};
}

Trust::Judged Trust::judge(const QString& sender, const std::string& signedMessage,
                           const std::optional<sealing::PublicKey>& key, bool directoryDown,
                           const EarlyOpener::Opened* early) {
    using Verdict = Judged::Verdict;
    const auto judged = [&](Verdict verdict, const std::string& text, QString note) {
        return Judged{verdict, '<' + sender + "> " + QString::fromStdString(text), std::move(note)};
    };
    // What a line that fails shows: its text when the body reads as one, else the whole body.
    const auto shown = [](const std::string& body) {
        const std::optional<sealing::Body> read = sealing::decodeBody(body);
        return read ? read->text : body;
    };
    if (!key)
        return directoryDown
                   ? judged(Verdict::KeyUnknown, shown(sealing::unverifiedBody(signedMessage)),
                            QStringLiteral("(not verified: the directory could not be reached)"))
                   : judged(Verdict::NotSigned, shown(sealing::unverifiedBody(signedMessage)),
                            notSignedNote(sender));
    const bool checked = early && early->signer == key && early->signedMessage == signedMessage;
    const std::optional<std::string> body =
        checked ? early->body : sealing::verify(signedMessage, *key);
    if (!body)
        return judged(Verdict::NotSigned, shown(sealing::unverifiedBody(signedMessage)),
                      notSignedNote(sender));
    const std::optional<sealing::Body> read = sealing::decodeBody(*body);
    if (!read)
        return judged(Verdict::Misaddressed, *body, misaddressedNote());
    if (read->sender != sender.toStdString())
        return judged(Verdict::NotSigned, read->text, notSignedNote(sender));
    const long long now = std::time(nullptr);
    const std::optional<sealing::PublicKey> to = sealing::parsePublicKey(read->recipientKey);
    if (read->recipient != ownName_.toStdString() || !identity_ || !to ||
        *to != identity_->publicKey || read->time < now - MaxAge.count() ||
        read->time > now + MaxAhead.count())
        return judged(Verdict::Misaddressed, read->text, misaddressedNote());
    if (seen_.contains(read->sender, read->id))
        return judged(Verdict::Replay, read->text, {});
    seen_.add(read->sender, read->id, read->time + MaxAge.count() + MaxAhead.count());
    // The next lines from the sender are checked as they are read.
    if (key == pinned(sender))
        early_->setPin(sender.toStdString(), key);
    return judged(Verdict::Verified, read->text, {});
}

QString Trust::notSignedNote(const QString& sender) {
    return QStringLiteral("(not verified: this line is not signed with %1's key)").arg(sender);
}

QString Trust::misaddressedNote() {
    return QStringLiteral("(not verified: this sealed line is misaddressed, malformed or too old)");
}

QString Trust::unsealedNote(const QString& sender) {
    return QStringLiteral("(not verified: %1's messenger seals its lines, this one came unsealed)")
        .arg(sender);
}

QString Trust::newKeyNote(const QString& sender) {
    return QStringLiteral("(%1 has a new key: a new computer, a reinstall, or someone in between. "
                          "Compare safety numbers to be sure.)")
        .arg(sender);
}

QString Trust::heldNote(const QString& partner) {
    return QStringLiteral("(waiting: %1's key changed since you compared safety numbers; compare "
                          "them again to send)")
        .arg(partner);
}

} // namespace sorvane::engine
