#include "search.h"

#include "globals.h"
#include "main.h"

#include "directory/directory.h"
#include "directory/errors.h"
#include "engine/thread.h"
#include "ui/artwork.h"

#include <QCursor>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>

bool TForm5::Row::operator<(const QTableWidgetItem& other) const {
    return QString::localeAwareCompare(text(), other.text()) < 0;
}

TForm5::TForm5(Context& context, QWidget* parent) : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    ui.BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    // No default button: Enter in the search box starts nothing.
    settleButtons();
    setCancelButton(ui.BitBtn2);

    // The rows always read in ascending order; the heading does not turn it round.
    QHeaderView* heading = ui.ListView1->horizontalHeader();
    heading->setSectionsClickable(false);
    ui.ListView1->sortByColumn(0, Qt::AscendingOrder);
    heading->setSortIndicatorShown(false);

    ui.Add1->setIcon(QIcon(sorvane::ui::artwork::searchAdd()));
    PopupMenu1 = new QMenu(this);
    PopupMenu1->addAction(ui.Add1);

    connect(ui.BitBtn1, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn1Click(); }); });
    connect(ui.BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
    connect(PopupMenu1, &QMenu::aboutToShow, this,
            [this] { handle([this] { PopupMenu1Popup(); }); });
    connect(ui.Add1, &QAction::triggered, this, [this] { handle([this] { Add1Click(); }); });
    connect(ui.ListView1, &QWidget::customContextMenuRequested, this,
            [this] { PopupMenu1->popup(QCursor::pos()); });
    ui.ListView1->viewport()->installEventFilter(this);

    FormCreate();
    setFirstControl(ui.Edit1);
}

bool TForm5::eventFilter(QObject* watched, QEvent* event) {
    // The menu opens after the click has been delivered in full, its selection included, rather
    // than from inside the release that ends it.
    if (watched == ui.ListView1->viewport() && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        QMetaObject::invokeMethod(
            this, [this] { handle([this] { ListView1Click(); }); }, Qt::QueuedConnection);
    return Form::eventFilter(watched, event);
}

void TForm5::FormCreate() {
    ui.ListView1->setColumnWidth(0, 150);
}

void TForm5::addRow(const QString& caption) {
    // With sorting on, the row moves to its place as soon as its caption is set.
    const int row = ui.ListView1->rowCount();
    ui.ListView1->insertRow(row);
    ui.ListView1->setItem(row, 0, new Row(caption));
}

void TForm5::BitBtn1Click() {
    SORVANE_ASSERT_UI_THREAD();
    ui.ListView1->setRowCount(0);
    sorvane::LineList reply;
    try {
        reply = context_.directory.search(ui.Edit1->text().toStdString());
    } catch (const sorvane::EDirectoryFailed& failed) {
        // The directory's own words ("Error: too many searches, try again later") are said as
        // they are, never listed as a user; a failure without them goes to the error box.
        if (failed.serverLine().empty())
            throw;
        context_.boxes.showMessage(QString::fromStdString(failed.serverLine()));
        return;
    }
    for (const std::string& line : reply.lines())
        addRow(QString::fromStdString(line));
}

void TForm5::ListView1Click() {
    PopupMenu1->popup(QCursor::pos());
}

void TForm5::PopupMenu1Popup() {
    ui.Add1->setEnabled(!ui.ListView1->selectedItems().isEmpty());
}

void TForm5::Add1Click() {
    const QList<QTableWidgetItem*> selected = ui.ListView1->selectedItems();
    if (selected.isEmpty())
        return; // the menu offers "Add" only with a row selected
    Form3->addFriend(selected.first()->text());
}
