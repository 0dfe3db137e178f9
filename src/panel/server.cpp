// The program's entry: the application object, the first bridge values, the
// main window with its start-up, the loop, and the orderly end.
//
// It is built twice. plmx-server uses Qt Core alone, so a machine without a
// display never loads the window libraries; given a display it runs
// plmx-server-gui from its own folder in its place. plmx-server-gui (built
// with PLMX_WIDGETS) has the window, the tray and the dialogs.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "bridge/bridge_state.h"
#include "panel/qt_loop.h"
#include "panel/servmain.h"
#include "platform/desktop.h"
#include "platform/lifecycle.h"
#include "platform/profile.h"

#ifdef PLMX_WIDGETS
#include <QApplication>
#include <QDialog>

#include "panel/form_window.h"
#include "panel/qt_desktop.h"
#endif

namespace {

bool DisplayPresent() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Without a display only Qt Core runs: no widgets, no tray.
    const bool display = DisplayPresent();
    std::unique_ptr<QCoreApplication> app;
    TForm1::Options options;
#ifdef PLMX_WIDGETS
    std::shared_ptr<panel::QtDesktop> desktop;
    if (display) {
        app = std::make_unique<QApplication>(argc, argv);
        // A tray program lives on when its window is hidden.
        QApplication::setQuitOnLastWindowClosed(false);
        desktop = std::make_shared<panel::QtDesktop>();
        plat::SetDesktop(desktop);
        options.makeView = MakeWidgetView;
    }
#else
    if (display) {
        const std::string windowed = plat::ExecutableDirectory() + "plmx-server-gui";
        plat::RunInstead(windowed, argv);
        std::fprintf(stderr, "%s cannot be started; running without a window\n",
                     windowed.c_str());
    }
#endif
    if (!app) {
        app = std::make_unique<QCoreApplication>(argc, argv);
        plat::SetDesktop(std::make_shared<panel::QtHeadlessDesktop>());
    }
    panel::PrepareUiThread();

    // The bridge's first values.
    CommPortName.set("COM4");
    TcpPort = 5000;
    CommSpeed = 115200;

    // The main window; its start-up runs below.
    TForm1 form(std::move(options));
#ifdef PLMX_WIDGETS
    if (desktop) {
        desktop->SetOwner(form.View().Window());
        desktop->SetTrayHandlers(
            [&form](int iconId, int mouseMessage) { form.TrayIconMessage(iconId, mouseMessage); },
            [&form] { form.TrayAppeared(); });
    }
#endif

    // A request to end from outside (service stop, Ctrl+C in a terminal,
    // a closed session) ends the program as "Close Server" does.
    std::unique_ptr<QSocketNotifier> termination;
    const int watch = plat::WatchTerminationRequests();
    if (watch >= 0) {
        termination = std::make_unique<QSocketNotifier>(watch, QSocketNotifier::Read);
        QObject::connect(termination.get(), &QSocketNotifier::activated, &form, [&form] {
            if (!plat::TakeTerminationRequests()) return;
            form.MIExitClick();
            // A dialog open now must not hold the end up: every loop running
            // is left (the dialogs answer as if cancelled).
            QCoreApplication::exit(0);
        });
    }

    form.FormCreate();
    form.ShowAtStartup();

    // The loop, until a quit request.
    const int status = panel::RunMainLoop();

    // The icon goes first, then the shut-down.
    form.RemoveTrayIcon();
    form.FormDestroy();

    // The worker threads were asked to stop, not waited for (one may be
    // blocked handing a status to this thread), so the process ends here,
    // before any static object they still use is destroyed.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
