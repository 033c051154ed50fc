// Log viewer: one page per log file, the lines the log routine writes while
// the window is open appended to their page, and the logging switches.
#include "shell/logs.h"

#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/globals.h"
#include "shell/procs.h"
#include "transport/settings_file.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStringDecoder>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

TFrmLogs* FrmLogs = nullptr;

namespace {

struct Page {
    const char* caption;
    const char* file;
};

// Page order is the order of the tabs.
constexpr std::array<Page, 5> kPages{{
    {"POP collection - External", "pop.log"},
    {"SMTP delivery - External", "smtp.log"},
    {"POP collection - Local", "popsvr.log"},
    {"SMTP delivery - Local", "smtpsvr.log"},
    {"Connection", "connect.log"},
}};

// Log lines are protocol traffic as it came in: mostly ASCII, now and then
// 8-bit text of an unknown charset. Valid UTF-8 is shown as such, anything
// else byte for byte as Latin-1, so no byte turns into a replacement mark.
QString ToDisplay(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The files end their lines with CR LF; the memo wants one separator.
std::string OneLineEnd(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

QPlainTextEdit* MakeMemo(const char* name, QWidget* parent) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setObjectName(name);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setReadOnly(true);
    memo->setUndoRedoEnabled(false);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont mono = memo->font();
    mono.setStyleHint(QFont::Monospace);
    mono.setFamily("monospace");
    memo->setFont(mono);
    return memo;
}

void CaretToEnd(QPlainTextEdit* memo) {
    memo->moveCursor(QTextCursor::End);
    memo->ensureCursorVisible();
}

}  // namespace

TFrmLogs::TFrmLogs(QWidget* parent) : QDialog(parent) {
    if (FrmLogs == nullptr) FrmLogs = this;
    setObjectName("FrmLogs");
    setWindowTitle("View logs");
    setMinimumSize(200, 200);
    setSizeGripEnabled(true);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    MemoPOP = MakeMemo("MemoPOP", PageControl1);
    MemoSMTP = MakeMemo("MemoSMTP", PageControl1);
    MemoPOPSVR = MakeMemo("MemoPOPSVR", PageControl1);
    MemoSMTPSVR = MakeMemo("MemoSMTPSVR", PageControl1);
    MemoConnect = MakeMemo("MemoConnect", PageControl1);
    const std::array<QPlainTextEdit*, 5> memos{MemoPOP, MemoSMTP, MemoPOPSVR, MemoSMTPSVR, MemoConnect};
    for (std::size_t i = 0; i < kPages.size(); ++i) PageControl1->addTab(memos[i], kPages[i].caption);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] { PageControl1Change(); });

    CHBLog1 = new QCheckBox("Log external (client) activity", this);
    CHBLog1->setObjectName("CHBLog1");
    CHBLog2 = new QCheckBox("Log internal (server) activity", this);
    CHBLog2->setObjectName("CHBLog2");
    BtnClose = new QPushButton("Close", this);
    BtnClose->setObjectName("BtnClose");
    BtnClose->setDefault(true);
    BtnClose->setAutoDefault(true);
    connect(BtnClose, &QPushButton::clicked, this, [this] { BtnCloseClick(); });

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusPanel0 = new QLabel(StatusBar1);
    StatusBar1->addWidget(StatusPanel0, 1);

    auto* switches = new QVBoxLayout;
    switches->addWidget(CHBLog1);
    switches->addWidget(CHBLog2);
    auto* bottom = new QHBoxLayout;
    bottom->addLayout(switches);
    bottom->addStretch();
    bottom->addWidget(BtnClose, 0, Qt::AlignBottom);
    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(6, 6, 6, 0);
    all->addWidget(PageControl1, 1);
    all->addLayout(bottom);
    all->addWidget(StatusBar1);
    // Wide enough for every page's tab.
    resize(std::max(560, PageControl1->tabBar()->sizeHint().width() + 24), 400);
}

TFrmLogs::~TFrmLogs() {
    if (FrmLogs == this) FrmLogs = nullptr;
}

std::string TFrmLogs::PageFileName(int page) {
    if (page < 0 || page >= static_cast<int>(kPages.size())) return "";
    return kPages[static_cast<std::size_t>(page)].file;
}

void TFrmLogs::ShowLogs() {
    CHBLog1->setChecked(procs::LogClientActivity);
    CHBLog2->setChecked(procs::LogServerActivity);
    if (!isVisible()) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }
    show();
    raise();
    activateWindow();
    // pop.log last, so that when it exists its page is the one in front.
    LoadLogTab(MemoSMTP, "smtp.log");
    LoadLogTab(MemoPOPSVR, "popsvr.log");
    LoadLogTab(MemoSMTPSVR, "smtpsvr.log");
    LoadLogTab(MemoConnect, "connect.log");
    LoadLogTab(MemoPOP, "pop.log");
    PageControl1Change();
}

void TFrmLogs::LoadLogTab(QPlainTextEdit* memo, const std::string& fileName) {
    std::string data;
    if (!platform::FileExists(ProgramDir + fileName) || !platform::ReadFile(ProgramDir + fileName, data)) {
        memo->clear();
        return;
    }
    std::string text = OneLineEnd(data);
    // The empty line after the last one is where the caret waits and where
    // lines written while the window is open go.
    if (!text.empty() && text.back() != '\n') text += '\n';
    memo->setPlainText(ToDisplay(text));
    PageControl1->setCurrentWidget(memo);
    CaretToEnd(memo);
}

void TFrmLogs::PageControl1Change() {
    StatusPanel0->setText(QString::fromStdString(ProgramDir + PageFileName(PageControl1->currentIndex())));
}

void TFrmLogs::BtnCloseClick() {
    procs::LogClientActivity = CHBLog1->isChecked();
    procs::LogServerActivity = CHBLog2->isChecked();
    platform::IniFile ini(settings::IniPath());
    ini.WriteBool("General", "Logging1", procs::LogClientActivity);
    ini.WriteBool("General", "Logging2", procs::LogServerActivity);
    close();
}

void TFrmLogs::AddLine(const std::string& fileName, const std::string& line) {
    const std::array<QPlainTextEdit*, 5> memos{MemoPOP, MemoSMTP, MemoPOPSVR, MemoSMTPSVR, MemoConnect};
    QPlainTextEdit* memo = nullptr;
    for (std::size_t i = 0; i < kPages.size(); ++i)
        if (fileName == ProgramDir + kPages[i].file) memo = memos[i];
    if (memo == nullptr) return;
    QTextCursor cursor(memo->document());
    cursor.movePosition(QTextCursor::End);
    QString text = ToDisplay(OneLineEnd(line)) + '\n';
    // The caret line stays empty and last.
    if (!cursor.block().text().isEmpty()) text.prepend('\n');
    cursor.insertText(text);
    CaretToEnd(memo);
}
