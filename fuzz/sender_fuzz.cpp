// The sender's name in a received line, as the dispatch reads it: any bytes a peer may send,
// decoded as the listener hands them on, through the queue between the connection threads
// and the user-interface thread, then GetPartOfLine1 with "<" and ">" and with markers taken
// from the input itself.
//
// Input: byte 0 is the length of the start marker and byte 1 that of the end marker (each
// taken modulo 4) for the free GetPartOfLine1 call; the markers follow; the rest is the line.
#include "check.h"

#include "engine/inbound.h"
#include "main.h"
#include "ui/notifier.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// GetPartOfLine1's result is a piece of the line: from the start marker (or from the start
// when there is none) up to, not including, the first end marker after it.
void checkPart(const QString& line, const QString& start, const QString& end) {
    const QString part = TForm3::GetPartOfLine1(line, start, end);
    if (part.isEmpty())
        return;
    const qsizetype a = line.indexOf(start);
    const qsizetype from = a < 0 ? 0 : a;
    FUZZ_CHECK(line.mid(from, part.size()) == part);
    FUZZ_CHECK(from + part.size() <= line.size());
    // The end marker is looked for from the start marker's second character on, so the part
    // may stop inside a start marker of more than one character.
    if (a >= 0 && !start.isEmpty())
        FUZZ_CHECK(part.startsWith(start) || start.startsWith(part));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t startLength = data[0] % 4;
    const std::size_t endLength = data[1] % 4;
    if (size < 2 + startLength + endLength)
        return 0;
    const auto* bytes = reinterpret_cast<const char*>(data);
    const QString start = QString::fromUtf8(bytes + 2, static_cast<qsizetype>(startLength));
    const QString end =
        QString::fromUtf8(bytes + 2 + startLength, static_cast<qsizetype>(endLength));
    const std::string received(bytes + 2 + startLength, size - 2 - startLength);

    checkPart(QString::fromStdString(received), start, end);

    // The dispatch's path: queued by a connection thread, taken whole by the dispatch.
    sorvane::engine::InboundText inbound;
    FUZZ_CHECK(inbound.append({received, "10.77.0.9"}));
    FUZZ_CHECK(!inbound.append({"<x> y", "127.0.0.1"}));
    const auto taken = inbound.takeAll();
    FUZZ_CHECK(taken.size() == 2 && taken.front().text == received &&
               taken.front().from == "10.77.0.9");
    FUZZ_CHECK(inbound.takeAll().empty());

    const QString line = QString::fromStdString(taken.front().text);
    checkPart(line, "<", ">");
    const std::optional<QString> sender = TForm3::senderOfLine(line);
    bool blank = true;
    for (const QChar c : line)
        blank = blank && c.unicode() <= 32;
    FUZZ_CHECK(sender.has_value() != blank);
    if (sender) {
        // A line that names its sender in the "<" ... ">" header is filed under exactly that
        // name; without a "<", the name is what stands between the first character and the
        // first ">", that one included.
        const qsizetype open = line.indexOf('<');
        const qsizetype close = line.indexOf('>', open + 1);
        if (close < 0)
            FUZZ_CHECK(sender->isEmpty());
        else if (open >= 0)
            FUZZ_CHECK(*sender == line.mid(open + 1, close - open - 1));
        else
            FUZZ_CHECK(*sender == line.mid(1, close));
        // What a notification shows: the text after the header and its one blank, or the whole
        // line when it has no header; as a notification body, with no markup left in it.
        const QString text = TForm3::textOfLine(line);
        if (open >= 0 && close >= 0) {
            const QString after = line.mid(close + 1);
            FUZZ_CHECK(text == (after.startsWith(' ') ? after.mid(1) : after));
        } else {
            FUZZ_CHECK(text == line);
        }
        const QString body = sorvane::ui::DBusNotifier::escapedBody(text);
        FUZZ_CHECK(!body.contains('<') && !body.contains('>'));
        FUZZ_CHECK(body.count('&') == text.count('&') + text.count('<') + text.count('>'));
    }
    return 0;
}
