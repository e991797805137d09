// Which directory the messenger asks: the environment over the user's settings file over the
// system's files over the built-in address, key by key, and what start-up says about bad values.
#include "app/directory_settings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

using sorvane::app::readDirectorySettings;
using sorvane::app::settingsFiles;
using sorvane::app::SettingsSources;

namespace {

constexpr const char* kBuiltIn = "http://127.0.0.1:8642/messenger/";

struct Row {
    const char* what;
    const char* urlVariable; // SORVANE_DIRECTORY_URL, "" unset
    const char* caVariable;  // SORVANE_DIRECTORY_CA, "" unset
    const char* userFile;    // contents, nullptr: no file
    const char* systemFile;  // first of XDG_CONFIG_DIRS
    const char* otherSystemFile;
    const char* base; // expected
    const char* ca;   // expected
    const char* problem;
    friend void PrintTo(const Row& row, std::ostream* os) { *os << row.what; }
};

// In rows, @ca@ is a readable certificate file, @dir@ the folder of all files, @user@, @sys@ the
// user's and the first system settings file.
class Precedence : public ::testing::TestWithParam<Row> {
protected:
    QString expand(const char* text) const {
        return QString::fromUtf8(text)
            .replace("@ca@", dir.filePath("ca.pem"))
            .replace("@dir@", dir.path())
            .replace("@user@", dir.filePath("user.conf"))
            .replace("@sys@", dir.filePath("sys.conf"));
    }
    QString file(const char* name, const char* contents) const {
        const QString path = dir.filePath(name);
        if (contents) {
            QFile f(path);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(expand(contents).toUtf8());
        }
        return path;
    }
    QTemporaryDir dir;
};

TEST_P(Precedence, ChoosesTheAddressAndAuthorities) {
    const Row& row = GetParam();
    file("ca.pem", "-----BEGIN CERTIFICATE-----\n");
    SettingsSources sources{expand(row.urlVariable),
                            expand(row.caVariable),
                            {file("user.conf", row.userFile), file("sys.conf", row.systemFile),
                             file("other.conf", row.otherSystemFile)}};
    const auto settings = readDirectorySettings(kBuiltIn, sources);
    EXPECT_EQ(settings.base, row.base);
    EXPECT_EQ(QString::fromStdString(settings.caFile), expand(row.ca));
    EXPECT_EQ(settings.problems.join('\n'), expand(row.problem));
}

const char* const kCommentedExample = "# [directory]\n# url=https://directory.example.org/m/\n"
                                      "# ca-file=/etc/ssl/private-ca.pem\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, Precedence,
    ::testing::Values(
        Row{"nothing set", "", "", nullptr, nullptr, nullptr, kBuiltIn, "", ""},
        Row{"commented example", "", "", nullptr, kCommentedExample, nullptr, kBuiltIn, "", ""},
        Row{"system file", "", "", nullptr, "[directory]\nurl=https://sys.example/m/\n", nullptr,
            "https://sys.example/m/", "", ""},
        Row{"first system dir wins", "", "", nullptr, "[directory]\nurl=https://one.example/m/",
            "[directory]\nurl=https://two.example/m/", "https://one.example/m/", "", ""},
        Row{"user over system", "", "", "[directory]\nurl=http://user.example:8642/m/",
            "[directory]\nurl=https://sys.example/m/", nullptr, "http://user.example:8642/m/", "",
            ""},
        Row{"environment over user", "https://env.example/m/", "",
            "[directory]\nurl=http://user.example/m/", nullptr, nullptr, "https://env.example/m/",
            "", ""},
        Row{"key by key", "", "", "[directory]\nurl=https://user.example/m/",
            "[directory]\nurl=https://sys.example/m/\nca-file=@ca@", nullptr,
            "https://user.example/m/", "@ca@", ""},
        Row{"ca variable over files", "", "@ca@", nullptr, "[directory]\nca-file=/elsewhere.pem",
            nullptr, kBuiltIn, "@ca@", ""},
        Row{"path gets its final slash", "", "", "[directory]\nurl=https://d.example/messenger",
            nullptr, nullptr, "https://d.example/messenger/", "", ""},
        Row{"value with a comma", "", "", "[directory]\nurl=http://d.example/a,b/", nullptr,
            nullptr, "http://d.example/a,b/", "", ""},
        Row{"other groups do not count", "", "", "[general]\nurl=https://x.example/m/", nullptr,
            nullptr, kBuiltIn, "", ""},
        Row{"not http", "", "", "[directory]\nurl=ftp://x", nullptr, nullptr, kBuiltIn, "",
            "The directory address \"ftp://x\" in @user@ is not an http:// or https:// address."},
        Row{"bad user value does not fall back to the system's", "", "",
            "[directory]\nurl=https:///m/", "[directory]\nurl=https://sys.example/m/", nullptr,
            kBuiltIn, "",
            "The directory address \"https:///m/\" in @user@ is not an http:// or https:// "
            "address."},
        Row{"no scheme", "d.example/m/", "", nullptr, nullptr, nullptr, kBuiltIn, "",
            "The directory address \"d.example/m/\" in SORVANE_DIRECTORY_URL is not an http:// or "
            "https:// address."},
        Row{"query", "", "", nullptr, "[directory]\nurl=\"http://d.example/m/?a=1\"", nullptr,
            kBuiltIn, "",
            "The directory address \"http://d.example/m/?a=1\" in @sys@ is not an http:// or "
            "https:// address."},
        Row{"missing ca-file", "", "/nowhere/ca.pem", "[directory]\nurl=https://d.example/m/",
            nullptr, nullptr, kBuiltIn, "",
            "The certificate file \"/nowhere/ca.pem\" in SORVANE_DIRECTORY_CA cannot be read (No "
            "such file or directory)."},
        Row{"ca-file that is a folder", "", "", "[directory]\nca-file=@dir@", nullptr, nullptr,
            kBuiltIn, "",
            "The certificate file \"@dir@\" in @user@ cannot be read (not a regular file)."},
        Row{"both bad", "mailto:a@b", "/nowhere.pem", nullptr, nullptr, nullptr, kBuiltIn, "",
            "The directory address \"mailto:a@b\" in SORVANE_DIRECTORY_URL is not an http:// or "
            "https:// address.\nThe certificate file \"/nowhere.pem\" in SORVANE_DIRECTORY_CA "
            "cannot be read (No such file or directory)."}));

