#pragma once
// The client's whole link to the directory server: one function per request the windows send,
// the fetch into a scratch file and its read-back, the cache-buster and the local address.
#include "linelist.h"

#include <cstdint>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::directory {

// The directory address built into the program (set when it is built), used unless the
// environment or a settings file names another; ends in "/messenger/".
std::string_view directoryBase();

// The eight profile values "e.php" carries, in the order the query sends them.
struct Profile {
    std::string name, surname, gender, day, month, year, city, country;
};

// The scratch file each call site writes its reply to.
// Temp6 holds the mailbox's waiting fetch, Temp7 the deposits in partners' mailboxes.
enum class Scratch { Temp, Temp2, Temp3, Temp4, Temp5, Temp6, Temp7 };
const char* scratchFileName(Scratch s); // "temp.txt" ... "temp7.txt"

// "&random=" + n, n drawn uniformly from 0 to 19998 after re-seeding from the clock.
class CacheBuster {
public:
    void reseed(); // from the high-resolution clock
    int draw();    // 0 .. 19998
private:
    std::mt19937 gen_{0};
};

// Query value encoding: RFC 3986 unreserved characters stay, every other byte becomes %XX.
std::string encodeValue(std::string_view value);

// Request addresses; `base` ends in "/messenger/". Pure functions, so tests can read them.
// `token`, when not empty, goes as "&t=" + token: the login token that the directory wants with
// every change (f.php, d.php, e.php); last, but before the cache-buster, which always ends an
// address that has one.
namespace address {
// `key`, when not empty, goes last as "&k=" + key: the messenger's public key on this computer.
std::string login(std::string_view base, std::string_view user, std::string_view password,
                  std::string_view ip, std::string_view port, std::string_view key = {});
std::string newUser(std::string_view base, std::string_view user, std::string_view password);
std::string addFriend(std::string_view base, std::string_view own, std::string_view friendName,
                      std::string_view token = {});
std::string deleteFriend(std::string_view base, std::string_view own, std::string_view friendName,
                         std::string_view token = {});
std::string probeLookup(std::string_view base, std::string_view name, int n);
std::string sendLookup(std::string_view base, std::string_view name);
std::string search(std::string_view base, std::string_view text, int n);
std::string viewProfile(std::string_view base, std::string_view name, int n);
std::string saveProfile(std::string_view base, std::string_view own, const Profile& p, int n,
                        std::string_view token = {});
// m.php: a sealed line for `to`'s mailbox (the body goes by POST), and the fetch of the own one.
std::string deposit(std::string_view base, std::string_view own, std::string_view to,
                    std::string_view key, std::string_view id, std::string_view token);
std::string fetchMailbox(std::string_view base, std::string_view own, std::string_view token,
                         const std::vector<std::string>& acks, int waitSeconds);
} // namespace address

// Fetches `url` by HTTP GET and stores the body in `file`, replacing its content, whatever the
// HTTP status; returns that status (of the last response, when redirects were followed).
// Throws EInOutError when the file cannot be written, EDirectoryUnreachable when no HTTP
// response arrives, EDirectoryNotTrusted when an https directory's certificate fails
// verification (checked against the system's authorities and those in `caFile`, if named),
// EDirectoryRedirectRefused when an https address sends the request on to a plain http one.
long GetInetFile(const std::string& url, const std::filesystem::path& file,
                 const std::filesystem::path& caFile = {});

// How a request goes beyond a plain GET.
struct Transfer {
    std::string_view postBody; // POST with this body when `post`
    bool post = false;
    bool followRedirects = true;
    long stallSeconds = 30; // the longest the directory may send nothing
};

// A reply as it arrived: the HTTP status and the lines of the body.
struct Reply {
    long status = 0;
    LineList lines;
};

// Whether a change (f.php, d.php, e.php, m.php) was refused because this messenger's login no
// longer counts: the user has logged in elsewhere since, which replaced the token, or the address
// the directory knows for the user is not this messenger's. Only a new login cures it.
bool needsNewLogin(const LineList& reply);

// The client's own IPv4 address, dotted; empty when the host name does not resolve.
std::string LocalIP();

// LocalIP's choice, given the IPv4 addresses the host name resolves to (in the resolver's
// order) and those of the host's interfaces that are up; all in network byte order.
// The last non-loopback address of the resolver wins; when the name resolves only to loopback
// (as Debian's 127.0.1.1 does), the last non-loopback interface address; when there is none
// either, the resolver's last address. Empty when the name did not resolve.
std::string chooseLocalIP(const std::vector<std::uint32_t>& resolved,
                          const std::vector<std::uint32_t>& interfaces);

// Loads libcurl, which the requests use, and readies it, once per process; later calls return at
// once. The program is not linked to libcurl, so that its start does not wait for the libraries
// libcurl brings: it calls this on a thread of its own once its windows are up. A request made
// before runs it itself, or waits for the call under way on another thread. Returns what the
// error box of every request will say when libcurl cannot be loaded; empty when it is loaded.
std::string loadLibcurl();

