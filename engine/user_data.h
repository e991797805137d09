#pragma once
// What the messenger keeps for each of its users on this computer, in
// $XDG_DATA_HOME/sorvane-messenger/<own name>/ (~/.local/share/... by default), folders 0700 and
// files 0600; the README's "Files kept per user" gives each format.
//   identity    the user's key pair on this computer; made before the first login, never
//               overwritten
//   known-keys  the key first seen for each partner, and whether the user compared safety
//               numbers with them
//   seen-ids    the sealed lines already shown, so that a replayed one is not shown again
//
// User-interface thread; the files are small and read once a session.
#include "engine/sealing.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace sorvane::engine {

// The user's folder name: the name with "/", "%", blanks, control characters and every byte
// that is not a letter, digit, "@", "+", "-", "_" or "." percent-encoded (and a leading ".").
std::string folderNameOf(std::string_view ownName);
// The folder of `ownName`'s files, from the environment; it may not exist yet.
std::filesystem::path userDataDir(std::string_view ownName);

// The identity kept in `dir`, made there when there is none. A file that cannot be read or holds
// no key gives `problem` (what is wrong with which file) and no identity; such a file is never
// overwritten.
struct IdentityFile {
    std::optional<sealing::Identity> identity;
    std::string problem;
};
IdentityFile loadOrMakeIdentity(const std::filesystem::path& dir);

// The partners' keys, as first seen (pinned), and what the directory says since.
class KnownKeys {
public:
    struct Entry {
        sealing::PublicKey key{};
        bool verified = false; // the user compared safety numbers with this key
        // The directory gives another key, or none, since the user compared: held until the user
        // accepts it; nullopt inside means the key vanished.
        std::optional<std::optional<sealing::PublicKey>> pending;
    };
    enum class Change {
        None,     // as pinned, or nothing to pin
        Pinned,   // the first key seen for the partner
        Replaced, // another key (or none) for a partner not compared: taken, to be announced
        Held,     // another key (or none) for a partner compared: lines wait for the user
    };

    KnownKeys() = default;
    // Loads `file` (a missing one is empty); changes are written back to it.
    explicit KnownKeys(std::filesystem::path file);

    const Entry* find(const std::string& name) const;
    // What the directory gives for `name` now: `key`, or none.
    Change observe(const std::string& name, const std::optional<sealing::PublicKey>& key);
    void setVerified(const std::string& name, bool verified);
    // Takes the key the directory gives since the user compared: lines may go out again.
    void acceptPending(const std::string& name);

private:
    void save() const;

    std::filesystem::path file_;
    std::map<std::string, Entry> entries_;
};

// The (sender, id) pairs of the sealed lines already shown, each until its send time plus the
// time a line may be late.
class SeenIds {
public:
    SeenIds() = default;
    // Loads `file` and drops what has expired; additions are appended to it.
    explicit SeenIds(std::filesystem::path file);

    bool contains(const std::string& sender, const std::string& id) const;
    // Records the pair on disk before it counts as seen.
    void add(const std::string& sender, const std::string& id, std::int64_t expires);

private:
    std::filesystem::path file_;
    std::set<std::pair<std::string, std::string>> seen_;
};

} // namespace sorvane::engine
