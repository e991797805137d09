#include "engine/user_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace sorvane::engine {

namespace {

constexpr std::string_view IdentityHeader = "sorvane-messenger identity 1";
constexpr std::string_view KnownKeysHeader = "sorvane-messenger known keys 1";
constexpr std::string_view SeenIdsHeader = "sorvane-messenger seen ids 1";

bool isPlain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
           c == '+' || c == '-' || c == '_' || c == '.';
}

std::string percentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(
                static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Makes `dir` and the folders above it that are missing, each readable by its owner only.
void makeFolders(const std::filesystem::path& dir) {
    if (dir.empty() || std::filesystem::is_directory(dir))
        return;
    makeFolders(dir.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error(dir.string() + ": " + std::strerror(errno));
}

std::string describe(int error) {
    return std::strerror(error);
}

// Replaces `file` with `text` in one step (a new file renamed over it), owner-only.
void replaceFile(const std::filesystem::path& file, const std::string& text) {
    makeFolders(file.parent_path());
    const std::filesystem::path next = file.string() + ".new";
    const int fd =
        ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return; // kept in memory for this session; the next change tries again
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fdatasync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(next.c_str(), file.c_str()) != 0)
        ::unlink(next.c_str());
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::optional<sealing::PublicKey> keyFrom(std::string_view text) {
    if (text == "-")
        return std::nullopt;
    return sealing::parsePublicKey(text);
}

} // namespace

std::string folderNameOf(std::string_view ownName) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < ownName.size(); ++i) {
        const auto c = static_cast<unsigned char>(ownName[i]);
        if (isPlain(c) && !(i == 0 && c == '.')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::filesystem::path userDataDir(std::string_view ownName) {
    std::filesystem::path base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "/") / ".local" / "share";
    }
    return base / "sorvane-messenger" / folderNameOf(ownName);
}

IdentityFile loadOrMakeIdentity(const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / "identity";
    const auto problem = [&](const std::string& what) {
        return IdentityFile{std::nullopt, "The identity file " + file.string() + " " + what};
    };
    std::error_code exists;
    if (!std::filesystem::exists(std::filesystem::symlink_status(file, exists))) {
        // Made beside it and linked in place, so that a file that appeared meanwhile is kept
        // and a half-written one is never taken for a key.
        try {
            makeFolders(dir);
        } catch (const std::exception& e) {
            return problem(std::string("cannot be made: ") + e.what());
        }
        sealing::Identity made = sealing::newIdentity();
        const std::string text =
            std::string(IdentityHeader) + "\npublic " + sealing::toBase64Url(made.publicKey) +
            "\nsecret " + sealing::toBase64Url(made.secretKey.data(), made.secretKey.size()) + "\n";
        const std::filesystem::path next = file.string() + ".new";
        ::unlink(next.c_str());
        const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return problem("cannot be made: " + describe(errno));
        const bool written =
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(fd) == 0;
        const int error = errno;
        ::close(fd);
        const bool linked = written && ::link(next.c_str(), file.c_str()) == 0;
        const int linkError = errno;
        ::unlink(next.c_str());
        if (!written)
            return problem("cannot be made: " + describe(error));
        if (!linked && linkError != EEXIST)
            return problem("cannot be made: " + describe(linkError));
    }

    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return problem("cannot be read: " + describe(errno));
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 4096) {
        text.resize(static_cast<std::size_t>(st.st_size));
        if (::read(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            text.clear();
    }
    ::close(fd);
    std::istringstream lines(text);
    std::string header, publicWord, publicText, secretWord, secretText, rest;
    std::getline(lines, header);
    lines >> publicWord >> publicText >> secretWord >> secretText >> rest;
    const std::optional<sealing::PublicKey> publicKey = sealing::parsePublicKey(publicText);
    const std::optional<std::string> secret = sealing::fromBase64Url(secretText);
    IdentityFile loaded;
    if (header != IdentityHeader || publicWord != "public" || secretWord != "secret" ||
        !rest.empty() || !publicKey || !secret || secret->size() != 64 ||
        std::memcmp(publicKey->data(), secret->data() + 32, publicKey->size()) != 0)
        return problem("is not an identity key; lines to and from this computer go unsealed "
                       "until it is mended or removed");
    loaded.identity.emplace();
    loaded.identity->publicKey = *publicKey;
    std::copy(secret->begin(), secret->end(), loaded.identity->secretKey.begin());
    return loaded;
}

// ---- known keys -------------------------------------------------------------------------------

KnownKeys::KnownKeys(std::filesystem::path file) : file_(std::move(file)) {
    const std::vector<std::string> lines = readLines(file_);
    if (lines.empty() || lines.front() != KnownKeysHeader)
        return;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::string name, key, verified, pending;
        fields >> name >> key >> verified >> pending;
        const std::optional<sealing::PublicKey> pinned = sealing::parsePublicKey(key);
        if (name.empty() || !pinned)
            continue;
        Entry entry{*pinned, verified == "verified", std::nullopt};
        if (!pending.empty())
            entry.pending = keyFrom(pending);
        entries_[percentDecode(name)] = entry;
    }
}

