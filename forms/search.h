#pragma once
// The search window: finds users by name in the directory and adds a found user as a friend.
#include "context.h"
#include "ui/form.h"
#include "ui_search.h"

#include <QTableWidgetItem>

class QMenu;

class TForm5 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm5(Context& context, QWidget* parent = nullptr);

    Ui::TForm5 ui;
    QMenu* PopupMenu1;

    // A result row: rows order themselves by the locale's case-sensitive comparison of their
    // captions, so the list reads alphabetically whatever order the directory answered in.
    class Row : public QTableWidgetItem {
    public:
        using QTableWidgetItem::QTableWidgetItem;
        bool operator<(const QTableWidgetItem& other) const override;
    };

    void FormCreate();
    void BitBtn1Click();
    void ListView1Click();
    void PopupMenu1Popup();
    void Add1Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addRow(const QString& caption);

    Context& context_;
};
