// The splash window shown while the program starts, which doubles as the
// About box.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPushButton;
class QTimer;

class TFrmSplash : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSplash(QWidget* parent = nullptr);

    // Shows a start-up step and paints it at once.
    void ShowProgress(const std::string& text);

    QLabel* LblAction;   // progress text
    QLabel* Label4;      // version text
    QLabel* Label3;      // product name
    QLabel* Image1;
    QPushButton* BtnClose;  // shown in the About box only
    QTimer* Timer1;         // 5 s after the main window exists

    void Timer1Timer();
    void BtnCloseClick();

    // The command line of the program, for the "/m" switch.
    static void SetCommandLine(int argc, char** argv);
};

// The start-up splash; null before start-up creates it and after it is gone.
extern TFrmSplash* FrmSplash;

namespace splash {

// "major.minor.release.build", shortened as the version resource texts are:
// the build only when not 0, else the release only when not 0.
std::string FormatVersion(int major, int minor, int release, int build);

// The version text of the program. The version is compiled into the
// executable; a file that is not this program has no version here (empty).
std::string GetFileVersionText(const std::string& fileName);

// ShowProgress on the start-up splash, when there is one. Windows call it
// first thing in their creation so that the splash names what is happening.
void Progress(const std::string& text);

}  // namespace splash
