// Every address the client sends to the directory, and the requests built from them.
#include "directory.h"

#include "errors.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#ifndef SORVANE_BUILT_IN_DIRECTORY_BASE
#error "SORVANE_BUILT_IN_DIRECTORY_BASE must be set by the build"
#endif

namespace sorvane::directory {

std::string_view directoryBase() {
    return SORVANE_BUILT_IN_DIRECTORY_BASE;
}

const char* scratchFileName(Scratch s) {
    switch (s) {
    case Scratch::Temp:
        return "temp.txt";
    case Scratch::Temp2:
        return "temp2.txt";
    case Scratch::Temp3:
        return "temp3.txt";
    case Scratch::Temp4:
        return "temp4.txt";
    case Scratch::Temp5:
        return "temp5.txt";
    case Scratch::Temp6:
        return "temp6.txt";
    case Scratch::Temp7:
        return "temp7.txt";
    }
    return "temp.txt";
}

void CacheBuster::reseed() {
    const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    gen_.seed(static_cast<std::mt19937::result_type>(ticks));
}

int CacheBuster::draw() {
    // 19999 values: the directory's caches have always been busted with 0 .. 19998.
    std::uniform_int_distribution<int> dist(0, 19998);
    return dist(gen_);
}

std::string encodeValue(std::string_view value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

namespace {

// Builds base + script + "?k1=v1&k2=v2...", values encoded, keys in the order given.
class Query {
public:
    Query(std::string_view base, std::string_view script) { url_.append(base).append(script); }
    Query& add(std::string_view key, std::string_view value) {
        url_ += first_ ? '?' : '&';
        first_ = false;
        url_.append(key).append("=").append(encodeValue(value));
        return *this;
    }
    // The cache-buster is the last key of every request that has one, the login token included
    // (the directory takes the token anywhere). Both endings hand over the finished address.
    std::string random(int n, std::string_view token = {}) {
        if (!token.empty())
            add("t", token);
        add("random", std::to_string(n));
        return std::move(url_);
    }
    std::string done(std::string_view token = {}) {
        if (!token.empty())
            add("t", token);
        return std::move(url_);
    }

private:
    std::string url_;
    bool first_ = true;
};

// The scripts that answer with data, each with its own shape of reply.
enum class DataScript { Lookup, Search, Profile }; // g.php, s.php, v.php

// The directory's "Error: ..." line at the head of a refusal, if there is one.
std::string serverErrorLine(const LineList& lines) {
    constexpr std::string_view prefix = "Error: ";
    if (lines.empty() || lines[0].size() > 200 || lines[0].rfind(prefix, 0) != 0)
        return {};
    return lines[0];
}

// A page of markup, as a proxy or a portal sends in place of the reply: it opens with a tag and
// closes one somewhere. (A name may start with "<", so the opening alone does not tell.)
bool isMarkupPage(const LineList& lines) {
    for (const std::string& line : lines.lines()) {
        std::string_view text = line;
        if (text.rfind("\xEF\xBB\xBF", 0) == 0)
            text.remove_prefix(3); // a byte order mark
        const auto start = text.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            continue; // blank lines before the page
        if (text[start] != '<')
            return false;
        return std::any_of(lines.lines().begin(), lines.lines().end(), [](const std::string& l) {
            return l.find("</") != std::string::npos || l.find("/>") != std::string::npos;
        });
    }
    return false;
}

bool isHostText(const std::string& text) {
    return !text.empty() && text.size() <= 255 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
               c == ':';
    });
}

bool isPortText(const std::string& text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           std::stol(text) <= 65535;
}

// What a read of data says; see Directory.
LineList dataOf(DataScript script, const Reply& reply) {
    const LineList& lines = reply.lines;
    if (reply.status >= 500 || reply.status == 429)
        throw EDirectoryFailed(reply.status, serverErrorLine(lines));
    if (reply.status == 404 && script != DataScript::Search)
        return {};
    if (lines.empty())
        return lines;
    const bool own = script == DataScript::Lookup
                         ? lines.count() >= 2 && isHostText(lines[0]) && isPortText(lines[1])
                         : !isMarkupPage(lines);
    if (!own)
        throw EDirectoryFailed(reply.status, {});
    return lines;
}

} // namespace

bool needsNewLogin(const LineList& reply) {
    return !reply.empty() && (reply[0] == "Error: log in again" ||
                              reply[0] == "Error: log in from this address first");
}

