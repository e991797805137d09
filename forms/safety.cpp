#include "safety.h"

#include "globals.h"
#include "main.h"

#include "engine/sealing.h"
#include "engine/trust.h"
#include "ui/artwork.h"

#include <QFontDatabase>

TSafetyNumberBox::TSafetyNumberBox(Context& context, const QString& partner, QWidget* parent)
    : Form(context.boxes, parent), partner_(partner) {
    ui.setupUi(this);
    setWindowFlags(Qt::Window);
    setWindowIcon(sorvane::ui::artwork::programIcon());
    setWindowTitle(QStringLiteral("Safety number - %1").arg(partner));
    QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    digits.setPointSize(digits.pointSize() + 3);
    ui.Digits->setFont(digits);
    ui.CheckBox1->setText(QStringLiteral("I compared these numbers with %1").arg(partner));
    setDefaultButton(ui.BitBtn1);
    setCancelButton(ui.BitBtn1);
    setFirstControl(ui.BitBtn1);
    connect(ui.BitBtn1, &QPushButton::clicked, this, [this] { close(); });
    connect(ui.CheckBox1, &QCheckBox::clicked, this,
            [this] { handle([this] { CheckBox1Click(); }); });
    connect(ui.AcceptButton, &QPushButton::clicked, this,
            [this] { handle([this] { AcceptButtonClick(); }); });
    connect(&Form3->engine().trust(), &sorvane::engine::Trust::keyChanged, this,
            [this](const QString& name) {
                if (name == partner_)
                    showKeys();
            });
    showKeys();
}

QString TSafetyNumberBox::grouped(const std::string& digits) {
    QString out;
    for (std::size_t group = 0; group * 5 < digits.size(); ++group) {
        if (group > 0)
            out += group % 4 == 0 ? '\n' : ' ';
        out += QString::fromStdString(digits.substr(group * 5, 5));
    }
    return out;
}

void TSafetyNumberBox::showKeys() {
    const sorvane::engine::Trust& trust = Form3->engine().trust();
    const auto pending = trust.pending(partner_);
    // While the key is held, the number is the new key's: the one to compare before accepting.
    const std::optional<sorvane::engine::sealing::PublicKey> key =
        pending ? *pending : trust.pinned(partner_);
    ui.AcceptButton->setVisible(pending.has_value());
    ui.CheckBox1->setChecked(trust.verified(partner_) && !pending);
    ui.CheckBox1->setEnabled(trust.publishes() && key.has_value());
    if (!trust.publishes()) {
        ui.Label1->setText(QStringLiteral("This computer's key cannot be used, so lines to and "
                                          "from %1 go unsealed and there is no safety number.")
                               .arg(partner_));
        ui.Digits->clear();
        return;
    }
    if (!key) {
        ui.Label1->setText(
            pending ? QStringLiteral("%1 no longer publishes a key. Accept this to send to %1 "
                                     "unsealed.")
                          .arg(partner_)
                    : QStringLiteral("%1 publishes no key, so lines to %1 go unsealed and there "
                                     "is no safety number.")
                          .arg(partner_));
        ui.Digits->clear();
        return;
    }
    ui.Label1->setText(
        pending ? QStringLiteral("%1's key changed since you compared safety numbers. Compare "
                                 "this number with the one %1's messenger shows, then accept the "
                                 "new key to send again.")
                      .arg(partner_)
                : QStringLiteral("Compare this number with the one %1's messenger shows for you, "
                                 "in person or over a call you trust. When they match, lines "
                                 "between you reach only the two of you.")
                      .arg(partner_));
    ui.Digits->setText(grouped(sorvane::engine::sealing::safetyNumber(
        trust.ownName().toStdString(), trust.identity()->publicKey, partner_.toStdString(), *key)));
}

void TSafetyNumberBox::CheckBox1Click() {
    // Held keys are marked compared when they are accepted.
    if (!Form3->engine().trust().held(partner_))
        Form3->engine().trust().setVerified(partner_, ui.CheckBox1->isChecked());
}

void TSafetyNumberBox::AcceptButtonClick() {
    sorvane::engine::Engine& engine = Form3->engine();
    const bool compared = ui.CheckBox1->isChecked();
    engine.trust().acceptPending(partner_);
    engine.trust().setVerified(partner_, compared);
    engine.outgoing().sendWaiting(partner_);
    showKeys();
}
