// The options window against the real bridge: Apply re-opening the COM port
// and the listening socket, the port field's keys, showing and hiding, the
// link, and autodetection over pseudo-terminals and the simulated device.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

#include "support/panel_harness.h"
#include "support/pty.h"

using namespace panelharness;
using testsupport::PtyDevice;

namespace {

QLineEdit* PortField(TForm1& form) { return form.View().Window()->findChild<QLineEdit*>("EditIPPort"); }
bool PortFieldFocused(TForm1& form) { return form.View().Window()->focusWidget() == PortField(form); }

void Key(QWidget* widget, int key, const QString& text = {}, Qt::KeyboardModifiers mods = {}) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(widget, &press);
}

}  // namespace

TEST(OptionsWindow, ApplyLeavesEverythingAloneForAnUnusableOrUnchangedPort) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    const int port = FreePort();
    run.WriteSettings(1, port);
    TForm1& form = run.Create();
    const std::string file = run.Settings();
    const plat::Socket listener = ListenSocket.load();

    form.View().SetPortText("");
    form.View().Window()->setFocus();
    form.ButtonApplyClick();
    EXPECT_TRUE(PortFieldFocused(form));

    form.View().SetPortText("0");  // falls back to 5000, not applied by this press
    form.ButtonApplyClick();
    EXPECT_EQ(form.View().PortText(), "5000");
    EXPECT_EQ(form.View().LinkText(), "http://localhost:5000");
    EXPECT_EQ(TcpPort, port);

    form.View().SetPortText(std::to_string(port));
    form.ButtonApplyClick();
    EXPECT_EQ(ListenSocket.load(), listener);
    EXPECT_EQ(run.Settings(), file);
    EXPECT_TRUE(run.desk->Log("box").empty());

    // Ok with a text it cannot use still hides the window.
    form.View().SetPortText("12a");
    form.Button1Click();
    EXPECT_TRUE(PortFieldFocused(form));
    EXPECT_FALSE(form.View().Window()->isVisible());
    EXPECT_EQ(run.Settings(), file);
}

TEST(OptionsWindow, ApplyWithAnotherComPortReopensItAndSaves) {
    PanelRun run;
    PtyDevice com1(run.devices, 1), com2(run.devices, 2);
    const int port = FreePort();
    run.WriteSettings(1, port);
    TForm1& form = run.Create();
    const plat::Socket listener = ListenSocket.load();

    form.View().SetComPortIndex(1);
    form.ButtonApplyClick();

    EXPECT_EQ(CommPortName.get(), "\\\\.\\COM2");
    EXPECT_TRUE(CommPortOpened.load());
    EXPECT_EQ(ListenSocket.load(), listener);
    EXPECT_NE(run.Settings().find("ComPort=2"), std::string::npos);
    form.TaskBarMenuPopup();
    EXPECT_EQ(form.View().ItemCaption(Item::Ports), "COM2 <-> " + std::to_string(port));
}

TEST(OptionsWindow, ApplyWithAnotherTcpPortServesTheNextClientThere) {
    PanelRun run;
    testsupport::Simulator device(run.devices, 1);
    ASSERT_TRUE(device.ok());
    const int oldPort = FreePort();
    run.WriteSettings(1, oldPort);
    TForm1& form = run.Create();
    Lines captions;
    QObject::connect(form.View().Window(), &QWidget::windowTitleChanged, form.View().Window(),
                     [&](const QString& title) { captions.push_back(title.toStdString()); });

    const int newPort = FreePort();
    form.View().SetPortText(std::to_string(newPort));
    form.ButtonApplyClick();

    EXPECT_NE(run.Settings().find("TcpIpPort=" + std::to_string(newPort)), std::string::npos);
    EXPECT_FALSE(testsupport::Client(oldPort).connected());
    const auto answer = Fetch(newPort, "GET /id HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->find("ID:QUARN7"), std::string::npos);
    // The status follows the connection through the hand-off to this thread.
    ASSERT_TRUE(WaitUntil([&] { return form.View().Caption() == "Disconnected"; }));
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions.front(), "Connected");
}

