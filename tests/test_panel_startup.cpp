// Start-up of the main window: the port dialog after a failed bind, the COM
// port messages, a missing settings file, the debug console, the first
// status and the tray menu; with and without a display.
#include <gtest/gtest.h>

#include <QPlainTextEdit>

#include "panel/console_window.h"
#include "support/panel_harness.h"
#include "support/pty.h"

using namespace panelharness;
using testsupport::PtyDevice;

TEST(Startup, PortDialogLoopsUntilAPortBindsOrTheUserGivesUp) {
    for (const bool giveUp : {true, false}) {
        SCOPED_TRACE(giveUp ? "No" : "Yes");
        PanelRun run;
        PtyDevice com1(run.devices, 1);
        PortHolder taken;
        run.WriteSettings(1, taken.port);
        const int freePort = FreePort();
        if (!giveUp) {
            run.desk->confirms = {true, true, true};
            // Cancel shows the same message again; a text that is not a
            // number leaves the port as it was; the third answer binds.
            run.desk->inputs = {std::nullopt, "50a0", " " + std::to_string(freePort)};
        }

        TForm1& form = run.Create();

        const std::string bindBox = "Fatal Error|Can't bind socket at port: " + std::to_string(taken.port);
        EXPECT_EQ(run.desk->Log("box"), Lines(giveUp ? 1 : 3, bindBox));
        EXPECT_EQ(run.desk->Log("confirm").front(), "Do you want set other port number?");
        if (giveUp) {
            EXPECT_EQ(run.desk->Log("quit"), Lines{"1"});
            EXPECT_EQ(SocketThreadObject, nullptr);  // start-up stopped there
        } else {
            EXPECT_EQ(run.desk->Log("input").front(), "Set port number|Enter other port number:|" +
                                                          std::to_string(taken.port));
            EXPECT_EQ(run.desk->Log("message"), Lines{"50a0 bad integer value"});
            EXPECT_TRUE(run.desk->Log("quit").empty());
            EXPECT_EQ(form.View().ItemCaption(Item::Ports), "COM1 <-> " + std::to_string(freePort));
            EXPECT_TRUE(testsupport::Client(freePort).connected());
        }
        run.Destroy();
        const int stored = giveUp ? taken.port : freePort;
        EXPECT_NE(run.Settings().find("TcpIpPort=" + std::to_string(stored)), std::string::npos);
    }
}

TEST(Startup, ComPortThatCannotOpenIsReportedByItsErrorCode) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"missing", "Error|Error code: 2. COM1 Port not exists "},
        {"held", "Error|Error code: 5. COM1 Port is busy "},
        {"plain file", "Error|Error code: 25. Unknown error at opening comport COM1"},
    };
    for (const auto& [what, message] : cases) {
        SCOPED_TRACE(what);
        PanelRun run;
        std::optional<PtyDevice> line;
        plat::Handle holder = plat::kInvalidHandle;
        if (std::string(what) == "held") {
            line.emplace(run.devices, 1);
            holder = plat::OpenSerial(CommPathFor(1));
        } else if (std::string(what) == "plain file") {
            std::ofstream(run.dir.path() + "/plain").put('x');
            std::filesystem::create_symlink(run.dir.path() + "/plain", run.devices + "/com1");
        }
        run.WriteSettings(1, FreePort());
        TForm1& form = run.Create();
        EXPECT_EQ(run.desk->Log("box"), Lines{message});
        // Start-up goes on to its end.
        EXPECT_NE(SocketThreadObject, nullptr);
        EXPECT_EQ(form.View().Caption(), "Disconnected");
        run.Destroy();
        plat::CloseSerial(holder);
    }
}

TEST(Startup, MissingSettingsFileAsksAndRunsOnTheDefaults) {
    for (const bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "Yes" : "No");
        PanelRun run;
        PtyDevice com1(run.devices, 1);
        // Should port 5000 be taken on this machine, start-up asks for another.
        const int fallback = FreePort();
        run.desk->confirms = {terminate, true};
        run.desk->inputs = {std::to_string(fallback)};

        TForm1& form = run.Create();

        EXPECT_EQ(run.desk->Log("confirm").front(), "Can't open Lantor.ini file. Terminate program ?");
        EXPECT_EQ(run.desk->Log("quit"), terminate ? Lines{"0"} : Lines{});
        EXPECT_EQ(form.View().Caption(), "Disconnected");  // start-up ran to its end
        const int port = IniParams->TcpIpPort;
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

    EXPECT_TRUE(form.View().Checked(Box::DebugWindow));
    DebugConsole* console = form.View().Console();
    ASSERT_TRUE(console && console->IsOpen());
    EXPECT_EQ(console->View()->window()->windowTitle(), "PLMX Communication Verbose console");
    EXPECT_TRUE(run.desk->Log("message").empty());
    // The COM port test after the console opened shows in it.
    EXPECT_TRUE(WaitUntil([&] { return console->View()->toPlainText().contains("Port opened."); }));

    form.View().SetChecked(Box::DebugWindow, false);
    EXPECT_FALSE(console->IsOpen());
    EXPECT_FALSE(IniParams->Verbose);

    // Its close button removes the tray icon; ending the process is the caller's.
    EXPECT_FALSE(form.ConsoleCtrlHandler());
    EXPECT_EQ(run.desk->Log("tray").back(), "delete");
}

TEST(Startup, FirstStatusMenuAndCloseServer) {
    PanelRun run;
    PtyDevice com3(run.devices, 3);
    const int port = FreePort();
    run.WriteSettings(3, port);

    TForm1& form = run.Create();

    EXPECT_TRUE(run.desk->Log("box").empty());
    EXPECT_TRUE(form.View().Window()->isVisible());
    EXPECT_EQ(form.View().Caption(), "Disconnected");
    EXPECT_EQ(form.View().ItemCaption(Item::ServerName), "PLMX Server: Off");
    EXPECT_EQ(form.View().ItemCaption(Item::Ports), "COM3 <-> " + std::to_string(port));
    EXPECT_EQ(form.View().ItemCaption(Item::Version), "Version: 02.705");
    EXPECT_EQ(run.desk->Log("tray"),
              (Lines{"add SERVER_DISC|PLMX Server", "modify SERVER_DISC|PLMX Server"}));
    EXPECT_FALSE(CommPortOpened.load());  // tested, then closed until a client comes

    HandOffStatus(BridgeStatus::Error);
    EXPECT_EQ(form.View().ItemCaption(Item::ServerName), "PLMX Server: error");
    EXPECT_EQ(run.desk->Log("tray").back(), "modify SERVER_ERR|PLMX Server");

    // Close Server goes through the loop; the icon is removed twice.
    form.MIExitClick();
    EXPECT_TRUE(WaitUntil([&] { return !run.desk->Log("quit").empty(); }));
    EXPECT_EQ(run.desk->Log("quit"), Lines{"0"});
    run.Destroy();
    const Lines tray = run.desk->Log("tray");
    EXPECT_EQ(std::count(tray.begin(), tray.end(), "delete"), 2);
}

TEST(Startup, WithoutADisplayTheTraceGoesToStandardOutput) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort(), {}, "[Debug]\nVerbose=1\n");

    TForm1& form = run.Create(/*withWindow=*/false);

    EXPECT_EQ(form.View().Window(), nullptr);
    EXPECT_TRUE(plat::ConsoleAttached());
    EXPECT_EQ(form.View().Caption(), "Disconnected");
    EXPECT_FALSE(form.TrayIconSetUp());
    run.Destroy();
    EXPECT_FALSE(plat::ConsoleAttached());
}
