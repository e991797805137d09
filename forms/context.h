#pragma once
#include <filesystem>

// What every window needs from outside itself, handed in rather than reached globally so that
// tests can aim the windows at their own directory server and read what they would have said.

namespace sorvane::directory {
class Directory;
}
namespace sorvane::ui {
class IMessageBoxes;
class IScreen;
class IDesktop;
class INotifier;
} // namespace sorvane::ui

struct Context {
    sorvane::directory::Directory& directory;
    sorvane::ui::IMessageBoxes& boxes;
    sorvane::ui::IScreen& screen;
    sorvane::ui::IDesktop& desktop;
    sorvane::ui::INotifier& notifier;
    // Where each user's files are kept, one folder per user; empty: the user's data folder
    // ($XDG_DATA_HOME/sorvane-messenger).
    std::filesystem::path dataRoot;
};
