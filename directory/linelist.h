#pragma once
// An ordered list of text lines read back from a reply.
// A line ends at CR, LF or CR LF; a NUL byte ends the text; a line end at the very end gives
// no empty last line; an empty file gives no lines; lines are never trimmed.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

class LineList {
public:
    LineList() = default;
    static LineList fromBytes(std::string_view bytes);
    // Throws EFOpenError when the file cannot be opened for reading.
    static LineList loadFromFile(const std::filesystem::path& file);

    int count() const { return static_cast<int>(lines_.size()); }
    bool empty() const { return lines_.empty(); }
    // Throws EListError("List index out of bounds (<index>)") outside 0 .. count()-1.
    const std::string& operator[](int index) const;
    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

} // namespace sorvane
