// Sealed lines end to end: the real messenger (ann) against a real directory, and the other
// messengers as the network sees them (an identity key, a listener that records the bytes that
// reach it): what crosses the network holds no text, received lines read as plain ones or carry
// their notes, keys that change are announced or held, and an unusable identity file is said.
#include "engine/engine.h"
#include "engine/sealing.h"
#include "globals.h"
#include "login.h"
#include "main.h"
#include "message.h"
#include "peer.h"
#include "safety.h"
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

using namespace sorvane::test;
namespace sealing = sorvane::engine::sealing;
using sorvane::engine::Trust;

namespace {

// Another user's messenger as the network sees it.
struct Other {
    explicit Other(std::string n) : name(std::move(n)) {}
    std::string name;
    sealing::Identity identity = sealing::newIdentity();
    Peer peer;

    void logIn(TestDirectoryServer& server, bool withKey = true, const Peer* at = nullptr) {
        const std::string key = sealing::toBase64Url(identity.publicKey);
        const std::string port = (at ? *at : peer).portText();
        if (withKey)
            server.request(
                "c.php",
                {{"u", name}, {"p", "pw"}, {"ip", "127.0.0.1"}, {"port", port}, {"k", key}});
        else
            server.request("c.php",
                           {{"u", name}, {"p", "pw"}, {"ip", "127.0.0.1"}, {"port", port}});
    }
    // What `text` from this user to `to` looks like on the wire, signed by `signer`.
    std::string sealedLine(const std::string& to, const sealing::PublicKey& toKey,
                           const std::string& text, const sealing::Identity* signer = nullptr,
                           long long time = std::time(nullptr), std::string id = {}) const {
        const sealing::Body body{
            name, to,  sealing::toBase64Url(toKey), id.empty() ? sealing::newMessageId() : id,
            time, text};
        return '<' + name + "> " + sealing::seal(body, signer ? *signer : identity, toKey);
    }
    // The text of a sealed line that reached this listener, when it opens and verifies.
    std::optional<std::string> read(const std::string& wire, const sealing::PublicKey& from) const {
        const std::size_t text = wire.find("> ");
        const auto opened = sealing::open(wire.substr(text + 2), identity);
        const auto body = opened ? sealing::verify(*opened, from) : std::nullopt;
        const auto fields = body ? sealing::decodeBody(*body) : std::nullopt;
        return fields ? std::optional(fields->text) : std::nullopt;
    }
};

class Sealing : public ::testing::Test {
protected:
    void SetUp() override {
        for (Other* o : {&bob, &cy})
            w.server.registerUser(o->name, "pw");
        bob.logIn(w.server);
        cy.logIn(w.server, false); // a messenger that speaks only the plain line format
    }
    void logInAnn() {
        w.registerAndLogIn("ann@x.org");
        w.main->Timer2->setEnabled(false);
        port = std::stoi(w.main->TcpServer1.localPort());
        const std::string reply = w.server.request("g.php", {{"u", "ann@x.org"}});
        const std::size_t keyLine = reply.find("\r\n", reply.find("\r\n") + 2) + 2;
        if (const auto key = sealing::parsePublicKey(reply.substr(keyLine, 43)))
            annKey = *key;
    }
    TForm4* chatWith(const Other& other) {
        return w.main->openChat(QString::fromStdString(other.name), true);
    }
    void type(TForm4* chat, const QString& text) {
        chat->ui.Memo1->setPlainText(text);
        chat->ui.Memo1->moveCursor(QTextCursor::End);
        QTest::keyClick(chat->ui.Memo1, Qt::Key_Return);
        ASSERT_TRUE(waitFor([&] { return chat->ui.Memo1->toPlainText().isEmpty(); }));
    }
    bool shows(const QString& partner, const QStringList& lines) {
        return waitFor([&] { return history(TForm3::openChatWindow(partner)) == lines; });
    }

