// The line list loader: any bytes, as a reply body from the directory or a scratch file.
// The lines must be exactly those a plain reading of the rules gives: a line ends at CR, LF or
// CR LF; a NUL byte ends the text; a final line end gives no empty last line.
#include "check.h"

#include "directory/errors.h"
#include "directory/linelist.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string> plainReading(std::string_view bytes) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false; // a line has started and not ended
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\0')
            break;
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            open = false;
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            continue;
        }
        current += c;
        open = true;
    }
    if (open)
        lines.push_back(current);
    return lines;
}

void checkSame(const sorvane::LineList& list, const std::vector<std::string>& expected) {
    FUZZ_CHECK(list.count() == static_cast<int>(expected.size()));
    for (int i = 0; i < list.count(); ++i)
        FUZZ_CHECK(list[i] == expected[static_cast<std::size_t>(i)]);
    bool outOfBounds = false;
    try {
        (void)list[list.count()];
    } catch (const sorvane::EListError&) {
        outOfBounds = true;
    }
    FUZZ_CHECK(outOfBounds);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> expected = plainReading(bytes);
    checkSame(sorvane::LineList::fromBytes(bytes), expected);

    // The same bytes read back from a file, as a reply is.
    const int fd = memfd_create("reply", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    if (written == size)
        checkSame(sorvane::LineList::loadFromFile("/proc/self/fd/" + std::to_string(fd)), expected);
    close(fd);
    return 0;
}
