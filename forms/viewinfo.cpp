#include "viewinfo.h"

#include "directory/directory.h"
#include "engine/thread.h"

#include <QLineEdit>
#include <QPalette>
#include <QStyle>

TForm6::TForm6(Context& context, QWidget* parent) : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    setDefaultButton(ui.BitBtn1);

    // Display fields, not inputs: painted in the button-shadow colour so they read as such.
    for (QLineEdit* field :
         {ui.Edit1, ui.Edit2, ui.Edit3, ui.Edit4, ui.Edit5, ui.Edit6, ui.Edit7, ui.Edit8}) {
        QPalette palette = field->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Dark));
        field->setPalette(palette);
    }

    connect(ui.BitBtn1, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn1Click(); }); });
    setFirstControl(ui.BitBtn1);
}

void TForm6::FormShow() {
    SORVANE_ASSERT_UI_THREAD();
    const sorvane::LineList reply = context_.directory.viewProfile(windowTitle().toStdString());
    QLineEdit* const fields[] = {ui.Edit1, ui.Edit2, ui.Edit3, ui.Edit4,
                                 ui.Edit5, ui.Edit6, ui.Edit7, ui.Edit8};
    for (int i = 0; i < reply.count() && i <= 8; ++i) {
        const QString line = QString::fromStdString(reply[i]);
        if (i == 0) {
            setWindowTitle(line);
        } else {
            fields[i - 1]->setText(line);
            fields[i - 1]->setCursorPosition(0); // a long value shows its start
        }
    }
}

void TForm6::BitBtn1Click() {
    close();
}