const KnownKeys::Entry* KnownKeys::find(const std::string& name) const {
    const auto found = entries_.find(name);
    return found == entries_.end() ? nullptr : &found->second;
}

KnownKeys::Change KnownKeys::observe(const std::string& name,
                                     const std::optional<sealing::PublicKey>& key) {
    const auto found = entries_.find(name);
    if (found == entries_.end()) {
        if (!key)
            return Change::None;
        entries_[name] = Entry{*key, false, std::nullopt};
        save();
        return Change::Pinned;
    }
    Entry& entry = found->second;
    if (key && *key == entry.key) {
        if (entry.pending) { // back to the key the user compared
            entry.pending.reset();
            save();
        }
        return Change::None;
    }
    if (entry.verified) {
        if (entry.pending && *entry.pending == key)
            return Change::Held;
        entry.pending = key;
        save();
        return Change::Held;
    }
    if (key)
        entry.key = *key;
    else
        entries_.erase(found);
    save();
    return Change::Replaced;
}

void KnownKeys::setVerified(const std::string& name, bool verified) {
    const auto found = entries_.find(name);
    if (found == entries_.end() || found->second.verified == verified)
        return;
    found->second.verified = verified;
    save();
}

void KnownKeys::acceptPending(const std::string& name) {
    const auto found = entries_.find(name);
    if (found == entries_.end() || !found->second.pending)
        return;
    if (*found->second.pending) {
        found->second.key = **found->second.pending;
        found->second.pending.reset();
        found->second.verified = false; // the new key has not been compared yet
    } else {
        entries_.erase(found);
    }
    save();
}

void KnownKeys::save() const {
    if (file_.empty())
        return;
    std::string text = std::string(KnownKeysHeader) + "\n";
    for (const auto& [name, entry] : entries_) {
        text += folderNameOf(name) + ' ' + sealing::toBase64Url(entry.key) + ' ' +
                (entry.verified ? "verified" : "unverified");
        if (entry.pending)
            text += ' ' + (*entry.pending ? sealing::toBase64Url(**entry.pending) : "-");
        text += '\n';
    }
    replaceFile(file_, text);
}

// ---- seen ids ---------------------------------------------------------------------------------

SeenIds::SeenIds(std::filesystem::path file) : file_(std::move(file)) {
    const std::vector<std::string> lines = readLines(file_);
    const std::int64_t now = std::time(nullptr);
    std::string kept = std::string(SeenIdsHeader) + "\n";
    bool dropped = lines.empty() || lines.front() != SeenIdsHeader;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::int64_t expires = 0;
        std::string id, sender;
        if (!(fields >> expires >> id >> sender) || expires < now) {
            dropped = true;
            continue;
        }
        seen_.emplace(percentDecode(sender), id);
        kept += lines[i] + '\n';
    }
    if (dropped)
        replaceFile(file_, kept);
}

bool SeenIds::contains(const std::string& sender, const std::string& id) const {
    return seen_.count({sender, id}) != 0;
}

void SeenIds::add(const std::string& sender, const std::string& id, std::int64_t expires) {
    seen_.emplace(sender, id);
    if (file_.empty())
        return;
    const std::string line = std::to_string(expires) + ' ' + id + ' ' + folderNameOf(sender) + '\n';
    const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return; // the header is written at load; without the file, this session still remembers
    [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
}

} // namespace sorvane::engine
