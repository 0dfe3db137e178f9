#include "i18n.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <set>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QString>
#include <QWidget>

namespace {

const char* NonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

bool IsPlainCLocale(const char* name) {
    return name && (std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0);
}

QString Translated(const QString& text) {
    if (text.isEmpty()) return text;
    const QByteArray id = text.toUtf8();
    return QString::fromStdString(tr_(id.constData()));
}

// Menus reachable both as children of the window and through actions are
// translated only on the first visit.
void TranslateMenu(QMenu* menu, std::set<QMenu*>& done) {
    if (!done.insert(menu).second) return;
    menu->setTitle(Translated(menu->title()));
    for (QAction* action : menu->actions()) {
        if (action->isSeparator()) continue;
        action->setText(Translated(action->text()));
        // An action without its own tool tip reports its text as one;
        // translating that would turn it into a fixed copy of the text.
        if (action->toolTip() != action->text()) action->setToolTip(Translated(action->toolTip()));
        if (QMenu* sub = action->menu()) TranslateMenu(sub, done);
    }
}

void TranslateWidget(QWidget* w) {
    if (!w->toolTip().isEmpty()) w->setToolTip(Translated(w->toolTip()));
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(Translated(label->text()));
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        button->setText(Translated(button->text()));
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
        group->setTitle(Translated(group->title()));
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        for (int i = 0; i < combo->count(); ++i) combo->setItemText(i, Translated(combo->itemText(i)));
    }
}

}  // namespace

void InitTranslation(const std::string& exeDir) {
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    if (!messages || IsPlainCLocale(messages)) std::setlocale(LC_MESSAGES, "C.UTF-8");

    if (!NonEmptyEnv("LANGUAGE")) {
        const char* lang = NonEmptyEnv("LC_ALL");
        if (!lang) lang = NonEmptyEnv("LC_MESSAGES");
        if (!lang) lang = NonEmptyEnv("LANG");
        if (lang && !IsPlainCLocale(lang)) setenv("LANGUAGE", lang, 1);
    }

    const std::string dir = exeDir + "/locale";
    bindtextdomain(kTextDomain, dir.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    // Setting the domain also drops glibc's cached lookups, so a second call
    // after the environment changed takes the new language.
    textdomain(kTextDomain);
}

std::string tr_(const char* msgid) {
    if (!msgid || !*msgid) return {};
    return dgettext(kTextDomain, msgid);
}

void TranslateComponent(QWidget* root, QMenu* menu) {
    std::set<QMenu*> done;
    if (menu) TranslateMenu(menu, done);
    if (!root) return;
    root->setWindowTitle(Translated(root->windowTitle()));
    TranslateWidget(root);
    for (QWidget* child : root->findChildren<QWidget*>()) {
        if (auto* m = qobject_cast<QMenu*>(child)) {
            TranslateMenu(m, done);
        } else {
            TranslateWidget(child);
        }
    }
}
