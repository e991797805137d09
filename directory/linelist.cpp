#include "linelist.h"

#include "errors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sorvane {

LineList LineList::fromBytes(std::string_view bytes) {
    // A NUL byte ends the text, as it does for the 8-bit text the directory replies with.
    if (const auto nul = bytes.find('\0'); nul != std::string_view::npos)
        bytes = bytes.substr(0, nul);

    LineList list;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            list.lines_.emplace_back(bytes.substr(pos));
            break;
        }
        list.lines_.emplace_back(bytes.substr(pos, end - pos));
        pos = end + 1;
        // CR LF is one line end; LF CR, CR CR and LF LF are two.
        if (bytes[end] == '\r' && pos < bytes.size() && bytes[pos] == '\n')
            ++pos;
    }
    return list;
}

LineList LineList::loadFromFile(const std::filesystem::path& file) {
    const auto cannotOpen = [&file](int err) {
        return EFOpenError("Cannot open file \"" + file.string() + "\". " + std::strerror(err));
    };
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw cannotOpen(errno);

    std::string bytes;
    char buffer[4096];
    int err = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            err = errno;
            break;
        }
    }
    ::close(fd);
    // A path that opens but cannot be read (a folder, say) is as unreadable as a missing file.
    if (err != 0)
        throw cannotOpen(err);
    return fromBytes(bytes);
}

const std::string& LineList::operator[](int index) const {
    if (index < 0 || index >= count())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return lines_[static_cast<std::size_t>(index)];
}

} // namespace sorvane
