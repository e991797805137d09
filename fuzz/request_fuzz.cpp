// The directory server's handling of a request target: percent-decoding, the query's keys and
// values, and each script's checks and storage, on a fresh in-memory database per input.
//
// Input: up to 16 requests, one per line; a request's first byte picks the caller's address
// (127.0.0.1 or 127.0.0.2) and the method (GET, or POST with a body after the first tab), and
// the rest is the target as it arrives on the wire, so that one input can register, log in and
// then change a user's data or deposit a line in the mailbox. The input's first byte also picks
// whether changes need the login's token (which no input can know) or the address only.
//
// Rules checked: nothing escapes handle(); no request makes the server fail (status 500 is
// the storage refusing something the checks let through); every reply is whole CR LF lines;
// the log line stays one line.
//
// Single-threaded on purpose: every pooled connection to ":memory:" would be a database of
// its own.
#include "check.h"

#include "directory_service.h"
#include "password.h"
#include "sqlite_storage.h"
#include "target.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool wholeLines(std::string_view body) {
    if (body.empty())
        return true;
    if (body.size() < 2 || body.substr(body.size() - 2) != "\r\n")
        return false;
    // No lone CR or LF inside: each one belongs to a CR LF pair.
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' && (i + 1 >= body.size() || body[i + 1] != '\n'))
            return false;
        if (body[i] == '\n' && (i == 0 || body[i - 1] != '\r'))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sorvane::server;
    std::string_view input(reinterpret_cast<const char*>(data), size);

    static const PasswordHasher hasher(1);
    SqliteStorage storage(":memory:");
    DirectoryService::Settings settings;
    settings.observedAddress = !input.empty() && (input.front() & 0x80) != 0;
    settings.allowAddressOnlyChanges = !input.empty() && (input.front() & 0x40) != 0;
    DirectoryService service(storage, hasher, settings);

    for (int requests = 0; requests < 16 && !input.empty(); ++requests) {
        const std::size_t newline = input.find('\n');
        std::string_view request = input.substr(0, newline);
        input = newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1);
        if (request.empty())
            continue;
        const std::string_view remote = (request.front() & 1) != 0 ? "127.0.0.2" : "127.0.0.1";
        const std::string_view method = (request.front() & 2) != 0 ? "POST" : "GET";
        request.remove_prefix(1);
        std::string_view body;
        if (method == "POST" && request.find('\t') != std::string_view::npos) {
            body = request.substr(request.find('\t') + 1);
            request = request.substr(0, request.find('\t'));
        }

        const Target target = parseTarget(request);
        const Reply reply = service.handle(method, target, remote, body);
        FUZZ_CHECK(reply.status != 500);
        FUZZ_CHECK(reply.status >= 200 && reply.status < 600);
        FUZZ_CHECK(wholeLines(reply.body));

        const std::string log = logLine(method, target, remote, reply.status, 0.5);
        for (const char c : log)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        // The password never reaches the log: every "p" key shows "***".
        for (std::size_t at = log.find("p="); at != std::string::npos; at = log.find("p=", at + 1))
            if (at > 0 && (log[at - 1] == '?' || log[at - 1] == '&'))
                FUZZ_CHECK(log.compare(at + 2, 3, "***") == 0);
    }
    return 0;
}
