#pragma once
// A read-only history of lines in a plain-text view that keeps only its most recent lines, so
// that a window fed without end (a flood of lines, a partner pasting megabytes) keeps its memory
// and the cost of each append bounded. Lines that leave are counted in a first line above the
// rest. A line may hold line breaks; it counts as one line and leaves as a whole.
#include <QString>

#include <deque>

class QPlainTextEdit;

namespace sorvane::ui {

class History {
public:
    static constexpr int MaxLines = 5000;
    // Also bounded by its characters: 5,000 lines of a megabyte each would be gigabytes. Far
    // above what 5,000 ordinary lines hold, so it only ever bites on floods of long lines.
    static constexpr qsizetype MaxCharacters = qsizetype{4} << 20;

    explicit History(QPlainTextEdit* view, int maxLines = MaxLines,
                     qsizetype maxCharacters = MaxCharacters);

    // Appends `line` at the end, dropping the oldest lines beyond the bounds (never the newest).
    // A run of characters too long to wrap at word boundaries in reasonable time switches the
    // view to wrapping anywhere: laying such a run out at word boundaries takes time that grows
    // with the square of its length, minutes for a megabyte.
    void append(const QString& line);

    int lines() const { return static_cast<int>(kept_.size()); }
    long long dropped() const { return dropped_; }

    // The first line once lines have been dropped.
    static QString droppedNote(long long count);

private:
    struct Kept {
        int blocks;
        qsizetype characters;
    };
    void dropOldest();

    QPlainTextEdit* const view_;
    const int maxLines_;
    const qsizetype maxCharacters_;
    std::deque<Kept> kept_;
    qsizetype characters_ = 0;
    long long dropped_ = 0;
};

} // namespace sorvane::ui
