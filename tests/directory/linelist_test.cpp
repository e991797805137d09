// Replies are read back as line lists; how bytes become lines decides whether "OK" is "OK".
#include "directory/errors.h"
#include "directory/linelist.h"
#include "scratch_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using sorvane::EFOpenError;
using sorvane::EListError;
using sorvane::LineList;
using sorvane::test::TempDir;
using sorvane::test::writeFile;

namespace {

struct Split {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
};

std::ostream& operator<<(std::ostream& os, const Split& s) {
    return os << s.name;
}

const Split kSplits[] = {
    {"EmptyFile", "", {}},
    {"TokenWithoutLineEnd", "OK", {"OK"}},
    {"TokenThenCrLf", "OK\r\n", {"OK"}},
    {"TokenThenLf", "OK\n", {"OK"}},
    {"TokenThenCr", "OK\r", {"OK"}},
    {"BlankLineAfterToken", "OK\r\n\r\n", {"OK", ""}},
    {"OnlyALineEnd", "\r\n", {""}},
    {"LeadingBlankLines", "\n\r\nx", {"", "", "x"}},
    {"LfSeparated", "10.0.0.5\n4321", {"10.0.0.5", "4321"}},
    {"EveryKindOfLineEnd", "a\r\nb\nc\rd", {"a", "b", "c", "d"}},
    {"CrCrLfIsTwoEnds", "a\r\r\nb", {"a", "", "b"}},
    {"LfCrIsTwoEnds", "a\n\rb", {"a", "", "b"}},
    {"NulEndsTheText", std::string("OK\0#ann\r\n#bob", 13), {"OK"}},
    {"NulFirstGivesNothing", std::string("\0OK", 3), {}},
    {"NulAfterLineEnd", std::string("OK\r\n\0x\r\n", 8), {"OK"}},
    {"BlanksAndTabsKept", " OK \t\r\n", {" OK \t"}},
    {"TrailingBlankKept", "OK \r\n", {"OK "}},
    {"ByteOrderMarkKept", "\xEF\xBB\xBFOK\r\n", {"\xEF\xBB\xBFOK"}},
    {"EightBitBytesKept", "Zo\xC3\xAB\r\nS\xC3\xA3o Paulo", {"Zo\xC3\xAB", "S\xC3\xA3o Paulo"}},
    {"FriendLine", "OK\r\n#ann@x.org#bob@y.org\r\n", {"OK", "#ann@x.org#bob@y.org"}},
};

class LineSplitting : public ::testing::TestWithParam<Split> {};

TEST_P(LineSplitting, FromBytes) {
    EXPECT_EQ(LineList::fromBytes(GetParam().bytes).lines(), GetParam().lines);
}

TEST_P(LineSplitting, FromARealFile) {
    TempDir dir;
    const auto file = dir / "temp.txt";
    writeFile(file, GetParam().bytes);
    const auto list = LineList::loadFromFile(file);
    EXPECT_EQ(list.lines(), GetParam().lines);
    EXPECT_EQ(list.count(), static_cast<int>(GetParam().lines.size()));
    EXPECT_EQ(list.empty(), GetParam().lines.empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, LineSplitting, ::testing::ValuesIn(kSplits),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineListIndex, ReadsLinesByZeroBasedIndex) {
    const auto list = LineList::fromBytes("10.0.0.5\r\n4321\r\n");
    EXPECT_EQ(list[0], "10.0.0.5");
    EXPECT_EQ(list[1], "4321");
}

TEST(LineListIndex, OutOfBoundsNamesTheIndex) {
    const auto cases = std::vector<std::pair<std::string, int>>{
        {"", 0}, {"only\r\n", 1}, {"only\r\n", -1}, {"a\nb\nc", 7}};
    for (const auto& [bytes, index] : cases) {
        const auto list = LineList::fromBytes(bytes);
        try {
            (void)list[index];
            ADD_FAILURE() << "index " << index << " of a " << list.count() << "-line list";
        } catch (const EListError& e) {
            EXPECT_STREQ(e.what(),
                         ("List index out of bounds (" + std::to_string(index) + ")").c_str());
        }
    }
}

TEST(LineListLoad, MissingFileIsAnOpenErrorNamingPathAndReason) {
    TempDir dir;
    const auto file = dir / "temp5.txt";
    try {
        (void)LineList::loadFromFile(file);
        FAIL() << "a missing file loaded";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + file.string() + "\". No such file or directory");
    }
}

TEST(LineListLoad, FolderInPlaceOfTheFileIsAnOpenError) {
    TempDir dir;
    try {
        (void)LineList::loadFromFile(dir.path());
        FAIL() << "a folder loaded as a file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + dir.path().string() + "\". Is a directory");
    }
}

TEST(LineListLoad, LargeFileLoadsWhole) {
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 3000; ++i)
        bytes += "user" + std::to_string(i) + "@example.org\r\n";
    writeFile(dir / "temp5.txt", bytes);
    const auto list = LineList::loadFromFile(dir / "temp5.txt");
    ASSERT_EQ(list.count(), 3000);
    EXPECT_EQ(list[0], "user0@example.org");
    EXPECT_EQ(list[2999], "user2999@example.org");
}

} // namespace
