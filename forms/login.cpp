#include "login.h"

#include "globals.h"
#include "main.h"
#include "windows.h"

#include "directory/directory.h"
#include "engine/thread.h"
#include "engine/user_data.h"
#include "net/sockets.h"
#include "ui/timer.h"

#include <QStyle>
#include <QTimer>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

std::uint8_t ShakeStep = 0;

TForm1::TForm1(Context& context, QWidget* parent) : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setDefaultButton(ui.BitBtn1);
    setFirstControl(ui.Edit1);

    Timer1 = new sorvane::ui::Timer(context.boxes, 100, true, this);
    Timer1->onTimer = [this] { Timer1Timer(); };

    connect(ui.RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            handle([this] { RadioButton1Click(); });
    });
    connect(ui.RadioButton2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            handle([this] { RadioButton2Click(); });
    });
    connect(ui.Edit1, &sorvane::ui::LowerCaseEdit::changed, this,
            [this] { handle([this] { Edit1Change(); }); });
    connect(ui.MaskEdit1, &QLineEdit::textChanged, this,
            [this] { handle([this] { MaskEdit1Change(); }); });
    connect(ui.BitBtn1, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn1Click(); }); });

    FormCreate();
}

void TForm1::paintEvent(QPaintEvent* event) {
    Form::paintEvent(event);
    if (okPictureAsked_)
        return;
    okPictureAsked_ = true;
    // The OK button's picture is the desktop icon theme's. The theme's first look-up reads its
    // index and searches its folders, which took longer than building this window: it is asked
    // for once the window has been drawn, so that the window comes up without waiting for it.
    QTimer::singleShot(
        0, this, [this] { ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton)); });
}

void TForm1::FormCreate() {
    ShakeStep = 0;
}

void TForm1::Timer1Timer() {
    // Moves "Create New User" round a small diamond to draw the newcomer's eye to it.
    QRadioButton* b = ui.RadioButton1;
    const auto moveBy = [b](int dx, int dy) { b->move(b->x() + dx, b->y() + dy); };
    switch (ShakeStep) {
    case 0:
        moveBy(0, 2);
        moveBy(2, 0);
        ShakeStep = 1;
        break;
    case 1:
        moveBy(-2, 0);
        moveBy(0, 2);
        ShakeStep = 2;
        break;
    case 2:
        moveBy(0, -2);
        moveBy(-2, 0);
        ShakeStep = 3;
        break;
    case 3:
        moveBy(2, 0);
        moveBy(0, -2);
        ShakeStep = 0;
        break;
    default:
        break;
    }
}

void TForm1::applyOkButtonRule() {
    if (ui.RadioButton2->isChecked() && !ui.Edit1->text().isEmpty() &&
        !ui.MaskEdit1->text().isEmpty())
        ui.BitBtn1->setEnabled(true);
    else
        ui.BitBtn1->setEnabled(ui.RadioButton1->isChecked());
}

void TForm1::RadioButton1Click() {
    ui.GroupBox1->hide();
    ui.BitBtn1->setEnabled(true);
}

void TForm1::RadioButton2Click() {
    ui.GroupBox1->show();
    applyOkButtonRule();
}

void TForm1::Edit1Change() {
    applyOkButtonRule();
}

void TForm1::MaskEdit1Change() {
    applyOkButtonRule();
}

void TForm1::BitBtn1Click() {
    SORVANE_ASSERT_UI_THREAD();
    if (ui.RadioButton1->isChecked()) {
        openNewUserWindow(context_);
        hide();
    }
    if (ui.RadioButton2->isChecked())
        login();
}

