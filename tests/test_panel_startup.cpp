// Start-up of the main window: the port dialog after a failed bind, the COM
// port messages, a missing settings file, the debug console, the tray menu
// and the first status; with and without a display.
#include <gtest/gtest.h>

#include <QPlainTextEdit>

#include <algorithm>

#include "panel/console_window.h"
#include "support/panel_harness.h"
#include "support/pty.h"

using namespace panelharness;
using testsupport::PtyDevice;

namespace {

std::vector<std::string> BoxTexts(const ScriptedDesktop& desk) {
    std::vector<std::string> texts;
    for (const auto& box : desk.Boxes()) texts.push_back(box.caption + "|" + box.text);
    return texts;
}

bool Holds(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

}  // namespace

TEST(Startup, PortDialogAnsweredNoEndsWithoutTouchingTheSettings) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    PortHolder taken;
    run.WriteSettings(1, taken.port());

    TForm1& form = run.Create();

    const std::string bindMessage = "Fatal Error|Can't bind socket at port: " + std::to_string(taken.port());
    EXPECT_EQ(BoxTexts(*run.desk), std::vector<std::string>{bindMessage});
    EXPECT_EQ(run.desk->Questions(),
              std::vector<std::string>{"Do you want set other port number?"});
    EXPECT_EQ(run.desk->Quits(), std::vector<int>{1});
    // Start-up stopped there: no threads, no tray.
    EXPECT_EQ(SocketThreadObject, nullptr);
    EXPECT_FALSE(form.TrayIconSetUp());

    run.Destroy();
    EXPECT_TRUE(Holds(run.Settings(), "TcpIpPort=" + std::to_string(taken.port())));
}

TEST(Startup, PortDialogLoopsUntilAPortBinds) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    PortHolder taken;
    run.WriteSettings(1, taken.port());
    const int freePort = FreePort();
    run.desk->AnswerConfirm(true);
    run.desk->AnswerInput(std::nullopt);  // Cancel: the same message again
    run.desk->AnswerConfirm(true);
    run.desk->AnswerInput("50a0");        // not a number: the old port stays
    run.desk->AnswerConfirm(true);
    run.desk->AnswerInput(" " + std::to_string(freePort));

    TForm1& form = run.Create();

    const std::string bindMessage = "Fatal Error|Can't bind socket at port: " + std::to_string(taken.port());
    EXPECT_EQ(BoxTexts(*run.desk), std::vector<std::string>(3, bindMessage));
    EXPECT_EQ(run.desk->Messages().front(), "50a0 bad integer value");
    const std::string firstInput = "input:Set port number|Enter other port number:|" + std::to_string(taken.port());
    EXPECT_EQ(run.desk->Log()[2], firstInput);
    EXPECT_TRUE(run.desk->Quits().empty());
    EXPECT_EQ(TcpPort, freePort);
    EXPECT_EQ(plat::localPort(ListenSocket.load()), freePort);
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::Ports), "COM1 <-> " + std::to_string(freePort));
    EXPECT_TRUE(testsupport::Client(freePort).connected());

    run.Destroy();
    EXPECT_TRUE(Holds(run.Settings(), "TcpIpPort=" + std::to_string(freePort)));
}

TEST(Startup, ComPortThatCannotOpenIsReportedByItsErrorCode) {
    struct Case {
        const char* what;
        std::function<void(PanelRun&)> arrange;
        std::string message;
    };
    std::vector<plat::Handle> held;
    std::vector<std::unique_ptr<PtyDevice>> lines;
    const std::vector<Case> cases = {
        {"missing", [](PanelRun&) {}, "Error code: 2. COM1 Port not exists "},
        {"held by another",
         [&](PanelRun& run) {
             lines.push_back(std::make_unique<PtyDevice>(run.devices, 1));
             held.push_back(plat::OpenSerial(CommPathFor(1)));
         },
         "Error code: 5. COM1 Port is busy "},
        {"not a terminal",
         [](PanelRun& run) {
             WriteFile(run.dir.path() + "/plain", "");
             std::filesystem::create_symlink(run.dir.path() + "/plain", run.devices + "/com1");
         },
         "Error code: 25. Unknown error at opening comport COM1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PanelRun run;
        c.arrange(run);
        run.WriteSettings(1, FreePort());
        TForm1& form = run.Create();
        form.View().Window()->hide();
        ASSERT_EQ(run.desk->Boxes().size(), 1u);
        EXPECT_EQ(run.desk->Boxes()[0].caption, "Error");
        EXPECT_EQ(run.desk->Boxes()[0].text, c.message);
        EXPECT_EQ(run.desk->Boxes()[0].icon, plat::MsgIcon::Error);
        // Start-up goes on: threads, tray, status.
        EXPECT_NE(SocketThreadObject, nullptr);
        EXPECT_TRUE(form.TrayIconSetUp());
        EXPECT_EQ(form.View().Caption(), "Disconnected");
        EXPECT_TRUE(run.desk->Quits().empty());
        run.Destroy();
        for (plat::Handle h : held) plat::CloseSerial(h);
        held.clear();
        lines.clear();
    }
}

TEST(Startup, MissingSettingsFileAsksAndRunsOnTheDefaults) {
    for (const bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "Yes" : "No");
        PanelRun run;
        PtyDevice com1(run.devices, 1);
        run.desk->AnswerConfirm(terminate);
        // Should port 5000 be taken on this machine, start-up asks for another.
        const int fallback = FreePort();
        run.desk->AnswerConfirm(true);
        run.desk->AnswerInput(std::to_string(fallback));

        TForm1& form = run.Create();

        ASSERT_FALSE(run.desk->Questions().empty());
        EXPECT_EQ(run.desk->Questions()[0], "Can't open Lantor.ini file. Terminate program ?");
        EXPECT_EQ(run.desk->Quits(), terminate ? std::vector<int>{0} : std::vector<int>{});
        // Start-up runs to its end either way.
        EXPECT_EQ(form.View().Caption(), "Disconnected");
        EXPECT_EQ(IniParams->ComPort, 1);
        EXPECT_TRUE(IniParams->CtsFlowEnable);
        const int port = IniParams->TcpIpPort;
        EXPECT_TRUE(port == 5000 || port == fallback);

        run.Destroy();
        EXPECT_EQ(run.Settings(),
                  "[CommPortParams]\nComPort=1\nComSpeed=115200\nSentDelay=1\nCtsFlowEnable=1\n"
                  "DontCloseCommPort=0\n[TcpIpParams]\nTcpIpPort=" +
                      std::to_string(port) + "\n[Debug]\nVerbose=0\n");
    }
}

