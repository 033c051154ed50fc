// Splash window and About box, and the program's version text.
#include "shell/splash.h"

#include "platform/inifile.h"
#include "transport/globals.h"
#include "shell/main.h"
#include "transport/settings_file.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <filesystem>

TFrmSplash* FrmSplash = nullptr;

namespace {
std::string& FirstParameter() {
    static std::string first;
    return first;
}

QPixmap SplashPicture() {
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(40, 90, 160));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(4, 12, 56, 40, 6, 6);
    p.setPen(QPen(Qt::white, 3));
    p.drawLine(8, 16, 32, 36);
    p.drawLine(32, 36, 56, 16);
    return pm;
}
}  // namespace

TFrmSplash::TFrmSplash(QWidget* parent) : QDialog(parent) {
    setObjectName("FrmSplash");
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setWindowTitle("Tarnwick");

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setPixmap(SplashPicture());
    Label3 = new QLabel("Tarnwick", this);
    Label3->setObjectName("Label3");
    QFont big = Label3->font();
    big.setPointSize(big.pointSize() + 8);
    big.setBold(true);
    Label3->setFont(big);
    Label4 = new QLabel(this);
    Label4->setObjectName("Label4");
    Label4->setText(QString::fromStdString(
        "v" + splash::GetFileVersionText(QCoreApplication::applicationFilePath().toStdString())));
    LblAction = new QLabel("Inititializing...", this);
    LblAction->setObjectName("LblAction");
    LblAction->setMinimumWidth(260);
    BtnClose = new QPushButton("Close", this);
    BtnClose->setObjectName("BtnClose");
    BtnClose->hide();
    connect(BtnClose, &QPushButton::clicked, this, &TFrmSplash::BtnCloseClick);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(5000);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &TFrmSplash::Timer1Timer);

    auto* top = new QHBoxLayout;
    top->addWidget(Image1);
    auto* names = new QVBoxLayout;
    names->addWidget(Label3);
    names->addWidget(Label4);
    top->addLayout(names);
    top->addStretch();
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(LblAction);
    all->addWidget(BtnClose, 0, Qt::AlignRight);
    setStyleSheet("TFrmSplash { border: 1px solid palette(dark); }");
}

void TFrmSplash::ShowProgress(const std::string& text) {
    LblAction->setText(QString::fromStdString(text));
    if (isVisible()) LblAction->repaint();
    // Only what paints the splash runs here. Sockets and user input wait for
    // the message loop, so nothing can reach a window that start-up has not
    // created yet.
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::ExcludeSocketNotifiers);
}

void TFrmSplash::Timer1Timer() {
    Timer1->stop();
    platform::IniFile ini(settings::IniPath());
    if (ini.ReadBool("General", "StartMin", false) && FirstParameter() == "/m") {
        hide();
        if (FrmMain != nullptr) FrmMain->StartMinimised();
    }
    hide();
}

void TFrmSplash::BtnCloseClick() { done(QDialog::Accepted); }

void TFrmSplash::SetCommandLine(int argc, char** argv) {
    FirstParameter() = argc > 1 && argv[1] != nullptr ? argv[1] : "";
}

namespace splash {

std::string FormatVersion(int major, int minor, int release, int build) {
    std::string text = std::to_string(major) + "." + std::to_string(minor);
    if (build != 0)
        text += "." + std::to_string(release) + "." + std::to_string(build);
    else if (release != 0)
        text += "." + std::to_string(release);
    return text;
}

std::string GetFileVersionText(const std::string& fileName) {
    std::error_code ec;
    auto self = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec) return "";
    auto other = std::filesystem::canonical(fileName, ec);
    if (ec || other != self) return "";
    return FormatVersion(TARNWICK_VERSION_MAJOR, TARNWICK_VERSION_MINOR, TARNWICK_VERSION_PATCH,
                         TARNWICK_VERSION_TWEAK + 0);
}

void Progress(const std::string& text) {
    if (FrmSplash != nullptr) FrmSplash->ShowProgress(text);
}

}  // namespace splash
