// The options window against the real bridge: Apply re-opening the COM
// port and the listening socket, the port field's key filter, showing and
// hiding, the check boxes and the link, and autodetection over pseudo-
// terminals and the simulated device.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

#include "support/panel_harness.h"
#include "support/pty.h"

using namespace panelharness;
using testsupport::PtyDevice;
using testsupport::Simulator;

namespace {

QLineEdit* PortField(TForm1& form) { return form.View().Window()->findChild<QLineEdit*>("EditIPPort"); }

void Type(QWidget* widget, int key, const QString& text = {},
          Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QCoreApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QCoreApplication::sendEvent(widget, &release);
}

bool PortFieldHasFocus(TForm1& form) { return form.View().Window()->focusWidget() == PortField(form); }

}  // namespace

TEST(OptionsWindow, ApplyChangesNothingForAnUnusableOrUnchangedPort) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    ASSERT_TRUE(com1.ok());
    const int port = FreePort();
    run.WriteSettings(1, port);
    TForm1& form = run.Create();
    const std::string fileBefore = run.Settings();
    const plat::Socket listener = ListenSocket.load();

    // Empty: the focus goes to the field and that is all.
    form.View().SetPortText("");
    form.View().Window()->setFocus();
    form.ButtonApplyClick();
    EXPECT_TRUE(PortFieldHasFocus(form));
    EXPECT_EQ(IniParams->TcpIpPort, port);

    // Zero: the field falls back to 5000, which is not applied by this press.
    form.View().SetPortText("0");
    form.ButtonApplyClick();
    EXPECT_EQ(form.View().PortText(), "5000");
    EXPECT_EQ(form.View().LinkText(), "http://localhost:5000");
    EXPECT_EQ(IniParams->TcpIpPort, port);
    EXPECT_EQ(TcpPort, port);

    // The same COM port and TCP port: nothing is closed or saved.
    form.View().SetPortText(std::to_string(port));
    form.ButtonApplyClick();
    EXPECT_EQ(ListenSocket.load(), listener);
    EXPECT_EQ(run.Settings(), fileBefore);
    EXPECT_TRUE(run.desk->Boxes().empty());
    EXPECT_TRUE(run.desk->Quits().empty());

    // Ok with a text it cannot use still hides the window.
    form.View().SetPortText("12a");
    form.Button1Click();
    EXPECT_TRUE(PortFieldHasFocus(form));
    EXPECT_FALSE(form.View().Window()->isVisible());
    EXPECT_EQ(run.Settings(), fileBefore);
}

TEST(OptionsWindow, ApplyWithAnotherComPortReopensItAndSaves) {
    PanelRun run;
    PtyDevice com1(run.devices, 1), com2(run.devices, 2);
    ASSERT_TRUE(com1.ok() && com2.ok());
    const int port = FreePort();
    run.WriteSettings(1, port);
    TForm1& form = run.Create();
    const plat::Socket listener = ListenSocket.load();

    form.View().SetComPortIndex(1);
    form.ButtonApplyClick();

    EXPECT_EQ(IniParams->ComPort, 2);
    EXPECT_EQ(CommPortName.get(), "\\\\.\\COM2");
    EXPECT_TRUE(CommPortOpened.load());
    EXPECT_EQ(ListenSocket.load(), listener);
    EXPECT_NE(run.Settings().find("ComPort=2"), std::string::npos);
    // The menu shows the new pair the next time it opens.
    form.TaskBarMenuPopup();
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::Ports), "COM2 <-> " + std::to_string(port));
}

