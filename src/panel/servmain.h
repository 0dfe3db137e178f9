// The main window TForm1: start-up and shut-down, the tray icon and status
// display, the options window, the debug console switch and autodetection.
//
// The same object runs with and without a display. Without one there are no
// widgets at all (a machine without a display must not load them): the
// handlers then work on plain values that stand for the controls, and the
// debug console is standard output.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <QObject>

#include "bridge/bridge_state.h"
#include "bridge/devline.h"
#include "bridge/servasyn.h"

class DebugConsole;
class QDialog;
class QMenu;
class TForm1Window;
class FormStatusHandoff;

// What the last autodetection found on each port; index i is port i + 1.
extern std::array<PortState, devline::kPortCount> PortStates;

class TForm1 : public QObject {
    Q_OBJECT
public:
    struct Options {
        // False on a machine without a display: no widgets, no tray.
        bool withWindow = true;
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

    // ---- What the controls show, with or without widgets
    std::string Caption() const;
    int ComPortIndex() const;
    void SetComPortIndex(int index);
    std::string ComPortText(int index) const;
    bool CtsChecked() const;
    void SetCtsChecked(bool checked);
    bool DontCloseChecked() const;
    void SetDontCloseChecked(bool checked);
    bool DebugWindowChecked() const;
    void SetDebugWindowChecked(bool checked);
    std::string PortText() const;
    void SetPortText(const std::string& text);
    std::string LinkText() const;
    std::string ServerNameCaption() const;
    std::string PortsCaption() const;
    std::string VersionCaption() const;
    bool TrayIconSetUp() const { return trayIconSize_ != 0; }

    // The widgets; null without a display.
    QDialog* Window() const;
    QMenu* TaskBarMenu() const;
    DebugConsole* ConsoleWindow() const { return console_.get(); }

    // Runs a status operation by its bridge name (the worker hand-off).
    void ShowStatus(BridgeStatus status);

private:
    friend class TForm1Window;

    // Catches the one failure that travels as an exception (a settings file
    // that cannot be written) at the edge of a user action, and shows it as
    // the toolkit would.
    template <class Handler>
    void Guarded(Handler handler);

    void FatalStop(const std::string& text, bool translated);
    bool BindWithPortDialog();
    void ShowComPortMessage(std::uint32_t error);
    void SetUpTrayIcon();
    void SetStatus(const char* caption, const char* menuText, const char* icon);
    void UpdatePortsCaption();
    void HideOrMinimize();
    void FocusPortField();
    bool RecreateListenSocket();

    bool ConsoleOpen();
    void ConsoleClose();
    void ConsoleSetTitle(const std::string& title);
    void ConsoleRegisterHandler();

    void SetCaption(const std::string& text);
    void SetServerNameCaption(const std::string& text);
    void SetPortsCaption(const std::string& text);
    void SetVersionCaption(const std::string& text);
    void SetComPortText(int index, const std::string& text);
    void SetLinkTextFromPort();

    Options options_;
    std::unique_ptr<TForm1Window> view_;
    std::unique_ptr<DebugConsole> console_;
    std::shared_ptr<FormStatusHandoff> handoff_;

    // The tray record's size field: non-zero once the icon has been set up.
    std::uint32_t trayIconSize_ = 0;
    std::string trayIconName_;
    // Whether the icon sits in a notification area (else the window
    // minimises where it would hide).
    bool trayShown_ = false;
    bool destroying_ = false;

    // The controls' values when there are no widgets.
    struct Controls {
        std::string caption = "Serial-Tcp/Ip";
        int comPortIndex = -1;
        std::array<std::string, devline::kPortCount> comPortTexts{};
        bool cts = false;
        bool dontClose = false;
        bool debugWindow = false;
        std::string portText = "5000";
        std::string linkText = "http://localhost:5000";
        std::string serverName = "Quarn Server";
        std::string ports;
        std::string version = "Version";
    } controls_;
};
