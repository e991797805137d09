#include "about.h"

#include "globals.h"

#include "ui/artwork.h"
#include "ui/desktop.h"
#include "ui/fonts.h"

#include <QApplication>
#include <QMouseEvent>
#include <QStyle>

#include <algorithm>

TAboutBox::TAboutBox(Context& context, QWidget* parent)
    : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    setDefaultButton(ui.BitBtn1);
    setFirstControl(ui.BitBtn1);

    // Labels take the size of their text, so that a link is "under the pointer" only where
    // its text is; measured in the faces the window will be shown in.
    sorvane::ui::adoptStandInFonts(this);
    int right = 0;
    for (QLabel* label :
         {ui.Label1, ui.Label2, ui.Label3, ui.Label4, ui.Label5, ui.Label6, ui.Label7, ui.Label8}) {
        label->adjustSize();
        right = std::max(right, label->geometry().right() + 1);
    }
    // The copyright line and the e-mail address are wider than the layout's 234 pixels allow
    // in most faces; the window grows so that none of them is cut off.
    const int margin = ui.Image1->x() - 1;
    if (right + margin > width())
        setFixedSize(right + margin, height());

    // Pointer moves reach the handlers without a button held. The licence note and the icon's
    // frame have none and keep the links as they are.
    for (QWidget* w :
         std::initializer_list<QWidget*>{this, ui.Image1, ui.Label1, ui.Label2, ui.Label3,
                                         ui.Label4, ui.Label5, ui.Label6, ui.Label7, ui.BitBtn1}) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }

    connect(ui.BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

    FormCreate();
    showHover(nullptr);
}

TAboutBox::~TAboutBox() {
    if (AboutBox == this)
        AboutBox = nullptr; // the reference must not outlive the window it names
}

void TAboutBox::FormCreate() {
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = sorvane::ui::artwork::programIcon();
    ui.Image1->setPixmap(icon.pixmap(32, 32));
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        if (watched == ui.Label5) {
            handle([this] { Label5MouseMove(); });
            return true; // the window behind must not take the move as its own
        }
        if (watched == ui.Label7) {
            handle([this] { Label7MouseMove(); });
            return true;
        }
        handle([this] { FormMouseMove(); });
        return false; // the OK button still needs moves while it is held down
    }
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        auto* label = qobject_cast<QLabel*>(watched);
        const bool inside =
            label && label->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint());
        if (inside && label == ui.Label5)
            handle([this] { Label5Click(); });
        if (inside && label == ui.Label7)
            handle([this] { Label7Click(); });
    }
    return Form::eventFilter(watched, event);
}

void TAboutBox::showHover(QLabel* hot) {
    for (QLabel* link : {ui.Label5, ui.Label7}) {
        const bool lit = link == hot;
        QFont font = link->font();
        font.setBold(false);
        font.setItalic(false);
        font.setStrikeOut(false);
        font.setUnderline(lit);
        link->setFont(font);
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, lit ? QColor(255, 0, 0) : QColor(0, 0, 255));
        link->setPalette(palette);
    }
}

void TAboutBox::FormMouseMove() {
    showHover(nullptr);
}

void TAboutBox::Label5MouseMove() {
    showHover(ui.Label5);
}

void TAboutBox::Label7MouseMove() {
    showHover(ui.Label7);
}

void TAboutBox::Label5Click() {
    context_.desktop.open(QString::fromLatin1(kWebAddress));
}

void TAboutBox::Label7Click() {
    context_.desktop.open(QStringLiteral("mailto:") + QString::fromLatin1(kMailAddress));
}

void TAboutBox::FormClose() {
    deleteLater();
}
