#include "directory_settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvane::app {

namespace {

const QString kSettingsFile = QStringLiteral("/sorvane-messenger/sorvane-messenger.conf");

// A setting's value and the variable or file it came from, for the error box.
struct Setting {
    QString value;
    QString origin;
};

// The value of `key` in the [directory] group of `settings`, if the file sets it.
std::optional<Setting> valueIn(QSettings& settings, const QString& key) {
    const QVariant value = settings.value(QStringLiteral("directory/") + key);
    // QSettings reads an unquoted value with commas as a list of texts.
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QLatin1Char(','))
                             : value.toString();
    if (text.isEmpty())
        return std::nullopt;
    return Setting{text, settings.fileName()};
}

// Why the file at `path` cannot be read as a file of certificates; empty when it can.
QString unreadable(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular ? QString() : QStringLiteral("not a regular file");
}

} // namespace

QStringList settingsFiles(const QString& xdgConfigHome, const QString& home,
                          const QString& xdgConfigDirs) {
    QStringList files;
    const QString userDir =
        QDir::isAbsolutePath(xdgConfigHome) ? xdgConfigHome : home + QStringLiteral("/.config");
    files << QDir::cleanPath(userDir + kSettingsFile);
    QStringList systemDirs = xdgConfigDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (systemDirs.isEmpty())
        systemDirs << QStringLiteral("/etc/xdg");
    for (const QString& dir : systemDirs)
        if (QDir::isAbsolutePath(dir))
            files << QDir::cleanPath(dir + kSettingsFile);
    return files;
}

SettingsSources sourcesFromEnvironment() {
    SettingsSources sources;
    sources.urlVariable = qEnvironmentVariable("SORVANE_DIRECTORY_URL");
    sources.caVariable = qEnvironmentVariable("SORVANE_DIRECTORY_CA");
    sources.files = settingsFiles(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath(),
                                  qEnvironmentVariable("XDG_CONFIG_DIRS"));
    return sources;
}

std::optional<std::string> directoryBaseFrom(const QString& value) {
    const QUrl url(value, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    // Requests are the base followed by the script's name: "/messenger" must not become
    // "/messengerc.php".
    std::string base = url.toString(QUrl::FullyEncoded).toStdString();
    if (base.back() != '/')
        base += '/';
    return base;
}

DirectorySettings readDirectorySettings(std::string_view builtInBase,
                                        const SettingsSources& sources) {
    std::optional<Setting> url;
    std::optional<Setting> ca;
    if (!sources.urlVariable.isEmpty())
        url = Setting{sources.urlVariable, QStringLiteral("SORVANE_DIRECTORY_URL")};
    if (!sources.caVariable.isEmpty())
        ca = Setting{sources.caVariable, QStringLiteral("SORVANE_DIRECTORY_CA")};

    DirectorySettings result{std::string(builtInBase), {}, {}};
    for (const QString& file : sources.files) {
        if ((url && ca) || !QFileInfo::exists(file))
            continue;
        QSettings settings(file, QSettings::IniFormat);
        if (settings.status() != QSettings::NoError) {
            result.problems << QStringLiteral("The settings file %1 cannot be read.").arg(file);
            continue;
        }
        if (!url)
            url = valueIn(settings, QStringLiteral("url"));
        if (!ca)
            ca = valueIn(settings, QStringLiteral("ca-file"));
    }

    std::optional<std::string> base;
    if (url && !(base = directoryBaseFrom(url->value)))
        result.problems << QStringLiteral("The directory address \"%1\" in %2 is not an http:// "
                                          "or https:// address.")
                               .arg(url->value, url->origin);
    if (ca) {
        if (const QString why = unreadable(ca->value); !why.isEmpty())
            result.problems << QStringLiteral("The certificate file \"%1\" in %2 cannot be read "
                                              "(%3).")
                                   .arg(ca->value, ca->origin, why);
    }
    if (!result.problems.isEmpty())
        return result;
    if (base)
        result.base = *base;
    if (ca)
        result.caFile = QFile::encodeName(ca->value).toStdString();
    return result;
}

} // namespace sorvane::app
