// The orderly end: the settings file written last with every change in
// force, and the COM port left without hardware flow control whether it was
// open or closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "support/panel_harness.h"
#include "support/pty.h"

using namespace panelharness;
using testsupport::PtyDevice;
using testsupport::Simulator;

namespace {

bool FlowControlOn(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    return (t.c_cflag & CRTSCTS) != 0;
}

}  // namespace

TEST(Shutdown, SettingsFileHoldsTheCheckBoxChangesAndKeepsOtherLines) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    const int port = FreePort();
    run.WriteSettings(1, port, "CtsFlowEnable=1\nDontCloseCommPort=0\n",
                      "; kept as it is\n[Other]\nKey=Value\n");
    TForm1& form = run.Create();

    form.View().SetChecked(FormView::Box::Cts, false);
    form.View().SetChecked(FormView::Box::DontClose, true);
    form.View().SetChecked(FormView::Box::DebugWindow, true);
    // Check boxes alone write nothing until the end.
    EXPECT_TRUE(run.Settings().find("DontCloseCommPort=0") != std::string::npos);

    run.Destroy();

    const std::string text = run.Settings();
    EXPECT_NE(text.find("CtsFlowEnable=0"), std::string::npos) << text;
    EXPECT_NE(text.find("DontCloseCommPort=1"), std::string::npos) << text;
    EXPECT_NE(text.find("Verbose=1"), std::string::npos) << text;
    EXPECT_NE(text.find("TcpIpPort=" + std::to_string(port)), std::string::npos) << text;
    EXPECT_NE(text.find("; kept as it is\n[Other]\nKey=Value\n"), std::string::npos) << text;
    // Nothing of the bridge is left to read the settings.
    EXPECT_EQ(IniParams, nullptr);
}

TEST(Shutdown, ComPortIsLeftWithoutFlowControl) {
    // Open: kept open between clients, with the CTS handshake on.
    {
        PanelRun run;
        Simulator device(run.devices, 1);
        ASSERT_TRUE(device.ok());
        const int port = FreePort();
        run.WriteSettings(1, port, "CtsFlowEnable=1\nDontCloseCommPort=1\n");
        TForm1& form = run.Create();
        Request request(port, "GET /id HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(request.Finish());
        ASSERT_TRUE(WaitUntil([&] { return form.View().Caption() == "Disconnected"; }));
        ASSERT_TRUE(CommPortOpened.load());
        // A second descriptor on the line reads the termios the port set.
        const int line = open(device.LinkPath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(line, 0);
        EXPECT_TRUE(FlowControlOn(line));
        const plat::Handle handle = CommHandle.load();

        run.Destroy();
        EXPECT_FALSE(FlowControlOn(line));
        plat::LineState state;
        EXPECT_FALSE(plat::GetLineState(handle, state)) << "the port was not closed";
        close(line);
    }
    // Closed: opened at the end just to be reset.
    {
        PanelRun run;
        PtyDevice com1(run.devices, 1);
        ASSERT_TRUE(com1.ok());
        run.WriteSettings(1, FreePort(), "CtsFlowEnable=1\n");
        run.Create();
        ASSERT_FALSE(CommPortOpened.load());
        termios t{};
        ASSERT_EQ(tcgetattr(com1.SlaveFd(), &t), 0);
        t.c_cflag |= CRTSCTS;
        ASSERT_EQ(tcsetattr(com1.SlaveFd(), TCSANOW, &t), 0);
        ASSERT_TRUE(FlowControlOn(com1.SlaveFd()));

        run.Destroy();
        EXPECT_FALSE(FlowControlOn(com1.SlaveFd()));
    }
}
