#include "panel/qt_desktop.h"

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QInputDialog>
#include <QMessageBox>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>

#include "panel/panel_resources.h"

namespace panel {

namespace {

// Mouse message numbers the tray handler understands.
constexpr int kTrayIconId = 1;
constexpr int kLeftButtonDown = 0x0201;
constexpr int kLeftDoubleClick = 0x0203;
constexpr int kRightButtonDown = 0x0204;
constexpr int kMiddleButtonDown = 0x0207;

constexpr int kTrayPollMs = 2000;

QMessageBox::Icon BoxIcon(plat::MsgIcon icon) {
    switch (icon) {
        case plat::MsgIcon::Error: return QMessageBox::Critical;
        case plat::MsgIcon::Warning: return QMessageBox::Warning;
        case plat::MsgIcon::Information: return QMessageBox::Information;
        case plat::MsgIcon::Question: return QMessageBox::Question;
        case plat::MsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QIcon LoadIcon(const std::string& name) {
    QIcon icon(QStringLiteral(":/icons/") + QString::fromStdString(name));
    if (!icon.isNull() && !icon.pixmap(16, 16).isNull()) return icon;
    // The connected and disconnected states must stay visible; the error
    // state has no stand-in and shows an empty icon.
    if (name == "SERVER_CONN" || name == "SERVER_DISC")
        return QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    return QIcon();
}

}  // namespace

// ---------------------------------------------------------------- QtDesktop

QtDesktop::QtDesktop() {
    InitPanelResources();
    trayPoll_.setInterval(kTrayPollMs);
    connect(&trayPoll_, &QTimer::timeout, this, &QtDesktop::PollForTray);
}

QtDesktop::~QtDesktop() = default;

void QtDesktop::SetOwner(QWidget* owner) { owner_ = owner; }

void QtDesktop::SetTrayHandlers(std::function<void(int, int)> message,
                                std::function<void()> appeared) {
    trayMessage_ = std::move(message);
    trayAppeared_ = std::move(appeared);
}

void QtDesktop::MessageBox(const std::string& text, const std::string& caption,
                           plat::MsgIcon icon) {
    RunOnUiThread([&] {
        QMessageBox box(BoxIcon(icon), QString::fromStdString(caption),
                        QString::fromStdString(text), QMessageBox::Ok, owner_.data());
        box.exec();
    });
}

bool QtDesktop::Confirm(const std::string& question) {
    bool yes = false;
    RunOnUiThread([&] {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"),
                        QString::fromStdString(question), QMessageBox::Yes | QMessageBox::No,
                        owner_.data());
        yes = box.exec() == QMessageBox::Yes;
    });
    return yes;
}

bool QtDesktop::InputQuery(const std::string& caption, const std::string& prompt,
                           std::string& value) {
    bool ok = false;
    RunOnUiThread([&] {
        QInputDialog dialog(owner_.data());
        dialog.setWindowTitle(QString::fromStdString(caption));
        dialog.setLabelText(QString::fromStdString(prompt));
        dialog.setTextValue(QString::fromStdString(value));
        ok = dialog.exec() == QDialog::Accepted;
        if (ok) value = dialog.textValue().toStdString();
    });
    return ok;
}

void QtDesktop::ShowMessage(const std::string& text) {
    RunOnUiThread([&] {
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle),
                        QString::fromStdString(text), QMessageBox::Ok, owner_.data());
        box.exec();
    });
}

void QtDesktop::OpenUrl(const std::string& url) {
    RunOnUiThread([&] { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); });
}

void QtDesktop::PostQuit(int exitCode) { RequestQuit(exitCode); }

bool QtDesktop::TrayAdd(const plat::TrayIcon& icon) {
    bool added = false;
    RunOnUiThread([&] {
        if (!tray_) {
            tray_ = std::make_unique<QSystemTrayIcon>();
            connect(tray_.get(), &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
        }
        tray_->setIcon(LoadIcon(icon.iconName));
        tray_->setToolTip(QString::fromStdString(icon.tip));
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            tray_->show();
            added = true;
        } else {
            // No notification area now; the icon joins one that appears later.
            trayPoll_.start();
        }
    });
    return added;
}

bool QtDesktop::TrayModify(const plat::TrayIcon& icon) {
    bool shown = false;
    RunOnUiThread([&] {
        if (!tray_) return;
        tray_->setIcon(LoadIcon(icon.iconName));
        tray_->setToolTip(QString::fromStdString(icon.tip));
        shown = tray_->isVisible();
    });
    return shown;
}

bool QtDesktop::TrayDelete() {
    bool deleted = false;
    RunOnUiThread([&] {
        trayPoll_.stop();
        if (!tray_) return;
        deleted = tray_->isVisible();
        tray_->hide();
        tray_.reset();
    });
    return deleted;
}

void QtDesktop::OnActivated(int reason) {
    if (!trayMessage_) return;
    switch (reason) {
        case QSystemTrayIcon::Trigger: trayMessage_(kTrayIconId, kLeftButtonDown); break;
        case QSystemTrayIcon::DoubleClick: trayMessage_(kTrayIconId, kLeftDoubleClick); break;
        case QSystemTrayIcon::Context: trayMessage_(kTrayIconId, kRightButtonDown); break;
        case QSystemTrayIcon::MiddleClick: trayMessage_(kTrayIconId, kMiddleButtonDown); break;
        default: break;
    }
}

void QtDesktop::PollForTray() {
    if (!tray_) {
        trayPoll_.stop();
        return;
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    trayPoll_.stop();
    tray_->show();
    if (trayAppeared_) trayAppeared_();
}

}  // namespace panel