TEST(Startup, VerboseOpensTheConsoleWithTheStartupTitle) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort(), {}, "[Debug]\nVerbose=1\n");

    TForm1& form = run.Create();

    EXPECT_TRUE(form.View().Checked(FormView::Box::DebugWindow));
    ASSERT_NE(form.View().Console(), nullptr);
    EXPECT_TRUE(form.View().Console()->IsOpen());
    QWidget* console = form.View().Console()->View()->window();
    EXPECT_EQ(console->windowTitle().toStdString(), "PLMX Communication Verbose console");
    EXPECT_TRUE(run.desk->Messages().empty());
    // The COM port test after the console opened shows in it.
    EXPECT_TRUE(WaitUntil([&] {
        return form.View().Console()->View()->toPlainText().contains("Port opened.");
    }));

    // Unticking closes it; ticking again opens one with the other title.
    form.View().SetChecked(FormView::Box::DebugWindow, false);
    EXPECT_FALSE(form.View().Console()->IsOpen());
    EXPECT_FALSE(IniParams->Verbose);
    form.View().SetChecked(FormView::Box::DebugWindow, true);
    EXPECT_TRUE(form.View().Console()->IsOpen());
    console = form.View().Console()->View()->window();
    EXPECT_EQ(console->windowTitle().toStdString(), "PLMX Communication Verbose console");

    // Its close button removes the tray icon first (the process end that
    // follows is the caller's).
    EXPECT_FALSE(form.ConsoleCtrlHandler());
    EXPECT_EQ(run.desk->TrayCalls().back(), "delete");
}

TEST(Startup, FirstStatusTrayAndMenu) {
    PanelRun run;
    PtyDevice com3(run.devices, 3);
    const int port = FreePort();
    run.WriteSettings(3, port);

    TForm1& form = run.Create();

    EXPECT_TRUE(run.desk->Boxes().empty());
    EXPECT_TRUE(form.View().Window()->isVisible());
    EXPECT_EQ(form.View().Caption(), "Disconnected");
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::ServerName), "PLMX Server: Off");
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::Ports), "COM3 <-> " + std::to_string(port));
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::Version), "Version: 02.705");
    EXPECT_EQ(form.View().ComPortIndex(), 2);
    EXPECT_EQ(run.desk->TrayCalls(),
              (std::vector<std::string>{"add:SERVER_DISC|PLMX Server", "modify:SERVER_DISC|PLMX Server"}));
    EXPECT_FALSE(CommPortOpened.load());

    // The three states as the socket server thread hands them over.
    form.ShowServerError();
    EXPECT_EQ(form.View().Caption(), "Error");
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::ServerName), "PLMX Server: error");
    EXPECT_EQ(run.desk->TrayIconName(), "SERVER_ERR");
    HandOffStatus(BridgeStatus::Connected);
    EXPECT_EQ(form.View().Caption(), "Connected");
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::ServerName), "PLMX Server: On");
    EXPECT_EQ(run.desk->TrayIconName(), "SERVER_CONN");

    // Close Server goes through the loop, then the icon goes twice.
    form.MIExitClick();
    EXPECT_TRUE(WaitUntil([&] { return !run.desk->Quits().empty(); }));
    EXPECT_EQ(run.desk->Quits(), std::vector<int>{0});
    run.Destroy();
    const auto calls = run.desk->TrayCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "delete"), 2);
}

TEST(Startup, WithoutADisplayTheTraceGoesToStandardOutput) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort(), {}, "[Debug]\nVerbose=1\n");

    TForm1& form = run.Create(/*withWindow=*/false);

    EXPECT_EQ(form.View().Window(), nullptr);
    EXPECT_TRUE(plat::ConsoleAttached());
    EXPECT_TRUE(form.View().Checked(FormView::Box::DebugWindow));
    EXPECT_EQ(form.View().Caption(), "Disconnected");
    EXPECT_FALSE(form.TrayIconSetUp());
    EXPECT_TRUE(run.desk->TrayCalls().size() == 1 && run.desk->TrayCalls()[0].rfind("modify:", 0) == 0);
    run.Destroy();
    EXPECT_FALSE(plat::ConsoleAttached());
    EXPECT_TRUE(Holds(run.Settings(), "Verbose=1"));
}
