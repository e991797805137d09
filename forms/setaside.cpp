#include "setaside.h"

#include "ui/artwork.h"

#include <QStyle>

TSetAsideBox::TSetAsideBox(Context& context, QWidget* parent) : Form(context.boxes, parent) {
    ui.setupUi(this);
    history_.emplace(ui.Memo1);
    setWindowFlags(Qt::Window);
    setWindowIcon(sorvane::ui::artwork::programIcon());
    ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    setDefaultButton(ui.BitBtn1);
    setCancelButton(ui.BitBtn1);
    setFirstControl(ui.BitBtn1);
    connect(ui.BitBtn1, &QPushButton::clicked, this, [this] { close(); });
}

void TSetAsideBox::showLines(const sorvane::engine::SetAsideLines& lines) {
    if (lines.dropped > 0)
        history_->append(sorvane::ui::History::droppedNote(lines.dropped));
    for (const sorvane::engine::Arrival& arrival : lines.lines) {
        history_->append(arrival.line);
        if (!arrival.note.isEmpty())
            history_->append(arrival.note);
    }
}