TEST(OptionsWindow, ApplyWithAnotherTcpPortListensThereAndServesTheNextClient) {
    PanelRun run;
    Simulator device(run.devices, 1);
    ASSERT_TRUE(device.ok());
    const int oldPort = FreePort();
    run.WriteSettings(1, oldPort);
    TForm1& form = run.Create();
    EXPECT_EQ(form.View().Caption(), "Disconnected");

    const int newPort = FreePort();
    form.View().SetPortText(std::to_string(newPort));
    form.ButtonApplyClick();

    EXPECT_EQ(IniParams->TcpIpPort, newPort);
    EXPECT_EQ(TcpPort, newPort);
    EXPECT_EQ(plat::localPort(ListenSocket.load()), newPort);
    EXPECT_NE(run.Settings().find("TcpIpPort=" + std::to_string(newPort)), std::string::npos);
    EXPECT_TRUE(run.desk->Quits().empty());

    // The old port is gone; the new one serves, and the status follows the
    // connection through the hand-off to this thread.
    EXPECT_FALSE(testsupport::Client(oldPort).connected());
    std::vector<std::string> captions;
    QObject::connect(form.View().Window(), &QWidget::windowTitleChanged, form.View().Window(),
                     [&](const QString& title) { captions.push_back(title.toStdString()); });
    Request request(newPort, "GET /id HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(request.Finish());
    ASSERT_TRUE(request.connected());
    EXPECT_NE(request.answer().find("ID:QUARN7"), std::string::npos);
    ASSERT_TRUE(WaitUntil([&] { return form.View().Caption() == "Disconnected" && !captions.empty(); }));
    EXPECT_EQ(captions.front(), "Connected");
    EXPECT_EQ(form.View().ItemCaption(FormView::Item::ServerName), "PLMX Server: Off");
}

TEST(OptionsWindow, ApplyAbove65535ListensOnTheLow16Bits) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();

    const int low = FreePort();
    const int number = 65536 + low;
    form.View().SetPortText(std::to_string(number));
    form.ButtonApplyClick();

    EXPECT_EQ(IniParams->TcpIpPort, number);
    EXPECT_EQ(TcpPort, number);
    EXPECT_EQ(plat::localPort(ListenSocket.load()), low);
    EXPECT_TRUE(testsupport::Client(low).connected());
    EXPECT_NE(run.Settings().find("TcpIpPort=" + std::to_string(number)), std::string::npos);
}

TEST(OptionsWindow, ApplyThatCannotBindReportsAndQuits) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();
    PortHolder taken;

    form.View().SetPortText(std::to_string(taken.port()));
    form.ButtonApplyClick();

    ASSERT_EQ(run.desk->Boxes().size(), 1u);
    EXPECT_EQ(run.desk->Boxes()[0].caption, "Fatal Error");
    EXPECT_EQ(run.desk->Boxes()[0].text, "Can't bind socket");
    EXPECT_EQ(run.desk->Quits(), std::vector<int>{1});
    // Not saved by Apply, but in force: the orderly end writes it.
    EXPECT_EQ(run.Settings().find("TcpIpPort=" + std::to_string(taken.port())), std::string::npos);
    run.Destroy();
    EXPECT_NE(run.Settings().find("TcpIpPort=" + std::to_string(taken.port())), std::string::npos);
}

TEST(OptionsWindow, PortFieldTakesDigitsAndBackspaceOnly) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();
    QLineEdit* field = PortField(form);
    form.View().SetPortText("50");
    field->setCursorPosition(2);

    Type(field, Qt::Key_A, "a");
    Type(field, Qt::Key_Space, " ");
    Type(field, Qt::Key_Minus, "-");
    Type(field, Qt::Key_Return, "\r");
    EXPECT_EQ(field->text(), "50");

    Type(field, Qt::Key_7, "7");
    EXPECT_EQ(field->text(), "507");
    EXPECT_EQ(form.View().LinkText(), "http://localhost:507");
    Type(field, Qt::Key_Backspace, "\b");
    EXPECT_EQ(field->text(), "50");

    // Paste by keyboard is turned away, with or without the control
    // character in the event's text.
    QApplication::clipboard()->setText("99");
    Type(field, Qt::Key_V, "\x16", Qt::ControlModifier);
    Type(field, Qt::Key_V, "", Qt::ControlModifier);
    EXPECT_EQ(field->text(), "50");

    // Keys that are not characters still edit.
    Type(field, Qt::Key_Home);
    Type(field, Qt::Key_Delete);
    EXPECT_EQ(field->text(), "0");
}