namespace address {

std::string login(std::string_view base, std::string_view user, std::string_view password,
                  std::string_view ip, std::string_view port, std::string_view key) {
    Query query(base, "c.php");
    query.add("u", user).add("p", password).add("ip", ip).add("port", port);
    if (!key.empty())
        query.add("k", key);
    return query.done();
}

std::string newUser(std::string_view base, std::string_view user, std::string_view password) {
    return Query(base, "n.php").add("u", user).add("p", password).done();
}

std::string addFriend(std::string_view base, std::string_view own, std::string_view friendName,
                      std::string_view token) {
    return Query(base, "f.php").add("u", own).add("f", friendName).done(token);
}

std::string deleteFriend(std::string_view base, std::string_view own, std::string_view friendName,
                         std::string_view token) {
    return Query(base, "d.php").add("u", own).add("f", friendName).done(token);
}

std::string probeLookup(std::string_view base, std::string_view name, int n) {
    return Query(base, "g.php").add("u", name).random(n);
}

std::string sendLookup(std::string_view base, std::string_view name) {
    // Sent right before a message; the directory has always answered it without a cache-buster.
    return Query(base, "g.php").add("u", name).done();
}

std::string search(std::string_view base, std::string_view text, int n) {
    return Query(base, "s.php").add("u", text).random(n);
}

std::string viewProfile(std::string_view base, std::string_view name, int n) {
    return Query(base, "v.php").add("u", name).random(n);
}

std::string saveProfile(std::string_view base, std::string_view own, const Profile& p, int n,
                        std::string_view token) {
    return Query(base, "e.php")
        .add("u", own)
        .add("n", p.name)
        .add("s", p.surname)
        .add("g", p.gender)
        .add("d", p.day)
        .add("m", p.month)
        .add("y", p.year)
        .add("ci", p.city)
        .add("co", p.country)
        .random(n, token);
}

std::string deposit(std::string_view base, std::string_view own, std::string_view to,
                    std::string_view key, std::string_view id, std::string_view token) {
    return Query(base, "m.php").add("u", own).add("to", to).add("k", key).add("id", id).done(token);
}

std::string fetchMailbox(std::string_view base, std::string_view own, std::string_view token,
                         const std::vector<std::string>& acks, int waitSeconds) {
    Query query(base, "m.php");
    query.add("u", own).add("t", token);
    for (const std::string& id : acks)
        query.add("ack", id);
    return query.add("wait", std::to_string(waitSeconds)).done();
}

} // namespace address

Directory::Directory(std::string base, std::filesystem::path scratchDir,
                     std::filesystem::path caFile)
    : Directory(
          [&] {
              std::promise<Location> known;
              known.set_value(Location{std::move(base), std::move(caFile)});
              return known.get_future().share();
          }(),
          std::move(scratchDir)) {}

Directory::Directory(std::shared_future<Location> location, std::filesystem::path scratchDir)
    : location_(std::move(location)), scratchDir_(std::move(scratchDir)) {}

std::filesystem::path Directory::scratchPath(Scratch s) const {
    return scratchDir_ / scratchFileName(s);
}

int Directory::freshCacheBuster() {
    buster_.reseed();
    return buster_.draw();
}

LineList Directory::login(std::string_view user, std::string_view password, std::string_view ip,
                          std::string_view port, std::string_view key) {
    LineList reply = fetch(address::login(base(), user, password, ip, port, key), Scratch::Temp);
    if (reply.count() >= 1 && reply[0] == "OK")
        token_ = reply.count() >= 3 ? reply[2] : std::string();
    return reply;
}

LineList Directory::newUser(std::string_view user, std::string_view password) const {
    return fetch(address::newUser(base(), user, password), Scratch::Temp);
}

LineList Directory::addFriend(std::string_view own, std::string_view friendName) const {
    return fetch(address::addFriend(base(), own, friendName, token_), Scratch::Temp);
}

LineList Directory::deleteFriend(std::string_view own, std::string_view friendName) const {
    return fetch(address::deleteFriend(base(), own, friendName, token_), Scratch::Temp4);
}

LineList Directory::probeLookup(std::string_view name, int n, int abortFd) const {
    return dataOf(DataScript::Lookup,
                  fetchReply(address::probeLookup(base(), name, n), Scratch::Temp3, abortFd));
}

LineList Directory::sendLookup(std::string_view name, int abortFd) const {
    return dataOf(DataScript::Lookup,
                  fetchReply(address::sendLookup(base(), name), Scratch::Temp2, abortFd));
}

LineList Directory::search(std::string_view text) {
    return dataOf(DataScript::Search,
                  fetchReply(address::search(base(), text, freshCacheBuster()), Scratch::Temp5));
}

LineList Directory::viewProfile(std::string_view name) {
    return dataOf(
        DataScript::Profile,
        fetchReply(address::viewProfile(base(), name, freshCacheBuster()), Scratch::Temp5));
}

LineList Directory::saveProfile(std::string_view own, const Profile& p) {
    return fetch(address::saveProfile(base(), own, p, freshCacheBuster(), token_), Scratch::Temp5);
}

Reply Directory::deposit(std::string_view own, std::string_view to, std::string_view key,
                         std::string_view id, std::string_view token, std::string_view sealed,
                         int abortFd) const {
    Transfer how;
    how.post = true;
    how.postBody = sealed;
    how.followRedirects = false;
    return fetchReply(address::deposit(base(), own, to, key, id, token), Scratch::Temp7, abortFd,
                      how);
}

Reply Directory::fetchMailbox(std::string_view own, std::string_view token,
                              const std::vector<std::string>& acks, int waitSeconds,
                              int abortFd) const {
    Transfer how;
    how.followRedirects = false;
    how.stallSeconds = waitSeconds + 10; // a held request sends nothing until a line comes
    return fetchReply(address::fetchMailbox(base(), own, token, acks, waitSeconds), Scratch::Temp6,
                      abortFd, how);
}

} // namespace sorvane::directory