TEST(OptionsWindow, ApplyAbove65535ListensOnTheLow16BitsAndAFailedBindQuits) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();

    const int low = FreePort();
    form.View().SetPortText(std::to_string(65536 + low));
    form.ButtonApplyClick();
    EXPECT_EQ(TcpPort, 65536 + low);
    EXPECT_EQ(plat::localPort(ListenSocket.load()), low);
    EXPECT_TRUE(run.desk->Log("quit").empty());

    // A port that cannot be bound: reported, quit; saved only by the end.
    PortHolder taken;
    form.View().SetPortText(std::to_string(taken.port));
    form.ButtonApplyClick();
    EXPECT_EQ(run.desk->Log("box"), Lines{"Fatal Error|Can't bind socket"});
    EXPECT_EQ(run.desk->Log("quit"), Lines{"1"});
    const std::string stored = "TcpIpPort=" + std::to_string(taken.port);
    EXPECT_EQ(run.Settings().find(stored), std::string::npos);
    run.Destroy();
    EXPECT_NE(run.Settings().find(stored), std::string::npos);
}

TEST(OptionsWindow, PortFieldTakesDigitsAndBackspaceOnly) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();
    QLineEdit* field = PortField(form);
    form.View().SetPortText("50");
    field->setCursorPosition(2);
    QApplication::clipboard()->setText("99");

    for (const char* text : {"a", " ", "-", "\r"}) Key(field, text[0], text);
    Key(field, Qt::Key_V, "\x16", Qt::ControlModifier);  // paste by keyboard
    Key(field, Qt::Key_V, "", Qt::ControlModifier);
    EXPECT_EQ(field->text(), "50");

    Key(field, Qt::Key_7, "7");
    EXPECT_EQ(form.View().LinkText(), "http://localhost:507");
    Key(field, Qt::Key_Backspace, "\b");
    Key(field, Qt::Key_Home);
    Key(field, Qt::Key_Delete);  // keys that are not characters still edit
    EXPECT_EQ(field->text(), "0");
}

TEST(OptionsWindow, ShowingAgainDiscardsUnappliedChangesButKeepsCheckBoxes) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    const int port = FreePort();
    run.WriteSettings(1, port, "CtsFlowEnable=0\n");
    TForm1& form = run.Create();
    QDialog* window = form.View().Window();
    ASSERT_TRUE(window->isVisible());

    form.View().SetPortText("6001");
    form.View().SetComPortIndex(4);
    form.View().SetChecked(Box::Cts, true);
    form.ButtonCancelClick();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(IniParams->CtsFlowEnable);

    form.TrayIconMessage(1, 0x0201);  // a single click shows nothing
    EXPECT_FALSE(window->isVisible());
    form.TrayIconMessage(1, 0x0203);  // a double click does
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(form.View().PortText(), std::to_string(port));
    EXPECT_EQ(form.View().ComPortIndex(), 0);
    EXPECT_TRUE(form.View().Checked(Box::Cts));

    // The link shows the field as typed and opens it.
    form.View().SetPortText("1234");
    auto* label = window->findChild<QLabel*>("Labelhttp");
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), label->mapToGlobal(QPointF(2, 2)),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(label, &release);
    EXPECT_EQ(run.desk->Log("url"), Lines{"http://localhost:1234"});
    // A pasted text that would lead the browser elsewhere is not opened.
    form.View().SetPortText("1234@elsewhere.example/");
    QCoreApplication::sendEvent(label, &release);
    EXPECT_EQ(run.desk->Log("url"), Lines{"http://localhost:1234"});
}

TEST(OptionsWindow, WithoutATrayOkMinimisesUntilATrayAppears) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.desk->trayAvailable = false;
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();
    EXPECT_EQ(run.desk->Log("message"), Lines{"Can't Add Notify Icon"});

    form.Button1Click();
    EXPECT_TRUE(form.View().Window()->isMinimized());
    form.TrayAppeared();
    form.Options1Click();
    form.ButtonCancelClick();
    EXPECT_FALSE(form.View().Window()->isVisible());
}

