#pragma once
// Which directory the messenger talks to: the address built into the program, unless the
// environment or a settings file names another. The program only reads these settings; it
// never writes a settings file.
//
//   SORVANE_DIRECTORY_URL, SORVANE_DIRECTORY_CA           the environment, first
//   $XDG_CONFIG_HOME/sorvane-messenger/sorvane-messenger.conf   the user's file (~/.config)
//   <each of $XDG_CONFIG_DIRS>/sorvane-messenger/sorvane-messenger.conf   (/etc/xdg)
//
// Each file is INI: group [directory], keys url and ca-file. For each key the first place
// that sets it wins.
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>

namespace sorvane::app {

// Where the settings may come from, most important first.
struct SettingsSources {
    QString urlVariable; // SORVANE_DIRECTORY_URL, empty when unset
    QString caVariable;  // SORVANE_DIRECTORY_CA, empty when unset
    QStringList files;   // the user's settings file, then the system's
};

struct DirectorySettings {
    std::string base;     // what every request address starts with; ends in "/"
    std::string caFile;   // authorities to trust for an https directory besides the system's
    QStringList problems; // one sentence per bad setting, for the start-up error box
};

// The settings files in the order they count. A relative XDG_CONFIG_HOME or entry of
// XDG_CONFIG_DIRS is ignored; an empty or unset XDG_CONFIG_DIRS means /etc/xdg.
QStringList settingsFiles(const QString& xdgConfigHome, const QString& home,
                          const QString& xdgConfigDirs);

// The sources this process's environment names.
SettingsSources sourcesFromEnvironment();

// The base address `value` gives, with a final "/" added when its path lacks one; nothing when
// it is not an http:// or https:// address with a host (or carries a query or fragment, which
// would end up in the middle of every request).
std::optional<std::string> directoryBaseFrom(const QString& value);

// The settings the sources give. Any bad setting is described in `problems`, and then the
// built-in address is used, without extra authorities.
DirectorySettings readDirectorySettings(std::string_view builtInBase,
                                        const SettingsSources& sources);

} // namespace sorvane::app
