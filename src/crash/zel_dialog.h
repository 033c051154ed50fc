// The exception dialog: the dialog text, up to seven buttons and, on
// request, the whole bug report. It lives on the main thread like every
// window; the exception thread waits for its buttons and carries out their
// actions while the dialog keeps being painted. Without a display, or when
// the main thread does not answer, the text and report go to standard
// output and the automatic rules decide.
//
// ShowExceptionDialog (declared with the exception thread's interface)
// fires the action handlers of every action it takes, the continue,
// restart or close it returns included; its caller only carries out a
// returned restart or close.
#pragma once

#include <QDialog>
#include <QPushButton>

#include <array>
#include <chrono>
#include <functional>
#include <string>

#include "zel_dialog_rules.h"
#include "zel_exception.h"
#include "zel_settings.h"

class QLabel;
class QPlainTextEdit;
class QTimer;

namespace zelExcept {

// A dialog button; it can carry the countdown bar over its face.
class TExceptionButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    void SetProgress(double part);  // 0 to 1; below 0 removes the bar
    double Progress() const { return progress_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double progress_ = -1;
};

class TExceptionBox : public QDialog {
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    // `run` hands a pressed button's action to whoever carries it out,
    // which answers with ActionDone on this thread.
    TExceptionBox(const TExceptionRecord& exception, const std::string& report, std::function<void(TAction)> run,
                  TClock clock = {}, QWidget* parent = nullptr);

    // Beeps, shows the dialog in front and starts the countdown.
    void Start();
    // The action is done: show widens the dialog to the report, continue,
    // restart and close end the dialog with that action as its result.
    void ActionDone(TAction action, bool succeeded, const std::string& report);

    TExceptionButton* Button(int action) const;  // nullptr when absent
    int FocusAction() const { return focus_; }
    int CountdownAction() const { return countdown_; }
    bool ReportShown() const;
    QPlainTextEdit* ReportView() const { return reportView_; }
    QLabel* MessageLabel() const { return text_; }
    // One tick of the countdown timer (public so tests drive it).
    void CountdownTick();
    bool Busy() const { return busy_; }

    // Escape and the title bar's close.
    void reject() override;

private:
    void ButtonClicked(int action);
    void StopCountdown();
    void Relayout();

    TExceptionRecord exception_;
    std::string report_;
    std::function<void(TAction)> run_;
    TClock clock_;
    QLabel* icon_ = nullptr;
    QLabel* text_ = nullptr;
    QPlainTextEdit* reportView_ = nullptr;
    std::array<TExceptionButton*, 7> buttons_{};
    int focus_ = actMail;
    int countdown_ = -1;
    std::chrono::steady_clock::time_point countdownStart_;
    QTimer* countdownTimer_ = nullptr;
    bool busy_ = false;
    bool ending_ = false;
};

// The popup that shows how far a long report has come: a bar half as wide
// as the screen, on top of everything, with the percentage at its right.
class TProgressPopup : public QWidget {
public:
    TProgressPopup();
    void SetPosition(int position);  // 0..1000
    QString Text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int position_ = 0;
};

// Puts this dialog and the library's other windows (save question, result
// box, clipboard, screen facts) in place of the headless ones. The
// windows' start-up calls it before the library starts.
void InstallExceptionWindows();

}  // namespace zelExcept
