#pragma once
// Errors a directory request can raise. Every one of them reaches the user through the
// default error box with its message, and abandons the handler that made the request.
#include <stdexcept>
#include <string>

namespace sorvane {

// Base of every error this program shows in the default error box.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A line list read outside its bounds: "List index out of bounds (%d)".
struct EListError : Error {
    using Error::Error;
};

// The scratch file could not be created, written or closed (platform text, e.g. "Permission
// denied").
struct EInOutError : Error {
    using Error::Error;
};

// The scratch file could not be opened for reading: "Cannot open file \"<path>\". <reason>".
struct EFOpenError : Error {
    using Error::Error;
};

// The directory gave no answer: no HTTP response at all (refused, unresolved, timed out), and
// the kinds below. Whoever treats a directory that cannot be reached as "not now" treats them all
// so.
struct EDirectoryUnreachable : Error {
    EDirectoryUnreachable() : Error("Cannot reach the directory server.") {}

protected:
    explicit EDirectoryUnreachable(const std::string& message) : Error(message) {}
};

// An https directory whose certificate fails verification (an authority nobody here trusts,
// another host's name, expired): the connection ends in the handshake, before anything of the
// request is sent. It is still a directory that cannot be reached, so whoever stops asking an
// unreachable directory stops here too. `reason` is libcurl's text for the failure.
struct EDirectoryNotTrusted : EDirectoryUnreachable {
    explicit EDirectoryNotTrusted(std::string reason)
        : EDirectoryUnreachable("The directory server's certificate is not trusted: " +
                                withoutFinalStop(std::move(reason)) + ".") {}

private:
    static std::string withoutFinalStop(std::string text) {
        while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\n'))
            text.pop_back();
        return text;
    }
};

// libcurl, which every directory request goes through, could not be loaded (not installed, or
// too old for this program): no request can be made at all. `reason` says what was missing.
struct EDirectoryClientMissing : EDirectoryUnreachable {
    explicit EDirectoryClientMissing(const std::string& reason)
        : EDirectoryUnreachable("The directory server cannot be reached: libcurl could not be "
                                "loaded (" +
                                reason + "). Install the libcurl4 package.") {}
};

// An https directory that sends the request on to an address without https. The request carries
// the password or the login token, which would travel there in clear, so it is not followed.
struct EDirectoryRedirectRefused : EDirectoryUnreachable {
    EDirectoryRedirectRefused()
        : EDirectoryUnreachable("The directory server sent the request on to an unencrypted "
                                "address; it was not followed.") {}
};

// A read of data (g.php, s.php, v.php) that the directory, or something in front of it, answered
// without an answer: a server error (5xx), a refusal to serve now (429), or a body that is not the
// script's own (a proxy's or a portal's page). `serverLine` is the directory's own "Error: ..."
// line when it sent one; it is then the message.
struct EDirectoryFailed : EDirectoryUnreachable {
    EDirectoryFailed(long status, std::string serverLine)
        : EDirectoryUnreachable(messageFor(status, serverLine)),
          serverLine_(std::move(serverLine)) {}
    const std::string& serverLine() const { return serverLine_; }

private:
    static std::string messageFor(long status, const std::string& serverLine) {
        if (!serverLine.empty())
            return serverLine;
        const std::string code = " (HTTP " + std::to_string(status) + ").";
        if (status >= 500 || status == 429)
            return "The directory server could not answer" + code;
        return "The directory server's reply was not understood" + code;
    }

    std::string serverLine_;
};

} // namespace sorvane