// The example the package installs in /etc/xdg changes nothing as shipped; uncommented, the
// messenger reads both of its settings.
TEST(ShippedExample, ChangesNothingUntilUncommented) {
    QFile example(SORVANE_TEST_SOURCE_DIR "/../../packaging/sorvane-messenger.conf");
    ASSERT_TRUE(example.open(QIODevice::ReadOnly));
    const QString shipped = QString::fromUtf8(example.readAll());
    QTemporaryDir dir;
    const auto read = [&](const QString& text) {
        QFile file(dir.filePath("system.conf"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        file.close();
        return readDirectorySettings(kBuiltIn, {{}, {}, {file.fileName()}});
    };
    const auto asShipped = read(shipped);
    EXPECT_EQ(asShipped.base, kBuiltIn);
    EXPECT_TRUE(asShipped.caFile.empty());
    EXPECT_TRUE(asShipped.problems.isEmpty()) << asShipped.problems.join('\n').toStdString();

    QString uncommented = shipped;
    uncommented.replace(QRegularExpression("^#(\\[directory\\]|url=|ca-file=)",
                                           QRegularExpression::MultilineOption),
                        "\\1");
    const QString ca = dir.filePath("authorities.pem");
    QFile(ca).open(QIODevice::WriteOnly);
    uncommented.replace(QRegularExpression("^ca-file=.*$", QRegularExpression::MultilineOption),
                        "ca-file=" + ca);
    const auto used = read(uncommented);
    EXPECT_TRUE(used.problems.isEmpty()) << used.problems.join('\n').toStdString();
    EXPECT_EQ(used.base, "https://directory.example.org:8443/messenger/");
    EXPECT_EQ(QString::fromStdString(used.caFile), ca);
}

struct FilesRow {
    const char *configHome, *dirs;
    QStringList files;
};

TEST(SettingsFiles, FollowTheXdgFolders) {
    const QString tail = "/sorvane-messenger/sorvane-messenger.conf";
    const FilesRow rows[] = {
        {"", "", {"/home/ann/.config" + tail, "/etc/xdg" + tail}},
        {"/cfg/", "/a:/b", {"/cfg" + tail, "/a" + tail, "/b" + tail}},
        {"relative", "rel:/b:", {"/home/ann/.config" + tail, "/b" + tail}},
    };
    for (const FilesRow& row : rows)
        EXPECT_EQ(settingsFiles(row.configHome, "/home/ann", row.dirs), row.files) << row.dirs;
}

} // namespace
