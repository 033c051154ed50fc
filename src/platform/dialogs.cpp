// Message boxes and input boxes: logged and answered by default without a
// display, scripted in tests, shown by the windows' presenter otherwise.
#include "platform/dialogs.h"

#include <QCoreApplication>
#include <QVariant>

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

DialogPresenter& Presenter() {
    static DialogPresenter presenter;
    return presenter;
}

DialogPresenter CurrentPresenter() {
    std::lock_guard<std::mutex> lock(HookMutex());
    return Presenter();
}

// A box needs a widget application and a display besides the presenter.
bool CanShowWindows() {
    QCoreApplication* app = QCoreApplication::instance();
    return !IsHeadless() && app != nullptr && app->inherits("QApplication");
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
    const DialogPresenter presenter = CurrentPresenter();
    if (!presenter.message || !CanShowWindows()) {
        HeadlessLog(std::string(KindText(kind)) + ": " + OneLine(text) + " [answered " +
                    ResultText(def) + "]");
        return def;
    }
    return presenter.message(kind, buttons, call.caption, Breaks(text, '\n'), def, parent);
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
    const DialogPresenter presenter = CurrentPresenter();
    if (!presenter.input || !CanShowWindows()) {
        HeadlessLog("Input: " + OneLine(caption) + ": " + OneLine(prompt) + " [cancelled]");
        return false;
    }
    return presenter.input(caption, Breaks(prompt, '\n'), value, password, parent);
}

void SetDialogPresenter(DialogPresenter presenter) {
    std::lock_guard<std::mutex> lock(HookMutex());
    Presenter() = presenter;
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
    // Once the GUI exists, the platform it actually got is what counts
    // (asked through the meta-object: this layer links no GUI library).
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && app->inherits("QGuiApplication")) {
        const QString name = app->property("platformName").toString();
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