    World w{observedAddress()};
    Other bob{"bob@x.org"}, cy{"cy@x.org"};
    int port = 0;
    sealing::PublicKey annKey{};
};

TEST_F(Sealing, LinesGoSealedBothWaysUnreadableOnTheWireAndPlainToAPlainPeer) {
    logInAnn();
    TForm4* chat = chatWith(bob);
    type(chat, "meet me at noon");
    ASSERT_TRUE(waitFor([&] { return bob.peer.nonEmpty().size() == 1; }));
    const std::string wire = bob.peer.nonEmpty()[0];
    EXPECT_EQ(wire.rfind("<ann@x.org> sv1:", 0), 0u) << wire;
    EXPECT_EQ(wire.find("noon"), std::string::npos);
    EXPECT_EQ(bob.read(wire, annKey), "meet me at noon");
    EXPECT_TRUE(chat->showsSealed());

    ASSERT_TRUE(sendLine(port, bob.sealedLine("ann@x.org", annKey, "noon it is")));
    EXPECT_TRUE(shows("bob@x.org", {"<ann@x.org> meet me at noon", "<bob@x.org> noon it is"}));

    TForm4* plain = chatWith(cy);
    type(plain, "hello cy");
    ASSERT_TRUE(waitFor([&] { return cy.peer.nonEmpty().size() == 1; }));
    EXPECT_EQ(cy.peer.nonEmpty()[0], "<ann@x.org> hello cy");
    EXPECT_FALSE(plain->showsSealed());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

TEST_F(Sealing, ForgedMisaddressedAndReplayedLinesCarryTheirNotesAndShowOnce) {
    logInAnn();
    const sealing::Identity eve = sealing::newIdentity();
    const long long old = std::time(nullptr) - 15 * 24 * 3600;
    const std::string once = bob.sealedLine("ann@x.org", annKey, "only once");
    for (const std::string& line : {
             once,
             once, // captured and sent again
             std::string("<bob@x.org> unsealed, from someone at bob's address"),
             bob.sealedLine("ann@x.org", annKey, "signed by eve", &eve),
             bob.sealedLine("zed@x.org", annKey, "meant for zed"),
             bob.sealedLine("ann@x.org", annKey, "from long ago", nullptr, old),
             bob.sealedLine("ann@x.org", eve.publicKey, "sealed to eve"),
         })
        ASSERT_TRUE(sendLine(port, line));
    const QString misaddressed = Trust::misaddressedNote();
    EXPECT_TRUE(
        shows("bob@x.org",
              {"<bob@x.org> only once", "<bob@x.org> unsealed, from someone at bob's address",
               Trust::unsealedNote("bob@x.org"), "<bob@x.org> signed by eve",
               Trust::notSignedNote("bob@x.org"), "<bob@x.org> meant for zed", misaddressed,
               "<bob@x.org> from long ago", misaddressed,
               "<bob@x.org> (a sealed line that this computer's key cannot open)"}))
        << history(TForm3::openChatWindow("bob@x.org")).join('|').toStdString();
}

TEST_F(Sealing, ANewKeyIsAnnouncedAndAfterComparingNumbersItWaitsForTheUser) {
    logInAnn();
    TForm4* chat = chatWith(bob);
    type(chat, "one");
    ASSERT_TRUE(waitFor([&] { return bob.peer.nonEmpty().size() == 1; }));

    // A new computer at a new address: the line goes to the address the directory gave within
    // the last minute, which no longer answers; asked again, the directory gives the new address
    // and key. The line goes there, and the conversation says so once.
    bob.identity = sealing::newIdentity();
    bob.peer.stop();
    Peer newComputer;
    bob.logIn(w.server, true, &newComputer);
    type(chat, "two");
    ASSERT_TRUE(waitFor([&] { return newComputer.nonEmpty().size() == 1; }));
    EXPECT_EQ(bob.read(newComputer.nonEmpty()[0], annKey), "two");
    ASSERT_TRUE(waitFor([&] { return history(chat).size() == 3; }));
    EXPECT_EQ(history(chat).mid(1),
              QStringList({"<ann@x.org> two", Trust::newKeyNote("bob@x.org")}));

    // The safety number: the same digits bob's messenger computes, then marked compared.
    chat->LockButtonClick();
    TSafetyNumberBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<TSafetyNumberBox*>(widget); b && b->isVisible())
            box = b;
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), "Safety number - bob@x.org");
    EXPECT_EQ(box->ui.Digits->text(),
              TSafetyNumberBox::grouped(
                  sealing::safetyNumber("bob@x.org", bob.identity.publicKey, "ann@x.org", annKey)));
    box->ui.CheckBox1->click();

    // Another key after comparing, at the same address, once the address of the last minute is
    // out of date: nothing goes out until the user accepts it.
    bob.identity = sealing::newIdentity();
    bob.logIn(w.server, true, &newComputer);
    w.main->engine().addresses().forget("bob@x.org");
    type(chat, "three");
    ASSERT_TRUE(waitFor([&] { return history(chat).last() == Trust::heldNote("bob@x.org"); }));
    ASSERT_TRUE(waitFor([&] { return box->ui.AcceptButton->isVisible(); }));
    EXPECT_EQ(newComputer.nonEmpty().size(), 1u);
    box->ui.AcceptButton->click();
    ASSERT_TRUE(waitFor([&] { return newComputer.nonEmpty().size() == 2; }));
    EXPECT_EQ(bob.read(newComputer.nonEmpty()[1], annKey), "three");
}

TEST_F(Sealing, AnUnusableIdentityFileIsSaidKeptAndLinesGoPlain) {
    const std::filesystem::path dir = w.context.dataRoot / "ann@x.org";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "identity") << "not a key\n";
    logInAnn();
    ASSERT_EQ(w.boxes.errors.size(), 1);
    EXPECT_TRUE(w.boxes.errors[0].contains(QString::fromStdString((dir / "identity").string())))
        << w.boxes.errors[0].toStdString();
    const std::string annAt = w.server.request("g.php", {{"u", "ann@x.org"}});
    EXPECT_EQ(std::count(annAt.begin(), annAt.end(), '\n'), 2) << annAt; // no key published

    TForm4* chat = chatWith(bob);
    type(chat, "plain, for now");
    ASSERT_TRUE(waitFor([&] { return bob.peer.nonEmpty().size() == 1; }));
    EXPECT_EQ(bob.peer.nonEmpty()[0], "<ann@x.org> plain, for now");
    std::ifstream kept(dir / "identity");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "not a key\n");
}

} // namespace