TEST(Autodetect, FindsTheDeviceAppliesItsPortAndOpensTheBrowser) {
    PanelRun run;
    PtyDevice silent(run.devices, 1);  // the configured port: nothing answers
    testsupport::Simulator device(run.devices, 2);
    PtyDevice held(run.devices, 3);    // another program holds it
    ASSERT_TRUE(device.ok());
    const int port = FreePort();
    run.WriteSettings(1, port, "SentDelay=0\n");
    TForm1& form = run.Create();
    const plat::Handle other = plat::OpenSerial(CommPathFor(3));

    form.Button2Click();
    plat::CloseSerial(other);

    Lines texts;
    for (int i = 0; i < 12; ++i) texts.push_back(form.View().ComPortText(i));
    EXPECT_EQ(texts, (Lines{"Com1 active", "Com2 Box", "Com3 busy", "Com4-", "Com5-", "Com6-",
                            "Com7-", "Com8-", "Com9-", "Com10-", "Com11-", "Com12-"}));
    EXPECT_EQ(form.View().ComPortIndex(), 1);
    EXPECT_EQ(CommPortName.get(), "\\\\.\\COM2");
    EXPECT_NE(run.Settings().find("ComPort=2"), std::string::npos);
    EXPECT_EQ(run.desk->Log("url"), Lines{"http://localhost:" + std::to_string(port)});
}

TEST(Autodetect, TwoDevicesTheHighestWinsAndAHeldConfiguredPortIsProbedAndReopened) {
    PanelRun run;
    testsupport::Simulator configured(run.devices, 1);
    testsupport::Simulator second(run.devices, 2);
    testsupport::Simulator fifth(run.devices, 5);
    ASSERT_TRUE(configured.ok() && second.ok() && fifth.ok());
    const int port = FreePort();
    run.WriteSettings(1, port, "SentDelay=0\n");
    TForm1& form = run.Create();
    auto trace = std::make_shared<testsupport::TraceCapture>();
    plat::AttachConsole(trace);
    ASSERT_TRUE(OpenCommPort());  // the bridge holds its port, as while serving

    form.Button2Click();
    plat::AttachConsole(nullptr);

    Lines texts;
    for (int i = 0; i < 12; ++i) texts.push_back(form.View().ComPortText(i));
    EXPECT_EQ(texts, (Lines{"Com1 Box active", "Com2 Box", "Com3-", "Com4-", "Com5 Box", "Com6-",
                            "Com7-", "Com8-", "Com9-", "Com10-", "Com11-", "Com12-"}));
    EXPECT_EQ(form.View().ComPortIndex(), 4);
    EXPECT_EQ(CommPortName.get(), "\\\\.\\COM5");
    EXPECT_NE(run.Settings().find("ComPort=5"), std::string::npos);
    EXPECT_EQ(run.desk->Log("url"), Lines{"http://localhost:" + std::to_string(port)});

    // The held port is closed for its probe and opened again after it.
    const std::string t = trace->Text();
    const auto closed = t.find("Comport closed.\n");
    const auto tried = t.find("Try Com1\n***.G.E.T.");
    const auto read = t.find("CRead: ", tried);
    const auto reopened = t.find("Port opened.\n", read);
    EXPECT_TRUE(closed < tried && tried < read && read < reopened && reopened != std::string::npos) << t;
    EXPECT_EQ(t.find("Try Com3"), std::string::npos) << "missing ports are not probed";
}

TEST(Autodetect, WithoutAnyDeviceOnlyTheTextsChange) {
    PanelRun run;
    const int port = FreePort();
    run.WriteSettings(4, port, "SentDelay=0\n");
    TForm1& form = run.Create();

    form.Button2Click();

    for (int i = 0; i < 12; ++i) {
        const std::string expected = "Com" + std::to_string(i + 1) + (i == 3 ? "- active" : "-");
        EXPECT_EQ(form.View().ComPortText(i), expected);
    }
    EXPECT_EQ(form.View().ComPortIndex(), 3);
    EXPECT_TRUE(run.desk->Log("url").empty());
    EXPECT_EQ(CommPortName.get(), "\\\\.\\COM4");
}
