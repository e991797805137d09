// The friend line of a login reply: "#" + name per friend. Any text the directory (or whoever
// answers in its place) sends must give names that hold no "#" and that, joined again with
// "#", give back everything after the first "#".
#include "check.h"

#include "login.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList names = TForm1::parseFriendText(text);
    const qsizetype first = text.indexOf('#');
    if (first < 0) {
        FUZZ_CHECK(names.isEmpty());
        return 0;
    }
    FUZZ_CHECK(names.size() == text.count('#'));
    for (const QString& name : names)
        FUZZ_CHECK(!name.contains('#'));
    FUZZ_CHECK(names.join('#') == text.mid(first + 1));
    return 0;
}
