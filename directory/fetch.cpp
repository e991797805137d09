// The fetch of a reply into a scratch file, the scratch folder, and the locked read-back.
#include "directory.h"

#include "errors.h"
#include "libcurl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvane::directory {

namespace {

constexpr const char* kAgent = "Sorvane Messenger - http://www.sorvane.example/";
constexpr long kChunk = 1024;         // most bytes handed to the file per write
constexpr long kConnectTimeoutS = 10; // a server that never answers the connect

[[noreturn]] void throwIo(int err) {
    throw EInOutError(std::strerror(err));
}

// Closes the descriptor whatever happens; close() reports late write failures, so the
// normal path calls close() itself and checks it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR)
            throwIo(errno);
    }

private:
    int fd_;
};

// Opens a scratch file for writing without following a symbolic link planted at its path
// and without hanging on a FIFO; anything but a regular file is refused.
FileDescriptor openScratch(const std::filesystem::path& file, int extraFlags) {
    FileDescriptor fd(::open(
        file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags, 0600));
    if (fd.get() < 0)
        throwIo(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throwIo(errno);
    if (!S_ISREG(st.st_mode))
        throw EInOutError("Not a regular file");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        throwIo(errno);
    return fd;
}

struct Sink {
    int fd;
    int error = 0; // errno of a failed write; the transfer stops at it
};

extern "C" std::size_t writeChunk(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::size_t total = size * count;
    std::size_t done = 0;
    while (done < total) {
        const ssize_t n = ::write(sink->fd, data + done, total - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            sink->error = errno;
            return 0; // anything short of `total` makes libcurl abandon the transfer
        }
        done += static_cast<std::size_t>(n);
    }
    return total;
}

// libcurl's failures that mean the directory's certificate did not pass verification (or
// the authorities to check it against could not be loaded), as opposed to no answer at all.
bool isCertificateFailure(CURLcode rc) {
    return rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE ||
           rc == CURLE_SSL_ISSUER_ERROR;
}

// Runs the transfer of `h` to its end, or until `abortFd` (when not negative) becomes readable:
// a thread that has to stop at once (the program is ending) is not held by a directory that
// takes its time to answer. curl_easy_perform cannot be woken that way.
CURLcode perform(const libcurl::Functions& curl, CURL* h, int abortFd) {
    if (abortFd < 0)
        return curl.easy_perform(h);
    const std::unique_ptr<CURLM, decltype(curl.multi_cleanup)> multi(curl.multi_init(),
                                                                     curl.multi_cleanup);
    if (!multi || curl.multi_add_handle(multi.get(), h) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (;;) {
        int running = 0;
        if (curl.multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (running == 0) {
            int left = 0;
            const CURLMsg* message = curl.multi_info_read(multi.get(), &left);
            result = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                        : CURLE_RECV_ERROR;
            break;
        }
        curl_waitfd abort{abortFd, CURL_WAIT_POLLIN, 0};
        if (curl.multi_poll(multi.get(), &abort, 1, 1000, nullptr) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (abort.revents != 0)
            break; // given up: reported as no answer
    }
    curl.multi_remove_handle(multi.get(), h);
    return result;
}

bool isHttps(const std::string& url) {
    constexpr std::string_view scheme = "https://";
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

// Streams the body of `url` into the already open, empty file `fd` and returns the HTTP status.
// `caFile`, when not empty, names authorities to trust for an https directory besides the
// system's; `abortFd` see perform.
long streamInto(const std::string& url, int fd, const std::filesystem::path& caFile, int abortFd,
                const Transfer& how = Transfer{}) {
    // Loaded by now, or loaded here (or waited for) on the first request.
    const libcurl::Functions* const curl = &libcurl::functions();
    const std::unique_ptr<CURL, decltype(curl->easy_cleanup)> handle(curl->easy_init(),
                                                                     curl->easy_cleanup);
    if (!handle)
        throw EDirectoryUnreachable();
    const auto setopt = curl->easy_setopt;

    Sink sink{fd};
    CURL* h = handle.get();
    setopt(h, CURLOPT_URL, url.c_str());
    if (how.post) {
        setopt(h, CURLOPT_POSTFIELDS, how.postBody.data());
        setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(how.postBody.size()));
        // The body is the sealed text itself, not a form.
        static curl_slist* const plainText =
            curl->slist_append(nullptr, "Content-Type: text/plain");
        setopt(h, CURLOPT_HTTPHEADER, plainText);
    } else {
        setopt(h, CURLOPT_HTTPGET, 1L);
    }
    setopt(h, CURLOPT_USERAGENT, kAgent);
    // Proxy: libcurl's own reading of http_proxy, https_proxy, all_proxy and no_proxy.
    setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    setopt(h, CURLOPT_FOLLOWLOCATION, how.followRedirects ? 1L : 0L);
    setopt(h, CURLOPT_MAXREDIRS, 5L);
    // Every redirect resends the whole address, password and token included: from an https
    // directory only to https. One reached over http has sent them in clear already, so it may
    // send the request on to either.
    const bool secure = isHttps(url);
    setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    setopt(h, CURLOPT_BUFFERSIZE, kChunk);
    setopt(h, CURLOPT_WRITEFUNCTION, &writeChunk);
    setopt(h, CURLOPT_WRITEDATA, &sink);
    setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    setopt(h, CURLOPT_LOW_SPEED_TIME, how.stallSeconds);
    setopt(h, CURLOPT_NOSIGNAL, 1L);
    // An error page is stored like any other reply; its status goes to the caller, which
    // judges it.
    setopt(h, CURLOPT_FAILONERROR, 0L);
    // An https directory proves who it is: its chain and its name are always checked, and
    // nothing turns that off. The password travels in the request, so a directory that fails
    // the check gets none of it: libcurl stops in the handshake.
    setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) {
        // Replaces libcurl's bundle file; the system's authorities stay trusted through its
        // certificate folder, which stays set.
        setopt(h, CURLOPT_CAINFO, caFile.c_str());
    }
    char reason[CURL_ERROR_SIZE] = "";
    setopt(h, CURLOPT_ERRORBUFFER, reason);

    const CURLcode rc = perform(*curl, h, abortFd);
    if (sink.error != 0)
        throwIo(sink.error);
    if (isCertificateFailure(rc))
        throw EDirectoryNotTrusted(reason[0] != '\0' ? reason : curl->easy_strerror(rc));
    // An https address is always supported; only a redirect can lead to a protocol refused here.
    if (secure && rc == CURLE_UNSUPPORTED_PROTOCOL)
        throw EDirectoryRedirectRefused();
    // No response, or one that broke off (or was given up): what the file holds is not the
    // directory's reply.
    if (rc != CURLE_OK)
        throw EDirectoryUnreachable();
    long status = 0;
    curl->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// Replaces the content of the open file `fd` with the body of `url`: the body is written over
// the old content from the start, and whatever is left beyond it is cut off, also when the
// transfer fails part-way. Emptying the file first would cost far more than the request itself
// on ext4, which writes a file emptied and filled again out to disk when it is closed.
long replaceWith(const std::string& url, int fd, const std::filesystem::path& caFile,
                 int abortFd = -1, const Transfer& how = Transfer{}) {
    const auto cutAtEnd = [fd] {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat st {};
        if (end < 0 || ::fstat(fd, &st) != 0)
            throwIo(errno);
        if (st.st_size > end && ::ftruncate(fd, end) != 0)
            throwIo(errno);
    };
    if (::lseek(fd, 0, SEEK_SET) != 0)
        throwIo(errno);
    long status = 0;
    try {
        status = streamInto(url, fd, caFile, abortFd, how);
    } catch (...) {
        try {
            cutAtEnd();
        } catch (...) {
            // The transfer's own error is the one to report.
        }
        throw;
    }
    cutAtEnd();
    return status;
}

} // namespace

long GetInetFile(const std::string& url, const std::filesystem::path& file,
                 const std::filesystem::path& caFile) {
    FileDescriptor fd = openScratch(file, 0);
    const long status = replaceWith(url, fd.get(), caFile);
    fd.close();
    return status;
}

LineList Directory::fetch(const std::string& url, Scratch s, int abortFd) const {
    return fetchReply(url, s, abortFd).lines;
}

Reply Directory::fetchReply(const std::string& url, Scratch s, int abortFd,
                            const Transfer& how) const {
    const auto path = scratchPath(s);
    FileDescriptor fd = openScratch(path, 0);
    // Another client sharing this folder waits here until our read-back is done, and we
    // wait for theirs, so neither reads the other's reply.
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            throwIo(errno);
    }
    Reply reply;
    reply.status = replaceWith(url, fd.get(), caFile(), abortFd, how);
    reply.lines = LineList::loadFromFile(path);
    fd.close(); // releases the lock
    return reply;
}

std::filesystem::path chooseScratchDir(const std::filesystem::path& exeDir, bool exeDirWritable,
                                       std::string_view xdgCacheHome, std::string_view home) {
    if (exeDirWritable)
        return exeDir;
    // A relative cache home is to be ignored, as if it were unset.
    if (!xdgCacheHome.empty() && xdgCacheHome.front() == '/')
        return std::filesystem::path(xdgCacheHome) / "sorvane-messenger";
    return std::filesystem::path(home) / ".cache" / "sorvane-messenger";
}

std::filesystem::path defaultScratchDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const auto exeDir = ec ? std::filesystem::path() : exe.parent_path();
    const bool writable =
        !exeDir.empty() && ::faccessat(AT_FDCWD, exeDir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;

    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* pw = ::getpwuid(::geteuid());
        home = pw ? pw->pw_dir : "/";
    }
    auto dir = chooseScratchDir(exeDir, writable, xdg ? xdg : "", home ? home : "");
    if (!writable) {
        // The per-user folder holds replies with friends' addresses: the owner's eyes only.
        std::filesystem::create_directories(dir.parent_path(), ec);
        ::mkdir(dir.c_str(), 0700);
    }
    return dir;
}

} // namespace sorvane::directory
