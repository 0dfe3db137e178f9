// Translating a whole window once: every text of it and its children.
#include <set>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QString>
#include <QWidget>

#include "i18n.h"

namespace {

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
