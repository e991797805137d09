#pragma once
// The login window: log in against the directory, or hand over to the new user window.
#include "context.h"
#include "ui/form.h"
#include "ui_login.h"

#include "engine/sealing.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <random>

namespace sorvane::ui {
class Timer;
}

class TForm1 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm1(Context& context, QWidget* parent = nullptr);

    Ui::TForm1 ui;
    sorvane::ui::Timer* Timer1; // the attention animation, 100 ms

    // The names a friend text of the login reply carries, in order.
    static QStringList parseFriendText(const QString& text);
    // The listening port: drawn from 1024 to 9999 until one can be bound here.
    static int drawListeningPort(std::mt19937& generator);

    void FormCreate();
    void Timer1Timer();
    void RadioButton1Click();
    void RadioButton2Click();
    void Edit1Change();
    void MaskEdit1Change();
    void BitBtn1Click();

    // The directory no longer takes this messenger's changes: the user logged in elsewhere, or
    // the address changed. Says so and comes back for a new login of the same user, the e-mail
    // filled in and fixed: the windows that stay open (the lists, the conversations) are that
    // user's, and the new login carries on with them.
    void logInAgain();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyOkButtonRule();
    void login();
    std::shared_ptr<const sorvane::engine::sealing::Identity> identityFor(const QString& user);
    std::filesystem::path dataDirOf(const QString& user) const;

    Context& context_;
    QSet<QString> identityProblemsShown_; // users whose unusable identity was said this run
    bool okPictureAsked_ = false; // the OK button's picture, asked for after the first paint
};

// The next step of the attention animation, 0 to 3.
extern std::uint8_t ShakeStep;
