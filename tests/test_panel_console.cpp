// The debug console window, off screen, fed through the platform layer's
// console hook as the bridge's trace is.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "console_window.h"
#include "platform/console.h"

// Qt hands some painting and text work to its thread pool and synchronises
// it inside its own, uninstrumented libraries, where ThreadSanitizer cannot
// see the locks. Only the memory calls made from Qt itself are excused; the
// console's own accesses stay checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Core.so.6\n";
}

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_panel_console";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt does not like to be torn down among static objects.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop until done() holds or the limit passes.
bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > std::chrono::milliseconds(limit).count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QStringList Lines(const QPlainTextEdit* view) {
    return view->toPlainText().split(QChar('\n'));
}

QString LastLine(const QPlainTextEdit* view) {
    return view->document()->lastBlock().text();
}

void Key(QWidget* w, int key, Qt::KeyboardModifiers mods, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(w, &press);
}

}  // namespace

TEST(DebugConsoleWindow, ShowsTheTraceAndEndsTheProgramOnClose) {
    App();
    DebugConsole console;
    int controlEvents = 0;
    console.onControlEvent = [&] { ++controlEvents; };
    console.SetTitle("PLMX Communication Verbose console");

    ASSERT_TRUE(console.Open());
    EXPECT_FALSE(console.Open()) << "a console exists already";
    EXPECT_TRUE(console.IsOpen());
    EXPECT_TRUE(plat::ConsoleAttached());
    QPlainTextEdit* view = console.View();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->windowTitle(), "PLMX Communication Verbose console");

    // Lines come in pieces, as the trace writes them; a request's CR LF
    // echoed byte by byte; control bytes and broken UTF-8 shown as codes; a
    // character split over two writes stays whole.
    plat::ConsoleWrite("Port opened.\n");
    plat::ConsoleWrite("ComRead: ");
    plat::ConsoleWrite("12");
    plat::ConsoleWrite("\n");
    for (const char* echo : {".G", ".E", ".T", ".\r", ".\n"}) plat::ConsoleWrite(echo);
    plat::ConsoleWrite("HTTP/1.0 200 OK\r\n");
    plat::ConsoleWrite(std::string("\x01\xff" "a\0b\x7f\n", 7));
    plat::ConsoleWrite("Gr\xC3");
    plat::ConsoleWrite("\xBC\xC3\x9F" "e\n");
    plat::ConsoleWrite("end");
    ASSERT_TRUE(RunUntil([&] { return LastLine(view) == "end"; }));
    EXPECT_EQ(Lines(view), (QStringList{"Port opened.", "ComRead: 12", ".G.E.T.\\x0D.",
                                        "HTTP/1.0 200 OK", "\\x01\\xFFa\\x00b\\x7F",
                                        QString::fromUtf8("Grüße"), "end"}));

    // Ctrl+C copies the selection and leaves the program alone.
    view->selectAll();
    Key(view, Qt::Key_C, Qt::ControlModifier, "\x03");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), view->toPlainText());
    EXPECT_EQ(controlEvents, 0);

    // Ctrl+Break and the window's close button hand over to the program's
    // handler; as long as it has not ended the program, the window stays.
    Key(view, Qt::Key_Pause, Qt::ControlModifier);
    EXPECT_EQ(controlEvents, 1);
    view->close();
    EXPECT_EQ(controlEvents, 2);
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(console.IsOpen());

    // Closed, the console takes nothing; a new one starts empty.
    console.Close();
    EXPECT_FALSE(console.IsOpen());
    EXPECT_FALSE(plat::ConsoleAttached());
    EXPECT_FALSE(view->isVisible());
    plat::ConsoleWrite("lost\n");
    ASSERT_TRUE(console.Open());
    plat::ConsoleWrite("again\n");
    ASSERT_TRUE(RunUntil([&] { return view->toPlainText().contains("again"); }));
    EXPECT_FALSE(view->toPlainText().contains("lost"));
    EXPECT_FALSE(view->toPlainText().contains("Port opened."));
    console.Close();
}

