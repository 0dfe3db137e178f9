#include "panel/form_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>

#include "panel/console_window.h"
#include "panel/i18n.h"
#include "panel/panel_resources.h"
#include "ui_servmain.h"

namespace {

QString ToQ(const std::string& text) { return QString::fromStdString(text); }

// The dialog itself: what the window system does to it goes to the form.
class TForm1Window : public QDialog {
public:
    explicit TForm1Window(TForm1& form) : form_(form) {
        InitPanelResources();
        ui.setupUi(this);
        setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
        setFixedSize(290, 308);

        // The menu's texts are message identifiers, translated with the
        // window's at start-up.
        TaskBarMenu = new QMenu(this);
        TaskBarMenu->setObjectName("TaskBarMenu");
        MIServerName = TaskBarMenu->addAction(QIcon(QStringLiteral(":/icons/VARN")),
                                              QString::fromUtf8(N_("Quarn Server")));
        MIServerName->setObjectName("MIServerName");
        MIServerName->setIconVisibleInMenu(true);
        MIPorts = TaskBarMenu->addAction(QString());
        MIPorts->setObjectName("MIPorts");
        Options1 = TaskBarMenu->addAction(QString::fromUtf8(N_("Options")));
        Options1->setObjectName("Options1");
        TaskBarMenu->addSeparator()->setObjectName("N1");
        MIExit = TaskBarMenu->addAction(QString::fromUtf8(N_("Close Server")));
        MIExit->setObjectName("MIExit");
        Version1 = TaskBarMenu->addAction(QString::fromUtf8(N_("Version")));
        Version1->setObjectName("Version1");

        ui.EditIPPort->installEventFilter(this);
        ui.Labelhttp->installEventFilter(this);
    }

    Ui::TForm1 ui;
    QMenu* TaskBarMenu = nullptr;
    QAction* MIServerName = nullptr;
    QAction* MIPorts = nullptr;
    QAction* Options1 = nullptr;
    QAction* MIExit = nullptr;
    QAction* Version1 = nullptr;

protected:
    // The title bar asks for no close button, but some window managers
    // offer one anyway; closing the main window ends the program.
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        form_.MIExitClick();
    }
    void reject() override { form_.ButtonCancelClick(); }
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        // Only a real showing reloads the fields, not a restore from the
        // task bar.
        if (!event->spontaneous()) form_.FormShow();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == ui.EditIPPort && event->type() == QEvent::KeyPress)
            return FilterPortKey(static_cast<QKeyEvent*>(event));
        if (watched == ui.Labelhttp && event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                ui.Labelhttp->rect().contains(mouse->position().toPoint()))
                form_.LabelhttpClick();
            return false;
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    // The field takes characters through EditIPPortKeyPress only. Keys that
    // are not characters (arrows, Delete, Home, the focus keys) edit or move
    // as usual; a Ctrl combination is the control character it stands for,
    // so copy and paste by keyboard are turned away with the rest.
    bool FilterPortKey(QKeyEvent* event) {
        const int code = event->key();
        char32_t key = 0;
        if (code == Qt::Key_Backspace) {
            key = 8;
        } else if (code == Qt::Key_Return || code == Qt::Key_Enter) {
            key = 13;
        } else if (code == Qt::Key_Escape) {
            key = 27;
        } else if (code >= Qt::Key_Escape) {
            return false;
        } else if ((event->modifiers() & Qt::ControlModifier) && code >= Qt::Key_A &&
                   code <= Qt::Key_Z) {
            key = static_cast<char32_t>(code - Qt::Key_A + 1);
        } else {
            const QList<uint> text = event->text().toUcs4();
            if (text.isEmpty()) return false;
            key = text.front();
        }
        form_.EditIPPortKeyPress(key);
        return key == 0;
    }

    TForm1& form_;
};

class WidgetView : public FormView {
public:
    explicit WidgetView(TForm1& form) : form_(form), window_(form) {
        Ui::TForm1& ui = window_.ui;
        auto run = [this](void (TForm1::*handler)()) {
            return [this, handler] { form_.RunHandler(handler); };
        };
        QObject::connect(ui.Button1, &QPushButton::clicked, &window_, run(&TForm1::Button1Click));
        QObject::connect(ui.ButtonApply, &QPushButton::clicked, &window_,
                         run(&TForm1::ButtonApplyClick));
        QObject::connect(ui.ButtonCancel, &QPushButton::clicked, &window_,
                         run(&TForm1::ButtonCancelClick));
        QObject::connect(ui.Button2, &QPushButton::clicked, &window_, run(&TForm1::Button2Click));
        // Toggled, not clicked: a box set by the program runs its handler
        // just as a click does.
        QObject::connect(ui.CheckBoxCts, &QCheckBox::toggled, &window_,
                         run(&TForm1::CheckBoxCtsClick));
        QObject::connect(ui.CheckBoxDontClose, &QCheckBox::toggled, &window_,
                         run(&TForm1::CheckBoxDontCloseClick));
        QObject::connect(ui.CheckBoxDebugWindow, &QCheckBox::toggled, &window_,
                         run(&TForm1::CheckBoxDebugWindowClick));
        QObject::connect(ui.EditIPPort, &QLineEdit::textChanged, &window_,
                         run(&TForm1::EditIPPortChange));
        QObject::connect(window_.TaskBarMenu, &QMenu::aboutToShow, &window_,
                         run(&TForm1::TaskBarMenuPopup));
        QObject::connect(window_.Options1, &QAction::triggered, &window_,
                         run(&TForm1::Options1Click));
        QObject::connect(window_.MIExit, &QAction::triggered, &window_, run(&TForm1::MIExitClick));
    }

