// The orderly end: the settings file written with every change in force,
// and the COM port left without hardware flow control, open or closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "support/panel_harness.h"
#include "support/pty.h"

using namespace panelharness;

namespace {

bool FlowControlOn(int fd) {
    termios t{};
    return tcgetattr(fd, &t) == 0 && (t.c_cflag & CRTSCTS) != 0;
}

}  // namespace

TEST(Shutdown, SettingsFileHoldsTheCheckBoxChangesAndKeepsOtherLines) {
    PanelRun run;
    testsupport::PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort(), "CtsFlowEnable=1\n", "; kept as it is\n[Other]\nKey=Value\n");
    TForm1& form = run.Create();

    form.View().SetChecked(Box::Cts, false);
    form.View().SetChecked(Box::DontClose, true);
    form.View().SetChecked(Box::DebugWindow, true);
    EXPECT_EQ(run.Settings().find("DontCloseCommPort"), std::string::npos);  // not yet

    run.Destroy();
    const std::string text = run.Settings();
    for (const char* line : {"CtsFlowEnable=0", "DontCloseCommPort=1", "Verbose=1",
                             "; kept as it is\n[Other]\nKey=Value\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

TEST(Shutdown, ComPortIsLeftWithoutFlowControl) {
    {
        SCOPED_TRACE("kept open between clients");
        PanelRun run;
        testsupport::Simulator device(run.devices, 1);
        ASSERT_TRUE(device.ok());
        const int port = FreePort();
        run.WriteSettings(1, port, "CtsFlowEnable=1\nDontCloseCommPort=1\n");
        TForm1& form = run.Create();
        ASSERT_TRUE(Fetch(port, "GET /id HTTP/1.0\r\n\r\n"));
        ASSERT_TRUE(WaitUntil([&] { return form.View().Caption() == "Disconnected"; }));
        ASSERT_TRUE(CommPortOpened.load());
        // A second descriptor on the line reads the termios the port set.
        const int line = open(device.LinkPath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        EXPECT_TRUE(FlowControlOn(line));
        const plat::Handle handle = CommHandle.load();

        run.Destroy();
        EXPECT_FALSE(FlowControlOn(line));
        plat::LineState state;
        EXPECT_FALSE(plat::GetLineState(handle, state)) << "the port was not closed";
        close(line);
    }
    {
        SCOPED_TRACE("closed: opened at the end to be reset");
        PanelRun run;
        testsupport::PtyDevice com1(run.devices, 1);
        run.WriteSettings(1, FreePort(), "CtsFlowEnable=1\n");
        run.Create();
        ASSERT_FALSE(CommPortOpened.load());
        termios t{};
        tcgetattr(com1.SlaveFd(), &t);
        t.c_cflag |= CRTSCTS;
        tcsetattr(com1.SlaveFd(), TCSANOW, &t);
        ASSERT_TRUE(FlowControlOn(com1.SlaveFd()));

        run.Destroy();
        EXPECT_FALSE(FlowControlOn(com1.SlaveFd()));
    }
}