// Not a timing test: two writers pour out the trace as fast as they can and
// the window has to stay usable and bounded, however long the drain takes.
TEST(DebugConsoleWindow, KeepsUpWithTwoBusyWriters) {
    App();
    DebugConsole console;
    ASSERT_TRUE(console.Open());
    QPlainTextEdit* view = console.View();
    // A heartbeat on the user-interface thread: the longest pause between its
    // beats tells whether the window kept the event loop going.
    QElapsedTimer sinceBeat;
    sinceBeat.start();
    qint64 longestPause = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestPause = std::max(longestPause, sinceBeat.restart());
    });
    heartbeat.start(10);

    constexpr int kPieces = 100000;  // per writer
    std::atomic<int> finished{0};
    // One writer sends short lines in two pieces, as the trace does.
    std::thread lines([&] {
        for (int i = 0; i < kPieces / 2; ++i) {
            plat::ConsoleWrite("ComRead: ");
            plat::ConsoleWrite(std::to_string(i) + " bytes\n");
        }
        finished++;
    });
    // The other echoes bytes and never ends a line of its own.
    std::thread echoes([&] {
        for (int i = 0; i < kPieces; ++i) plat::ConsoleWrite(".x");
        finished++;
    });
    ASSERT_TRUE(RunUntil([&] { return finished == 2; }, std::chrono::seconds(300)));
    lines.join();
    echoes.join();
    // Alone, the echo makes one endless line, which the window must break.
    for (int i = 0; i < 10000; ++i) plat::ConsoleWrite(".x");
    plat::ConsoleWrite("\nDONE\n");
    ASSERT_TRUE(RunUntil([&] { return Lines(view).contains("DONE"); }, std::chrono::seconds(300)));
    heartbeat.stop();

    EXPECT_LT(longestPause, 10000) << "the event loop stalled for " << longestPause << " ms";
    QTextDocument* doc = view->document();
    EXPECT_LE(doc->blockCount(), DebugConsole::kMaxLines);
    int longest = 0;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) longest = std::max(longest, b.length() - 1);
    EXPECT_EQ(longest, DebugConsole::kMaxLineChars);
    console.Close();
}

// A trace written while the window cannot take it (here the user-interface
// thread is busy writing it) is cut to the newest whole lines, with a mark.
TEST(DebugConsoleWindow, DropsTheOldestTextItCannotTake) {
    App();
    DebugConsole console;
    ASSERT_TRUE(console.Open());
    QPlainTextEdit* view = console.View();

    // Long lines, so that what the buffer keeps fits in the window.
    const std::string filler(1000, 'x');
    constexpr int kLines = 12000;  // about 12 MB, three times the buffer
    for (int i = 0; i < kLines; ++i) plat::ConsoleWrite("line " + std::to_string(i) + " " + filler + "\n");
    plat::ConsoleWrite("LAST\n");
    ASSERT_TRUE(RunUntil([&] { return Lines(view).contains("LAST"); }));

    const QStringList lines = Lines(view);
    EXPECT_LE(view->document()->blockCount(), DebugConsole::kMaxLines);
    ASSERT_EQ(lines.count(DebugConsole::kDroppedMark), 1);
    const int mark = lines.indexOf(DebugConsole::kDroppedMark);
    const int last = lines.indexOf("LAST");
    ASSERT_GT(last - mark, 100);
    // Between the mark and the end: whole lines, in order, none missing.
    const int first = kLines - (last - mark - 1);
    for (int k = mark + 1; k < last; ++k) {
        const QString expected = "line " + QString::number(first + k - mark - 1) + " ";
        ASSERT_TRUE(lines[k].startsWith(expected) && lines[k].size() == expected.size() + 1000)
            << "line " << k << ": " << lines[k].left(40).toStdString();
    }
    console.Close();
}