// Where the scratch files go: beside the executable, else the per-user cache folder.
std::filesystem::path defaultScratchDir();

// defaultScratchDir's choice without touching the disk. `xdgCacheHome` and `home` are the
// environment's values, empty when unset; a relative cache home is ignored.
std::filesystem::path chooseScratchDir(const std::filesystem::path& exeDir, bool exeDirWritable,
                                       std::string_view xdgCacheHome, std::string_view home);

// Which directory the requests go to.
struct Location {
    std::string base;             // what every request address starts with; ends in "/"
    std::filesystem::path caFile; // authorities an https directory's certificate may also be
                                  // signed by, besides the system's; empty for none
};

// The requests that do not draw a cache-buster of their own (every const one) may run on several
// threads at once: each has its own libcurl handle and holds its scratch file locked from the fetch
// to the read-back. The others share the cache-buster and belong to one thread, the user-interface
// thread.
class Directory {
public:
    // `caFile`: authorities an https directory's certificate may also be signed by.
    Directory(std::string base, std::filesystem::path scratchDir,
              std::filesystem::path caFile = {});
    // A directory whose location is known later (the program reads its settings once its
    // windows are up): every request, and base() and caFile(), wait until `location` is ready.
    Directory(std::shared_future<Location> location, std::filesystem::path scratchDir);

    const std::string& base() const { return location_.get().base; }
    const std::filesystem::path& caFile() const { return location_.get().caFile; }
    const std::filesystem::path& scratchDir() const { return scratchDir_; }
    std::filesystem::path scratchPath(Scratch s) const;

    // GetInetFile into the scratch file, then read it back; the scratch file is held
    // exclusively from its creation to the read-back. Safe to call on several threads at once.
    // When `abortFd` is a descriptor, its becoming readable (an eventfd raised by another
    // thread) ends the request at once as EDirectoryUnreachable.
    LineList fetch(const std::string& url, Scratch s, int abortFd = -1) const;
    // The same with the HTTP status, for the requests that judge it.
    Reply fetchReply(const std::string& url, Scratch s, int abortFd = -1,
                     const Transfer& how = Transfer{}) const;

    // A successful login's third line, the token, is kept (in memory only) for the changes
    // below; a directory that sends none gets none back. These requests, and the changes, are
    // judged by their first line whatever the status: "username exists" comes with a 409,
    // "Error: log in again" with a 403. `key`: the public key published with the login
    // (base64url), or empty for none.
    LineList login(std::string_view user, std::string_view password, std::string_view ip,
                   std::string_view port, std::string_view key = {});               // c.php, temp
    LineList newUser(std::string_view user, std::string_view password) const;       // n.php, temp
    LineList addFriend(std::string_view own, std::string_view friendName) const;    // f.php, temp
    LineList deleteFriend(std::string_view own, std::string_view friendName) const; // d.php, temp4
    // The reads of data below are judged by their status and body. A 404 from g.php or v.php,
    // or the empty body the scripts refuse with, gives no lines: no such user, or no address.
    // A 5xx, a 429, or a body that is not the script's own throws EDirectoryFailed: the
    // directory could not answer, which says nothing about the user asked for. The script's own
    // body is, for g.php, lines 0 and 1 a host and a port text, whatever follows; for s.php and
    // v.php, anything but a page of markup.
    //
    // The presence probe seeds once per pass and draws per request, so it passes n. It runs
    // on the presence worker, which passes its stop descriptor (see fetch).
    LineList probeLookup(std::string_view name, int n, int abortFd = -1) const; // g.php, temp3
    // Also asked off the user-interface thread (the check of a received line's sender, the
    // sending of waiting lines), with a stop descriptor as for probeLookup.
    LineList sendLookup(std::string_view name, int abortFd = -1) const; // g.php, temp2
    LineList search(std::string_view text);                             // s.php, temp5
    LineList viewProfile(std::string_view name);                        // v.php, temp5
    LineList saveProfile(std::string_view own, const Profile& p);       // e.php, temp5
    // The mailbox (m.php). Both follow no redirect and are judged by status and first line;
    // they run on worker threads with a stop descriptor (see fetch) and the token they are given.
    // A sealed text ("sv1:...") for `to`, sealed to `key`, as the line `id`:        temp7
    Reply deposit(std::string_view own, std::string_view to, std::string_view key,
                  std::string_view id, std::string_view token, std::string_view sealed,
                  int abortFd = -1) const;
    // The own mailbox, acknowledging `acks`, held up to `waitSeconds` when empty:      temp6
    Reply fetchMailbox(std::string_view own, std::string_view token,
                       const std::vector<std::string>& acks, int waitSeconds,
                       int abortFd = -1) const;

    // The token of the last successful login; empty before it or when the directory sent none.
    const std::string& loginToken() const { return token_; }

private:
    int freshCacheBuster(); // reseed + draw

    // Only read once ready, from any thread (get() is const and waits for it).
    std::shared_future<Location> location_;
    std::filesystem::path scratchDir_;
    CacheBuster buster_;
    std::string token_;
};

} // namespace sorvane::directory
