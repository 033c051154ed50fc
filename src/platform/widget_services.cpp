// The widget side of the dialog and desktop services: real message boxes,
// input boxes and the desktop's URL opener, installed over the headless
// defaults once there is a widget application.
#include "platform/application.h"
#include "platform/dialogs.h"
#include "platform/shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QUrl>

namespace platform {
namespace {

QMessageBox::StandardButton ToButton(MsgResult r) {
    switch (r) {
    case MsgResult::Ok: return QMessageBox::Ok;
    case MsgResult::Cancel: return QMessageBox::Cancel;
    case MsgResult::Yes: return QMessageBox::Yes;
    case MsgResult::No: return QMessageBox::No;
    }
    return QMessageBox::NoButton;
}

QMessageBox::StandardButtons ToButtons(MsgButtons b) {
    switch (b) {
    case MsgButtons::Ok: return QMessageBox::Ok;
    case MsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon ToIcon(MsgKind kind) {
    switch (kind) {
    case MsgKind::Information: return QMessageBox::Information;
    case MsgKind::Warning: return QMessageBox::Warning;
    case MsgKind::Error: return QMessageBox::Critical;
    case MsgKind::Confirmation: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

MsgResult ShowMessage(MsgKind kind, MsgButtons buttons, const std::string& caption,
                      const std::string& text, MsgResult def, QWidget* parent) {
    QMessageBox box(ToIcon(kind), QString::fromStdString(caption), QString::fromStdString(text),
                    ToButtons(buttons), parent);
    box.setDefaultButton(ToButton(def));
    switch (box.exec()) {
    case QMessageBox::Ok: return MsgResult::Ok;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    case QMessageBox::Cancel: return MsgResult::Cancel;
    default:
        // Closed with Escape or the window button: the box's escape answer.
        return buttons == MsgButtons::Ok ? MsgResult::Ok
               : buttons == MsgButtons::YesNo ? MsgResult::No
                                              : MsgResult::Cancel;
    }
}

bool ShowInput(const std::string& caption, const std::string& prompt, std::string& value,
               bool password, QWidget* parent) {
    bool ok = false;
    QString text = QInputDialog::getText(parent, QString::fromStdString(caption),
                                         QString::fromStdString(prompt),
                                         password ? QLineEdit::Password : QLineEdit::Normal,
                                         QString::fromStdString(value), &ok);
    if (!ok) return false;
    value = text.toStdString();
    return true;
}

bool OpenWithDesktop(const std::string& urlOrPath) {
    const QString text = QString::fromStdString(urlOrPath);
    QUrl url = text.startsWith('/') ? QUrl::fromLocalFile(text) : QUrl(text);
    if (url.scheme().isEmpty()) url = QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
    return QDesktopServices::openUrl(url);
}

}  // namespace

void InstallWidgetServices() {
    SetDialogPresenter({ShowMessage, ShowInput});
    SetUrlOpener(OpenWithDesktop);
}

}  // namespace platform