TEST(OptionsWindow, ShowingTheWindowDiscardsUnappliedChangesButNotCheckBoxes) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    const int port = FreePort();
    run.WriteSettings(1, port, "CtsFlowEnable=0\n");
    TForm1& form = run.Create();
    ASSERT_TRUE(form.View().Window()->isVisible());
    EXPECT_FALSE(form.View().Checked(FormView::Box::Cts));

    form.View().SetPortText("6001");
    form.View().SetComPortIndex(4);
    form.View().SetChecked(FormView::Box::Cts, true);
    form.ButtonCancelClick();
    EXPECT_FALSE(form.View().Window()->isVisible());
    EXPECT_TRUE(IniParams->CtsFlowEnable);

    form.Options1Click();
    EXPECT_TRUE(form.View().Window()->isVisible());
    EXPECT_EQ(form.View().PortText(), std::to_string(port));
    EXPECT_EQ(form.View().LinkText(), "http://localhost:" + std::to_string(port));
    EXPECT_EQ(form.View().ComPortIndex(), 0);
    EXPECT_TRUE(form.View().Checked(FormView::Box::Cts));
    EXPECT_TRUE(IniParams->CtsFlowEnable);

    // A double click on the tray icon shows it too; a single click does not.
    form.ButtonCancelClick();
    form.TrayIconMessage(1, 0x0201);
    EXPECT_FALSE(form.View().Window()->isVisible());
    form.TrayIconMessage(1, 0x0203);
    EXPECT_TRUE(form.View().Window()->isVisible());
}

TEST(OptionsWindow, LinkFollowsTheFieldAndOpensTheBrowser) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();

    form.View().SetPortText("1234");
    EXPECT_EQ(form.View().LinkText(), "http://localhost:1234");

    auto* label = form.View().Window()->findChild<QLabel*>("Labelhttp");
    const QPointF inside(2, 2);
    QMouseEvent press(QEvent::MouseButtonPress, inside, label->mapToGlobal(inside),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, label->mapToGlobal(inside),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(label, &press);
    QCoreApplication::sendEvent(label, &release);
    EXPECT_EQ(run.desk->Urls(), std::vector<std::string>{"http://localhost:1234"});
}

TEST(OptionsWindow, WithoutATrayOkMinimisesUntilATrayAppears) {
    PanelRun run;
    PtyDevice com1(run.devices, 1);
    run.desk->SetTrayAvailable(false);
    run.WriteSettings(1, FreePort());
    TForm1& form = run.Create();
    EXPECT_EQ(run.desk->Messages(), std::vector<std::string>{"Can't Add Notify Icon"});

    form.Button1Click();
    EXPECT_TRUE(form.View().Window()->isMinimized());

    form.TrayAppeared();
    form.Options1Click();
    form.ButtonCancelClick();
    EXPECT_FALSE(form.View().Window()->isVisible());
}

TEST(Autodetect, FindsTheDeviceAppliesItsPortAndOpensTheBrowser) {
    PanelRun run;
    PtyDevice silent(run.devices, 1);      // the configured port: nothing answers
    Simulator device(run.devices, 2);      // the device
    PtyDevice held(run.devices, 3);        // taken by another program
    ASSERT_TRUE(silent.ok() && device.ok() && held.ok());
    const int port = FreePort();
    run.WriteSettings(1, port, "SentDelay=0\n");
    TForm1& form = run.Create();
    const plat::Handle other = plat::OpenSerial(CommPathFor(3));
    ASSERT_NE(other, plat::kInvalidHandle);

    form.Button2Click();
    plat::CloseSerial(other);

    EXPECT_EQ(form.View().ComPortText(0), "Com1 active");
    EXPECT_EQ(form.View().ComPortText(1), "Com2 Box");
    EXPECT_EQ(form.View().ComPortText(2), "Com3 busy");
    for (int i = 3; i < 12; ++i) EXPECT_EQ(form.View().ComPortText(i), "Com" + std::to_string(i + 1) + "-");
    EXPECT_TRUE(PortStates[1].DeviceFound);
    EXPECT_TRUE(PortStates[0].Active && !PortStates[0].DeviceFound);

    // Applied and opened in the browser.
    EXPECT_EQ(form.View().ComPortIndex(), 1);
    EXPECT_EQ(IniParams->ComPort, 2);
    EXPECT_EQ(CommPortName.get(), "\\\\.\\COM2");
    EXPECT_NE(run.Settings().find("ComPort=2"), std::string::npos);
    EXPECT_EQ(run.desk->Urls(), std::vector<std::string>{"http://localhost:" + std::to_string(port)});
}