    void Translate() override { TranslateComponent(&window_, window_.TaskBarMenu); }

    std::string Caption() const override { return window_.windowTitle().toStdString(); }
    void SetCaption(const std::string& text) override { window_.setWindowTitle(ToQ(text)); }

    int ComPortIndex() const override { return window_.ui.ComboBoxComPort->currentIndex(); }
    void SetComPortIndex(int index) override { window_.ui.ComboBoxComPort->setCurrentIndex(index); }
    std::string ComPortText(int index) const override {
        return window_.ui.ComboBoxComPort->itemText(index).toStdString();
    }
    void SetComPortText(int index, const std::string& text) override {
        window_.ui.ComboBoxComPort->setItemText(index, ToQ(text));
    }

    bool Checked(Box box) const override { return CheckBox(box)->isChecked(); }
    void SetChecked(Box box, bool checked) override { CheckBox(box)->setChecked(checked); }

    std::string PortText() const override { return window_.ui.EditIPPort->text().toStdString(); }
    void SetPortText(const std::string& text) override { window_.ui.EditIPPort->setText(ToQ(text)); }
    std::string LinkText() const override { return window_.ui.Labelhttp->text().toStdString(); }
    void SetLinkText(const std::string& text) override { window_.ui.Labelhttp->setText(ToQ(text)); }
    void FocusPortField() override { window_.ui.EditIPPort->setFocus(Qt::OtherFocusReason); }

    std::string ItemCaption(Item item) const override {
        return Action(item)->text().toStdString();
    }
    void SetItemCaption(Item item, const std::string& text) override {
        Action(item)->setText(ToQ(text));
    }

    void ShowWindow() override {
        if (!placed_) {
            if (QScreen* screen = QGuiApplication::primaryScreen())
                window_.move(screen->availableGeometry().center() - window_.rect().center());
            placed_ = true;
        }
        if (window_.isMinimized()) window_.showNormal();
        window_.show();
        window_.raise();
        window_.activateWindow();
    }
    void HideWindow() override { window_.hide(); }
    void MinimizeWindow() override { window_.showMinimized(); }

    // The menu closes by itself when the focus leaves it, so the window need
    // not be brought forward first as the tray API once required.
    void PopupMenu() override { window_.TaskBarMenu->exec(QCursor::pos()); }

    void SetBusy(bool busy) override {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }

    bool OpenConsole() override {
        if (!console_) console_ = std::make_unique<DebugConsole>();
        return console_->Open();
    }
    void CloseConsole() override {
        if (console_) console_->Close();
    }
    void SetConsoleTitle(const std::string& title) override {
        if (console_) console_->SetTitle(title);
    }
    void SetConsoleHandler(std::function<void()> handler) override {
        if (console_) console_->onControlEvent = std::move(handler);
    }

    QDialog* Window() const override { return const_cast<TForm1Window*>(&window_); }
    QMenu* Menu() const override { return window_.TaskBarMenu; }
    DebugConsole* Console() const override { return console_.get(); }

private:
    QCheckBox* CheckBox(Box box) const {
        switch (box) {
            case Box::Cts: return window_.ui.CheckBoxCts;
            case Box::DontClose: return window_.ui.CheckBoxDontClose;
            case Box::DebugWindow: break;
        }
        return window_.ui.CheckBoxDebugWindow;
    }
    QAction* Action(Item item) const {
        switch (item) {
            case Item::ServerName: return window_.MIServerName;
            case Item::Ports: return window_.MIPorts;
            case Item::Version: break;
        }
        return window_.Version1;
    }

    TForm1& form_;
    TForm1Window window_;
    // Goes before the window it may refer to.
    std::unique_ptr<DebugConsole> console_;
    bool placed_ = false;
};

}  // namespace

std::unique_ptr<FormView> MakeWidgetView(TForm1& form) { return std::make_unique<WidgetView>(form); }
