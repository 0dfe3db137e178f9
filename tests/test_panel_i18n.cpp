// Translations through the real catalogues built into the build folder, on a
// machine that may have no locale but C and C.UTF-8.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "i18n.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_panel_i18n";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt does not like to be torn down among static objects.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Starts the way the program does: a fresh environment, the locale taken
// from it (QApplication does this), then the translation set up.
void StartWith(const std::map<std::string, std::string>& env) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::setlocale(LC_ALL, "");
    InitTranslation(BUILD_DIR);
}

bool CataloguesBuilt() {
    for (const char* lang : {"de", "ru"}) {
        if (!std::filesystem::exists(std::string(BUILD_DIR) + "/locale/" + lang +
                                     "/LC_MESSAGES/server_t.mo"))
            return false;
    }
    return true;
}

}  // namespace

TEST(Translation, LanguageComesFromTheEnvironment) {
    ASSERT_TRUE(CataloguesBuilt()) << "build the 'catalogues' target first";
    struct Case {
        const char* what;
        std::map<std::string, std::string> env;
        const char* connected;
        const char* consoleTitle;  // keeps its leading blank
        const char* portMissing;   // keeps its trailing blank
    };
    const Case cases[] = {
        {"LANGUAGE with an uninstalled LANG",
         {{"LANGUAGE", "de"}, {"LANG", "de_DE.UTF-8"}},
         "Verbunden", " Ausführliche Kommunikationskonsole", "Port existiert nicht "},
        {"LANG alone",
         {{"LANG", "ru_RU.UTF-8"}},
         "Подключено", " Подробная консоль обмена", "— порт не существует "},
        {"LC_MESSAGES before LANG",
         {{"LC_MESSAGES", "de_AT.UTF-8"}, {"LANG", "ru_RU.UTF-8"}},
         "Verbunden", " Ausführliche Kommunikationskonsole", "Port existiert nicht "},
        {"LC_ALL before LC_MESSAGES",
         {{"LC_ALL", "ru_RU.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}},
         "Подключено", " Подробная консоль обмена", "— порт не существует "},
        {"a language without a catalogue", {{"LANG", "fr_FR.UTF-8"}},
         "Connected", " Communication Verbose console", "Port not exists "},
        {"the C locale", {{"LANG", "C"}},
         "Connected", " Communication Verbose console", "Port not exists "},
        {"nothing set", {},
         "Connected", " Communication Verbose console", "Port not exists "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartWith(c.env);
        EXPECT_EQ(tr_("Connected"), c.connected);
        EXPECT_EQ(tr_(" Communication Verbose console"), c.consoleTitle);
        EXPECT_EQ(tr_("Port not exists "), c.portMissing);
        // Texts that are never translated pass through; an empty identifier
        // must not turn into the catalogue's header.
        EXPECT_EQ(tr_("Version: 02.705"), "Version: 02.705");
        EXPECT_EQ(tr_(""), "");
    }
}

TEST(Translation, TranslatesAWindowAndItsMenuOnce) {
    ASSERT_TRUE(CataloguesBuilt()) << "build the 'catalogues' target first";
    App();
    StartWith({{"LANGUAGE", "de"}});

    QDialog window;
    window.setWindowTitle("Serial-Tcp/Ip");
    auto* group = new QGroupBox("Select Comm Port", &window);
    auto* combo = new QComboBox(group);
    combo->addItems({"Com1", "Com12"});
    auto* debug = new QCheckBox("Debug Window", group);
    debug->setToolTip("Show or hide Debug Window");
    auto* apply = new QPushButton("Apply", &window);
    auto* link = new QLabel("http://localhost:5000", &window);
    auto* port = new QLineEdit("Cancel", &window);  // user data, not a text of the window

    // The tray menu: a child of the window and also passed on its own.
    auto* menu = new QMenu(&window);
    QAction* server = menu->addAction("Quarn Server");
    QAction* ports = menu->addAction("");
    QAction* options = menu->addAction("Options");
    menu->addSeparator();
    QAction* exit = menu->addAction("Close Server");
    QMenu* sub = menu->addMenu("Version");
    QAction* inSub = sub->addAction("Error");

    TranslateComponent(&window, menu);

    EXPECT_EQ(window.windowTitle(), "Seriell-TCP/IP");
    EXPECT_EQ(group->title(), "COM-Port wählen");
    EXPECT_EQ(combo->itemText(0), "Com1");
    EXPECT_EQ(combo->itemText(1), "Com12");
    EXPECT_EQ(debug->text(), "Debug-Fenster");
    EXPECT_EQ(debug->toolTip(), "Debug-Fenster ein- oder ausblenden");
    EXPECT_EQ(apply->text(), "Anwenden");
    EXPECT_EQ(link->text(), "http://localhost:5000");
    EXPECT_EQ(port->text(), "Cancel");
    EXPECT_EQ(server->text(), "Quarn-Server");
    EXPECT_EQ(ports->text(), "");
    EXPECT_EQ(options->text(), "Optionen");
    EXPECT_EQ(exit->text(), "Server beenden");
    EXPECT_EQ(sub->title(), "Version");
    EXPECT_EQ(inSub->text(), "Fehler");

    // A second language reached after a change of environment: glibc's
    // cache of earlier lookups must not answer.
    StartWith({{"LANGUAGE", "ru"}});
    QLabel again("Close Server");
    TranslateComponent(&again);
    EXPECT_EQ(again.text(), "Закрыть сервер");
}
