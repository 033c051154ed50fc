// Message boxes and input boxes: real with a display, logged and answered
// by default without one, scripted in tests.
#include "platform/dialogs.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

std::mutex& HookMutex() {
    static std::mutex m;
    return m;
}

std::function<MsgResult(DialogCall&)>& TestHandler() {
    static std::function<MsgResult(DialogCall&)> h;
    return h;
}

std::function<void(const std::string&)>& LogHook() {
    static std::function<void(const std::string&)> h;
    return h;
}

bool Allowed(MsgButtons buttons, MsgResult r) {
    switch (buttons) {
    case MsgButtons::Ok: return r == MsgResult::Ok;
    case MsgButtons::OkCancel: return r == MsgResult::Ok || r == MsgResult::Cancel;
    case MsgButtons::YesNo: return r == MsgResult::Yes || r == MsgResult::No;
    case MsgButtons::YesNoCancel:
        return r == MsgResult::Yes || r == MsgResult::No || r == MsgResult::Cancel;
    }
    return false;
}

const char* KindText(MsgKind kind) {
    switch (kind) {
    case MsgKind::Information: return "Information";
    case MsgKind::Warning: return "Warning";
    case MsgKind::Error: return "Error";
    case MsgKind::Confirmation: return "Confirmation";
    }
    return "";
}

const char* ResultText(MsgResult r) {
    switch (r) {
    case MsgResult::Ok: return "Ok";
    case MsgResult::Cancel: return "Cancel";
    case MsgResult::Yes: return "Yes";
    case MsgResult::No: return "No";
    }
    return "";
}

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

// The program's texts break lines with CR (sometimes CR LF); a box wants
// LF, a log line wants none. Each break becomes `with`.
std::string Breaks(const std::string& text, char with) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += (c == '\r' || c == '\n') ? with : c;
    }
    return out;
}

std::string OneLine(const std::string& text) { return Breaks(text, ' '); }

std::function<MsgResult(DialogCall&)> CurrentTestHandler() {
    std::lock_guard<std::mutex> lock(HookMutex());
    return TestHandler();
}

bool CanShowWindows() {
    return !IsHeadless() && qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

std::string Caption() {
    QString name = QCoreApplication::instance() ? QCoreApplication::applicationName() : QString();
    return name.isEmpty() ? "Tarnwick" : name.toStdString();
}

MsgResult ShowBox(const std::string& text, MsgKind kind, MsgButtons buttons,
                  std::optional<MsgResult> wanted, QWidget* parent) {
    DialogCall call{kind, buttons, Caption(), text, nullptr, wanted};
    if (auto handler = CurrentTestHandler()) {
        MsgResult r = handler(call);
        return Allowed(buttons, r) ? r : DefaultAnswer(buttons, wanted);
    }
    const MsgResult def = DefaultAnswer(buttons, wanted);
    if (!CanShowWindows()) {
        HeadlessLog(std::string(KindText(kind)) + ": " + OneLine(text) + " [answered " +
                    ResultText(def) + "]");
        return def;
    }
    QMessageBox box(ToIcon(kind), QString::fromStdString(call.caption),
                    QString::fromStdString(Breaks(text, '\n')), ToButtons(buttons), parent);
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

}  // namespace

MsgResult DefaultAnswer(MsgButtons buttons, std::optional<MsgResult> wanted) {
    if (wanted && Allowed(buttons, *wanted)) return *wanted;
    switch (buttons) {
    case MsgButtons::Ok: return MsgResult::Ok;
    case MsgButtons::OkCancel: return MsgResult::Cancel;
    case MsgButtons::YesNo: return MsgResult::No;
    case MsgButtons::YesNoCancel: return MsgResult::Cancel;
    }
    return MsgResult::Cancel;
}

MsgResult MessageBox(const std::string& text, MsgKind kind, MsgButtons buttons, QWidget* parent) {
    return ShowBox(text, kind, buttons, std::nullopt, parent);
}

MsgResult MessageBox(const std::string& text, MsgKind kind, MsgButtons buttons,
                     MsgResult defaultResult, QWidget* parent) {
    return ShowBox(text, kind, buttons, defaultResult, parent);
}

bool InputBox(const std::string& caption, const std::string& prompt, std::string& value,
              bool password, QWidget* parent) {
    if (auto handler = CurrentTestHandler()) {
        std::string edited = value;
        DialogCall call{MsgKind::Information, MsgButtons::OkCancel, caption, prompt, &edited,
                        std::nullopt};
        if (handler(call) != MsgResult::Ok) return false;
        value = edited;
        return true;
    }
    if (!CanShowWindows()) {
        HeadlessLog("Input: " + OneLine(caption) + ": " + OneLine(prompt) + " [cancelled]");
        return false;
    }
    bool ok = false;
    QString text = QInputDialog::getText(parent, QString::fromStdString(caption),
                                         QString::fromStdString(Breaks(prompt, '\n')),
                                         password ? QLineEdit::Password : QLineEdit::Normal,
                                         QString::fromStdString(value), &ok);
    if (!ok) return false;
    value = text.toStdString();
    return true;
}

void SetDialogHandlerForTesting(std::function<MsgResult(DialogCall&)> handler) {
    std::lock_guard<std::mutex> lock(HookMutex());
    TestHandler() = std::move(handler);
}

void SetHeadlessLogHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(HookMutex());
    LogHook() = std::move(hook);
}

void HeadlessLog(const std::string& line) {
    std::fprintf(stderr, "Tarnwick: %s\n", line.c_str());
    std::fflush(stderr);
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(HookMutex());
        hook = LogHook();
    }
    if (hook) hook(line);
}

bool IsHeadless() {
    // Once the GUI exists, the platform it actually got is what counts.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        const QString name = QGuiApplication::platformName();
        return name == "offscreen" || name == "minimal" || name.isEmpty();
    }
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    if (qpa && *qpa) {
        return std::strncmp(qpa, "offscreen", 9) == 0 || std::strncmp(qpa, "minimal", 7) == 0;
    }
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return !(x && *x) && !(w && *w);
}

}  // namespace platform
