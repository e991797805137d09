// The new user window's own test of an e-mail address, on any text typed or pasted. An
// address it lets through always has an "@" and a "." and no blank, and neither starts nor
// ends with one of "@" or "."; nor does a "." stand right beside the first "@".
#include "check.h"

#include "newuser.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!TForm2::IsRealAddress(text))
        return 0;
    const qsizetype at = text.indexOf('@');
    FUZZ_CHECK(at > 0 && at + 1 < text.size());
    FUZZ_CHECK(text.contains('.') && !text.contains(' '));
    FUZZ_CHECK(text.front() != '.' && text.back() != '.' && text.back() != '@');
    FUZZ_CHECK(text.at(at - 1) != '.' && text.at(at + 1) != '.');
    // The window forces lower case as the user types; the test must not depend on case.
    FUZZ_CHECK(TForm2::IsRealAddress(text.toLower()));
    return 0;
}
