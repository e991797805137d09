// ReceiveLine on a stream that arrives in arbitrary pieces. A writer thread sends the pieces
// one by one into a socket pair, so the reader's peeks meet the piece boundaries; the reader
// calls ReceiveLine until the stream ends.
//
// Input: byte 0 picks the separator and the line length limit; then pieces, each a length
// byte followed by that many bytes (the last one cut short by the end of the input).
//
// Rules checked for every stream: no line is longer than the limit. For a stream without zero
// bytes, no line holds the separator and the lines are exactly the stream cut at the first
// separators, up to the first line over the limit (cut at the limit, nothing after it).
#include "check.h"

#include "net/sockets.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// An endpoint on a socket made elsewhere (one end of the socket pair).
class Endpoint : public sorvane::net::TIpSocket {
public:
    explicit Endpoint(int fd) {
        handle_ = fd;
        active_ = true;
    }
};

constexpr const char* kSeparators[] = {"\r\n", "\n", "\r\n\r\n", "aab"};
constexpr std::size_t kLimits[] = {0, 1, 2, 3, 7, 16, 600, 1100};

std::vector<std::string> expectedLines(std::string_view stream, std::string_view sep,
                                       std::size_t limit) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t at = stream.find(sep, pos);
        std::string line(stream.substr(pos, at == std::string_view::npos ? stream.npos : at - pos));
        if (limit != 0 && line.size() > limit) {
            line.resize(limit);
            lines.push_back(line);
            return lines; // the rest of the connection is dropped
        }
        lines.push_back(line);
        if (at == std::string_view::npos)
            break;
        pos = at + sep.size();
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string sep = kSeparators[data[0] & 3];
    const std::size_t limit = kLimits[(data[0] >> 2) & 7];

    std::vector<std::string> pieces;
    std::string stream;
    for (std::size_t i = 1; i < size && pieces.size() < 64;) {
        const std::size_t length = data[i++];
        const std::size_t take = length < size - i ? length : size - i;
        pieces.emplace_back(reinterpret_cast<const char*>(data + i), take);
        stream += pieces.back();
        i += take;
    }

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    std::atomic<bool> writerDone{false};
    std::thread writer([&pieces, &writerDone, fd = fds[1]] {
        for (const std::string& piece : pieces) {
            std::size_t sent = 0;
            while (sent < piece.size()) {
                const ssize_t n = send(fd, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<std::size_t>(n);
            }
            std::this_thread::yield(); // let the reader look before the next piece
        }
        shutdown(fd, SHUT_WR);
        writerDone = true;
    });

    Endpoint reader(fds[0]);
    reader.setReadTimeout(std::chrono::milliseconds(5000));
    reader.setMaxLineLength(limit);
    const auto unread = [fd = fds[0]] {
        int bytes = 0;
        return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
    };
    std::vector<std::string> lines;
    for (std::size_t calls = 0; calls < stream.size() + 16; ++calls) {
        const bool writerFinished = writerDone.load();
        const int before = unread();
        if (writerFinished && before == 0)
            break; // only the end of the stream is left
        std::string line = reader.ReceiveLine(sep);
        const int after = unread();
        lines.push_back(std::move(line));
        // Nothing taken although bytes wait and no more come: the rest was dropped at the limit.
        if (writerFinished && lines.back().empty() && before == after && after > 0)
            break;
    }
    writer.join();
    reader.Close();
    close(fds[1]);

    for (const std::string& line : lines)
        FUZZ_CHECK(limit == 0 || line.size() <= limit);
    // A zero byte drops what follows it in the same peek, so the text on either side of the
    // dropped bytes may join into a separator ("\r", zero, "\n"); without zero bytes no line
    // holds one.
    if (stream.find('\0') == std::string::npos) {
        for (const std::string& line : lines)
            FUZZ_CHECK(line.find(sep) == std::string::npos);
        std::vector<std::string> expected = expectedLines(stream, sep, limit);
        // A read that was waiting when the stream ended gives one more empty text.
        while (lines.size() > expected.size() && lines.back().empty())
            lines.pop_back();
        if (lines != expected) {
            const auto show = [](const char* what, const std::vector<std::string>& list) {
                std::fprintf(stderr, "%s:", what);
                for (const std::string& l : list)
                    std::fprintf(stderr, " [%s]", l.c_str());
                std::fprintf(stderr, "\n");
            };
            show("read", lines);
            show("expected", expected);
        }
        FUZZ_CHECK(lines == expected);
    }
    return 0;
}