QStringList TForm1::parseFriendText(const QString& text) {
    // The directory puts "#" before every name. Text in front of the first "#" names nobody
    // (no directory we know sends it), so it is left out rather than shown as a friend.
    QStringList names;
    const qsizetype first = text.indexOf('#');
    if (first < 0)
        return names;
    QString rest = text.mid(first);
    while (!rest.isEmpty()) {
        rest.remove(0, 1); // the "#" that starts this entry
        const qsizetype next = rest.indexOf('#');
        if (next < 0) {
            names << rest;
            break;
        }
        names << rest.left(next);
        rest.remove(0, next);
    }
    return names;
}

namespace {
bool canListenOn(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}
} // namespace

int TForm1::drawListeningPort(std::mt19937& generator) {
    // Ports below 1024 need privileges and 0 would give a port nobody is told about; a port
    // another program holds would register an address nobody answers on.
    std::uniform_int_distribution<int> draw(1024, 9999);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int port = draw(generator);
        if (canListenOn(port))
            return port;
    }
    return draw(generator);
}

std::filesystem::path TForm1::dataDirOf(const QString& user) const {
    return context_.dataRoot.empty()
               ? sorvane::engine::userDataDir(user.toStdString())
               : context_.dataRoot / sorvane::engine::folderNameOf(user.toStdString());
}

std::shared_ptr<const sorvane::engine::sealing::Identity> TForm1::identityFor(const QString& user) {
    // Made before the user's first login on this computer; one that cannot be used is said once
    // a run, and the messenger goes on without sealing (publishing no key).
    sorvane::engine::IdentityFile file = sorvane::engine::loadOrMakeIdentity(dataDirOf(user));
    if (!file.identity) {
        if (!identityProblemsShown_.contains(user))
            context_.boxes.showError(QString::fromStdString(file.problem) + '.');
        identityProblemsShown_.insert(user);
        return nullptr;
    }
    return std::make_shared<const sorvane::engine::sealing::Identity>(std::move(*file.identity));
}

void TForm1::logInAgain() {
    context_.boxes.showMessage(
        QStringLiteral("You logged in elsewhere, or your address changed. Log in again."));
    ui.RadioButton2->setChecked(true);
    ui.RadioButton1->setEnabled(false); // a new user would be someone else
    ui.Edit1->setReadOnly(true);
    ui.MaskEdit1->clear();
    showModeless();
    ui.MaskEdit1->setFocus(); // the e-mail is there; the password comes next
}

void TForm1::login() {
    std::mt19937 generator(static_cast<std::mt19937::result_type>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    const QString port = QString::number(drawListeningPort(generator));
    const QString user = ui.Edit1->text();
    const QString password = ui.MaskEdit1->text();
    const std::string ip = sorvane::directory::LocalIP();
    const std::shared_ptr<const sorvane::engine::sealing::Identity> identity = identityFor(user);

    const sorvane::LineList reply = context_.directory.login(
        user.toStdString(), password.toStdString(), ip, port.toStdString(),
        identity ? sorvane::engine::sealing::toBase64Url(identity->publicKey) : std::string());
    if (reply[0] != "OK") {
        context_.boxes.showMessage(QStringLiteral("Wrong username or password!"));
        return;
    }
    Form3->engine().beginSession(user, identity, dataDirOf(user));
    const QString friends = reply.count() >= 2 ? QString::fromStdString(reply[1]) : QString();
    // A new login of the same user keeps the lists as they are: only friends added elsewhere
    // meanwhile join them.
    for (const QString& name : parseFriendText(friends))
        if (!Form3->isFriend(name))
            Form3->ui.ListBox2->addItem(name);

    hide();
    Form3->setEnabled(true);
    Form3->raise();
    Form3->activateWindow();
    Timer1->setEnabled(false);
    Form3->setWindowTitle('[' + ui.Edit1->text() + ']');
    Form3->TcpServer1.setLocalPort(port.toStdString());
    Form3->TcpServer1.setActive(false);
    Form3->TcpServer1.setActive(true);
    // A run at once, as after the first login; a new login finds the timer at its minute.
    Form3->Timer2->setInterval(1);
    Form3->Timer2->setEnabled(true);
}
