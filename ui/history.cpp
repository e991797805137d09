#include "history.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>

namespace sorvane::ui {

History::History(QPlainTextEdit* view, int maxLines, qsizetype maxCharacters)
    : view_(view), maxLines_(maxLines), maxCharacters_(maxCharacters) {
    // What leaves the top must not stay behind in the undo record.
    view_->document()->setUndoRedoEnabled(false);
}

QString History::droppedNote(long long count) {
    return count == 1 ? QStringLiteral("(1 earlier line was dropped)")
                      : QStringLiteral("(%1 earlier lines were dropped)").arg(count);
}

void History::append(const QString& line) {
    // Beyond a few thousand characters the layout cost of an unbroken run becomes noticeable.
    constexpr qsizetype kLongestWrappedRun = 2000;
    if (view_->wordWrapMode() != QTextOption::WrapAnywhere) {
        qsizetype run = 0;
        for (const QChar c : line) {
            run = c.isSpace() ? 0 : run + 1;
            if (run > kLongestWrappedRun) {
                view_->setWordWrapMode(QTextOption::WrapAnywhere);
                break;
            }
        }
    }
    QTextDocument* const document = view_->document();
    QScrollBar* const bar = view_->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    const int before = document->blockCount();
    // The first line of an empty view takes the block the document always has.
    const bool first = kept_.empty() && dropped_ == 0;
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (!first)
        cursor.insertBlock();
    cursor.insertText(line);
    const int blocks = document->blockCount() - before + (first ? 1 : 0);
    kept_.push_back({blocks, line.size()});
    characters_ += line.size();
    while (kept_.size() > 1 &&
           (static_cast<int>(kept_.size()) > maxLines_ || characters_ > maxCharacters_))
        dropOldest();
    // A reader who is at the end stays there; one who scrolled back to read stays put.
    if (atBottom)
        bar->setValue(bar->maximum());
}

void History::dropOldest() {
    QTextDocument* const document = view_->document();
    const Kept oldest = kept_.front();
    kept_.pop_front();
    characters_ -= oldest.characters;
    // The oldest line starts below the note, once there is one.
    const int first = dropped_ > 0 ? 1 : 0;
    const QTextBlock from = document->findBlockByNumber(first);
    const QTextBlock next = document->findBlockByNumber(first + oldest.blocks);
    QTextCursor cursor(document);
    cursor.setPosition(from.position());
    cursor.setPosition(next.position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    ++dropped_;
    cursor.movePosition(QTextCursor::Start);
    if (dropped_ == 1) {
        cursor.insertText(droppedNote(dropped_));
        cursor.insertBlock();
    } else {
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(droppedNote(dropped_));
    }
}

} // namespace sorvane::ui
