#pragma once
#include <QString>

class QWidget;

namespace sorvane::ui {

// What the program asks of the desktop it runs on.
class IDesktop {
public:
    virtual ~IDesktop() = default;
    // Hands a web or mailto: address to the desktop to open; failures are not reported.
    virtual void open(const QString& address) = 0;
    // Whether the desktop has a notification area to keep the tray icon in.
    virtual bool hasTray() const = 0;
    // Ends the program's event loop (and with it every modal loop).
    virtual void endProgram() = 0;
    // Makes a window that is not the active one ask for the user's attention (its task-bar
    // entry flashes or is marked), until the user turns to it.
    virtual void callForAttention(QWidget* window) = 0;
};

class QtDesktop final : public IDesktop {
public:
    void open(const QString& address) override;
    bool hasTray() const override;
    void endProgram() override;
    void callForAttention(QWidget* window) override;
};

} // namespace sorvane::ui
