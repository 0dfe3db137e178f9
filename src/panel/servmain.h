// The main window TForm1: start-up and shut-down, the tray icon and status
// display, the options window, the debug console switch and autodetection.
//
// The same object runs with and without a display; the controls are reached
// through a FormView. Without a display there are no widgets at all (such a
// machine must not load them), the controls are plain values, and the debug
// console is standard output.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QObject>

#include "bridge/bridge_state.h"
#include "bridge/devline.h"
#include "bridge/servasyn.h"

class DebugConsole;
class QDialog;
class QMenu;
class TForm1;
class FormStatusHandoff;

// The window's controls as the handlers use them. On a desktop they are
// widgets; without a display they are plain values, so the handlers run the
// same either way.
class FormView {
public:
    enum class Box { Cts, DontClose, DebugWindow };
    enum class Item { ServerName, Ports, Version };

    virtual ~FormView() = default;

    // Translates every text of the window and its menu, once.
    virtual void Translate() = 0;
    virtual std::string Caption() const = 0;
    virtual void SetCaption(const std::string& text) = 0;
    // -1: no entry selected.
    virtual int ComPortIndex() const = 0;
    virtual void SetComPortIndex(int index) = 0;
    virtual std::string ComPortText(int index) const = 0;
    virtual void SetComPortText(int index, const std::string& text) = 0;
    // A box set to another state runs its click handler, as a click does.
    virtual bool Checked(Box box) const = 0;
    virtual void SetChecked(Box box, bool checked) = 0;
    // A new port text runs EditIPPortChange, as typing does.
    virtual std::string PortText() const = 0;
    virtual void SetPortText(const std::string& text) = 0;
    virtual std::string LinkText() const = 0;
    virtual void SetLinkText(const std::string& text) = 0;
    virtual void FocusPortField() = 0;
    virtual std::string ItemCaption(Item item) const = 0;
    virtual void SetItemCaption(Item item, const std::string& text) = 0;

    // Shown (centred the first time), restored and brought to the front.
    virtual void ShowWindow() = 0;
    virtual void HideWindow() = 0;
    virtual void MinimizeWindow() = 0;
    // The tray menu at the mouse cursor; returns once it has closed.
    virtual void PopupMenu() = 0;
    virtual void SetBusy(bool busy) = 0;

    // The debug console. Open is false when one is open already.
    virtual bool OpenConsole() = 0;
    virtual void CloseConsole() = 0;
    virtual void SetConsoleTitle(const std::string& title) = 0;
    virtual void SetConsoleHandler(std::function<void()> handler) = 0;

    // The widgets themselves; null without a display.
    virtual QDialog* Window() const { return nullptr; }
    virtual QMenu* Menu() const { return nullptr; }
    virtual DebugConsole* Console() const { return nullptr; }
};

// What the last autodetection found on each port; index i is port i + 1.
extern std::array<PortState, devline::kPortCount> PortStates;

class TForm1 : public QObject {
    Q_OBJECT
public:
    struct Options {
        // The widgets; none (plain values, no tray) without a display.
        std::function<std::unique_ptr<FormView>(TForm1&)> makeView;
        // Empty: "Lantor.ini" beside the executable.
        std::string settingsPath;
        // Where the "locale" folder of the catalogues lies; empty: beside
        // the executable.
        std::string catalogueDir;
    };

    explicit TForm1(Options options);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // ---- Start-up and shut-down
    void FormCreate();
    void FormDestroy();
    void FormClose();
    void MIExitClick();
    // The entry's own steps around the loop: the window shown at the end of
    // start-up, and the tray icon removed once the loop has ended.
    void ShowAtStartup();
    void RemoveTrayIcon();

    // ---- Tray icon and status display
    void ShowConnected();
    void ShowDisconnected();
    void ShowServerError();
    void TrayIconMessage(int iconId, int mouseMessage);
    void TaskBarMenuPopup();
    // A notification area appeared after the icon could not be added.
    void TrayAppeared();

    // ---- Options window
    void Options1Click();
    void FormShow();
    void Button1Click();
    void ButtonCancelClick();
    void ButtonApplyClick();
    // Sets key to 0 for a character the port field must not take.
    void EditIPPortKeyPress(char32_t& key);
    void EditIPPortChange();
    void LabelhttpClick();
    void CheckBoxCtsClick();
    void CheckBoxDontCloseClick();
    void CheckBoxDebugWindowClick();
    void Button2Click();

    // ---- Debug console
    // The console's control event (close button, Ctrl+Break): removes the
    // tray icon and answers "not handled", after which the caller ends the
    // process at once.
    bool ConsoleCtrlHandler();

    FormView& View() const { return *view_; }
    bool TrayIconSetUp() const { return trayIconSize_ != 0; }

    // Runs a handler for a user action, reporting the one failure that
    // travels as an exception (a settings file that cannot be written) as
    // the toolkit would.
    void RunHandler(void (TForm1::*handler)());

    // Runs a status operation by its bridge name (the worker hand-off).
    void ShowStatus(BridgeStatus status);

private:
    void FatalStop(const std::string& text, bool translated);
    bool BindWithPortDialog();
    void ShowComPortMessage(std::uint32_t error);
    void SetUpTrayIcon();
    void SetStatus(const char* caption, const char* menuText, const char* icon);
    void UpdatePortsCaption();
    void HideOrMinimize();
    bool RecreateListenSocket();
    void RegisterConsoleHandler();

    Options options_;
    std::unique_ptr<FormView> view_;
    std::shared_ptr<FormStatusHandoff> handoff_;

    // The tray record's size field: non-zero once the icon has been set up.
    std::uint32_t trayIconSize_ = 0;
    std::string trayIconName_;
    // Whether the icon sits in a notification area (else the window
    // minimises where it would hide).
    bool trayShown_ = false;
    bool destroying_ = false;
};
