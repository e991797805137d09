#include "editinfo.h"

#include "globals.h"
#include "login.h"

#include "directory/directory.h"
#include "directory/errors.h"
#include "engine/thread.h"
#include "ui/messages.h"

#include <QStyle>

namespace {
// The text is what the window reads and sends; the list opens at the item it names, if any.
void setBoxText(QComboBox* box, const QString& text) {
    box->setCurrentIndex(box->findText(text));
    box->setEditText(text);
}
} // namespace

TForm7::TForm7(Context& context, QWidget* parent) : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    ui.BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    setDefaultButton(ui.BitBtn1);
    setCancelButton(ui.BitBtn2);

    // The boxes offer their items but start with no text: an unloaded profile is empty, and
    // nothing the user did not choose may be sent back.
    for (QComboBox* box : {ui.ComboBox1, ui.ComboBox2, ui.ComboBox3, ui.ComboBox4, ui.ComboBox5}) {
        box->setCurrentIndex(-1);
        box->clearEditText();
    }

    connect(ui.BitBtn1, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn1Click(); }); });
    connect(ui.BitBtn2, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn2Click(); }); });
    setFirstControl(ui.Edit1);
}

std::optional<sorvane::LineList> TForm7::readProfile(Context& context) {
    SORVANE_ASSERT_UI_THREAD();
    sorvane::LineList reply;
    try {
        reply = context.directory.viewProfile(Form1->ui.Edit1->text().toStdString());
    } catch (const sorvane::EDirectoryUnreachable&) {
        reply.clear(); // not read, as a reply that names nobody
    }
    if (reply.count() < 9) {
        context.boxes.showMessage(
            QStringLiteral("Your profile could not be read. Try again later."));
        return std::nullopt;
    }
    return reply;
}

void TForm7::FormShow() {
    SORVANE_ASSERT_UI_THREAD();
    const sorvane::LineList& reply = profile;
    // Lines 1 to 8: name, surname, gender, day, month, year, city, country. Line 0 names the
    // profile's owner, whom this window already knows.
    QLineEdit* const edits[8] = {ui.Edit1, ui.Edit2, nullptr,  nullptr,
                                 nullptr,  nullptr,  ui.Edit7, nullptr};
    QComboBox* const lists[8] = {nullptr,      nullptr,      ui.ComboBox2, ui.ComboBox3,
                                 ui.ComboBox4, ui.ComboBox5, nullptr,      ui.ComboBox1};
    for (int i = 1; i < reply.count() && i <= 8; ++i) {
        const QString line = QString::fromStdString(reply[i]);
        if (edits[i - 1])
            edits[i - 1]->setText(line);
        else
            setBoxText(lists[i - 1], line);
    }
}

void TForm7::BitBtn1Click() {
    SORVANE_ASSERT_UI_THREAD();
    const auto value = [](const QString& text) { return text.toStdString(); };
    sorvane::directory::Profile profile;
    profile.name = value(ui.Edit1->text());
    profile.surname = value(ui.Edit2->text());
    profile.gender = value(ui.ComboBox2->currentText());
    profile.day = value(ui.ComboBox3->currentText());
    profile.month = value(ui.ComboBox4->currentText());
    profile.year = value(ui.ComboBox5->currentText());
    profile.city = value(ui.Edit7->text());
    profile.country = value(ui.ComboBox1->currentText());

    const sorvane::LineList reply =
        context_.directory.saveProfile(Form1->ui.Edit1->text().toStdString(), profile);
    if (reply.empty())
        return;
    if (reply[0] == "OK")
        close();
    else if (sorvane::directory::needsNewLogin(reply))
        Form1->logInAgain(); // the window stays, with what was typed, for OK after the login
    else
        context_.boxes.showMessage(QStringLiteral("Error"));
}

void TForm7::BitBtn2Click() {
    close();
}
