// The main window: creation of the folder tree, closing, the menus and the
// dispatcher, the tray icon, the scheduler and the Send/Recv cycle's
// control flow up to the point where the mail steps take over.
#include "shell/main.h"

#include "browser/audit.h"
#include "browser/details.h"
#include "filters/windows/addins_window.h"
#include "filters/holiday.h"
#include "filters/windows/spam_window.h"
#include "platform/application.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "settings/pw.h"
#include "settings/tcolor.h"
#include "transport/settings_file.h"
#include "settings/setup.h"
#include "shell/dialup.h"
#include "transport/globals.h"
#include "shell/logs.h"
#include "shell/procs.h"
#include "shell/splash.h"
#include "shell/upgrade.h"
#include "shell/webget.h"
#include "transport/servers.h"
#include "transport/smtp.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTabWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <cctype>
#include <cstdio>
#include <filesystem>

TFrmMain* FrmMain = nullptr;

namespace {

std::string IniPath() { return settings::IniPath(); }

// The settings window's box for viewing postboxes.
bool ViewPostboxes() { return FrmSettings != nullptr && FrmSettings->viewPostboxes(); }

// The tray's pictures: 0 no mail, 1 active, 2 mail waiting, 3 failed.
QIcon TrayPicture(QColor body) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(body);
    p.drawRect(2, 7, 28, 18);
    p.drawLine(2, 7, 16, 18);
    p.drawLine(16, 18, 30, 7);
    return QIcon(pm);
}

// The pages of the maker's web site behind "On the Internet".
constexpr const char* kWebHome = "https://www.velmarsh.example/";
constexpr const char* kWebProduct = "https://www.velmarsh.example/tarnwick/";
constexpr const char* kWebForum = "https://www.velmarsh.example/forum/";
constexpr const char* kWebGuide = "https://www.velmarsh.example/tarnwick/guide/";

}  // namespace

// --- TClickLabel ------------------------------------------------------------

TClickLabel::TClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

void TClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit doubleClicked();
    QLabel::mouseDoubleClickEvent(event);
}

// --- creation ---------------------------------------------------------------

TFrmMain::TFrmMain(QWidget* parent) : QMainWindow(parent) {
    // Handlers that run during creation (status line, schedule) already
    // find the window through its global.
    if (FrmMain == nullptr) FrmMain = this;
    BuildComponents();
    if (FrmMain == this) events::Set(this);
    FormCreate();
    // The settings window colours this window when it loads and while a
    // colour is being chosen.
    setup::hooks.mainWindowColors = [this](int formColor, int textColor) {
        ApplyColors(formColor, textColor);
    };
}

TFrmMain::~TFrmMain() {
    setup::hooks.mainWindowColors = nullptr;
    if (TrayIcon1 != nullptr) TrayIcon1->hide();
    events::Unset(this);
    if (FrmMain == this) FrmMain = nullptr;
}

void TFrmMain::BuildComponents() {
    setObjectName("FrmMain");
    setWindowTitle("Tarnwick");

    ImageList1 = {TrayPicture(QColor(200, 200, 200)), TrayPicture(QColor(90, 200, 90)),
                  TrayPicture(QColor(250, 210, 60)), TrayPicture(QColor(220, 50, 50))};
    setWindowIcon(ImageList1[0]);

    auto* central = new QWidget(this);
    central->setObjectName("Panel1");
    setCentralWidget(central);

    BtnSendRec = new QToolButton(central);
    BtnSendRec->setObjectName("BtnSendRec");
    BtnSendRec->setText("&Send/Recv now");
    BtnSendRec->setToolButtonStyle(Qt::ToolButtonTextOnly);
    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName("PopupMenu2");
    BtnSendRec2 = new QToolButton(central);
    BtnSendRec2->setObjectName("BtnSendRec2");
    BtnSendRec2->setMenu(PopupMenu2);
    BtnSendRec2->setPopupMode(QToolButton::InstantPopup);
    BtnSendRec2->setArrowType(Qt::DownArrow);
    connect(BtnSendRec, &QToolButton::clicked, this, [this] { BtnSendRecClick(BtnSendRec); });

    BtnSpam = new QPushButton("S&pam Browser...", central);
    BtnSpam->setObjectName("BtnSpam");
    connect(BtnSpam, &QPushButton::clicked, this, [this] { Menu(BtnSpam); });

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    buttons->addWidget(BtnSendRec);
    buttons->addWidget(BtnSendRec2);
    buttons->addStretch();
    buttons->addWidget(BtnSpam);

    auto* boxMail = new QGroupBox("Mailboxes", central);
    boxMail->setObjectName("GroupBox1");
    PopList = new QTreeWidget(boxMail);
    PopList->setObjectName("PopList");
    PopList->setColumnCount(2);
    PopList->setHeaderLabels({"User", "Emails"});
    PopList->setHeaderHidden(true);
    PopList->setRootIsDecorated(false);
    PopList->setColumnWidth(0, 55);
    PopList->setColumnWidth(1, 80);
    // Long names and counts ("12 (1.5 Mb)") must not be cut.
    PopList->header()->setStretchLastSection(false);
    PopList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    PopList->header()->setMinimumSectionSize(55);
    connect(PopList, &QTreeWidget::itemClicked, this, [this] { Menu(PopList); });
    auto* mailLayout = new QVBoxLayout(boxMail);
    mailLayout->addWidget(PopList);

    auto* boxState = new QGroupBox("Send/Receive", central);
    boxState->setObjectName("GroupBox2");
    LBLPOPLast = new QLabel("none", boxState);
    LBLPOPLast->setObjectName("LBLPOPLast");
    LBLSmtp = new QLabel("none", boxState);
    LBLSmtp->setObjectName("LBLSmtp");
    LblConnectLast = new QLabel("none", boxState);
    LblConnectLast->setObjectName("LblConnectLast");
    LblNextConn = new QLabel("none", boxState);
    LblNextConn->setObjectName("LblNextConn");
    LblsmtpCount = new TClickLabel("0", boxState);
    LblsmtpCount->setObjectName("LblsmtpCount");
    LblSpam1 = new TClickLabel("0 possible", boxState);
    LblSpam1->setObjectName("LblSpam1");
    LblSpam2 = new TClickLabel("0 probable", boxState);
    LblSpam2->setObjectName("LblSpam2");
    connect(LblsmtpCount, &TClickLabel::clicked, this, [this] { Menu(LblsmtpCount); });
    connect(LblSpam1, &TClickLabel::clicked, this, [this] { Menu(LblSpam1); });
    connect(LblSpam2, &TClickLabel::clicked, this, [this] { Menu(LblSpam2); });
    auto* spam = new QHBoxLayout;
    spam->addWidget(LblSpam1);
    spam->addWidget(LblSpam2);
    spam->addStretch();
    auto* form = new QFormLayout(boxState);
    form->addRow("Last collection:", LBLPOPLast);
    form->addRow("Last delivery:", LBLSmtp);
    form->addRow("Last connection:", LblConnectLast);
    form->addRow("Next connection:", LblNextConn);
    form->addRow("Outbox:", LblsmtpCount);
    form->addRow("Spam:", spam);

    Memo1 = new QPlainTextEdit(central);
    Memo1->setObjectName("Memo1");
    Memo1->hide();

    auto* panels = new QHBoxLayout;
    panels->addWidget(boxMail, 1);
    panels->addWidget(boxState, 2);
    auto* all = new QVBoxLayout(central);
    all->addLayout(buttons);
    all->addLayout(panels);

    StatusBar1 = new TClickLabel("Idle...", this);
    StatusBar1->setObjectName("StatusBar1");
    statusBar()->addWidget(StatusBar1, 1);
    connect(StatusBar1, &TClickLabel::doubleClicked, this, [this] { Menu(StatusBar1); });

    // Main menu.
    MnuFile = menuBar()->addMenu("&File");
    MnuExit = MnuFile->addAction("E&xit");
    MnuTools = menuBar()->addMenu("&Tools");
    MnuSettings = MnuTools->addAction("Se&ttings...");
    MnuSpamSetup = MnuTools->addAction("S&pam setup...");
    MnuAddins = MnuTools->addAction("Addins...");
    MnuAudit = MnuTools->addAction("Audit log...");
    MnuAudit->setVisible(false);
    MnuUpgrade = MnuTools->addAction("Check for &upgrade...");
    MnuUpgrade->setVisible(false);
    MnuHelpMenu = menuBar()->addMenu("&Help");
    MnuHelp = MnuHelpMenu->addAction("Tarnwick &Help...");
    MnuViewLogs = MnuHelpMenu->addAction("View logs...");
    MnuInternet = MnuHelpMenu->addMenu("On the Internet");
    MnuWebHome = MnuInternet->addAction("&Velmarsh home page");
    MnuWebProduct = MnuInternet->addAction("&Tarnwick page");
    MnuWebForum = MnuInternet->addAction("Tarnwick &forum");
    MnuWebGuide = MnuInternet->addAction("&Step-by-step guide");
    MnuAbout = MnuHelpMenu->addAction("About...");

    connect(MnuSettings, &QAction::triggered, this, [this] { BtnSetupClick(); });
    connect(MnuHelp, &QAction::triggered, this, [this] { BtnHelpClick(); });
    for (QAction* a : {MnuExit, MnuSpamSetup, MnuAddins, MnuAudit, MnuUpgrade, MnuViewLogs, MnuAbout})
        connect(a, &QAction::triggered, this, [this, a] { Menu(a); });
    for (QAction* a : {MnuWebHome, MnuWebProduct, MnuWebForum, MnuWebGuide})
        connect(a, &QAction::triggered, this, [this, a] { WebClick(a); });

    // Tray.
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    MnuRestore = PopupMenu1->addAction("&Restore");
    MnuSendRecvNow = PopupMenu1->addAction("&Send/Recv Now");
    PopupMenu1->setDefaultAction(MnuSendRecvNow);
    MnuTrayExit = PopupMenu1->addAction("E&xit");
    connect(MnuRestore, &QAction::triggered, this, [this] { Menu(MnuRestore); });
    connect(MnuSendRecvNow, &QAction::triggered, this, [this] { BtnSendRecClick(MnuSendRecvNow); });
    connect(MnuTrayExit, &QAction::triggered, this, [this] { Menu(MnuTrayExit); });

    TrayIcon1 = new QSystemTrayIcon(this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setIcon(ImageList1[0]);
    TrayIcon1->setContextMenu(PopupMenu1);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) Menu(TrayIcon1);
        if (r == QSystemTrayIcon::DoubleClick && trayDoubleClick_) BtnSendRecClick(TrayIcon1);
    });
    if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon1->show();

    AlarmClock1 = new TAlarmClock(this);
    connect(AlarmClock1, &TAlarmClock::Alarm, this, [this] { BtnSendRecClick(AlarmClock1); });

    DialUp1 = new TDialUp(this);
    DialUp1->setObjectName("DialUp1");
    DialUp1->DialMode = dmAsync;
    DialUp1->Language = English;
    DialUp1->OnDialing = [this](TDialUp* s) { DialUp1Dialing(s); };
    DialUp1->OnConnect = [this](TDialUp* s) { DialUp1Connect(s); };
    DialUp1->OnAsyncEvent = [this](TDialUp* s, int state, const std::string& text, int error) {
        DialUp1AsyncEvent(s, state, text, error);
    };
    DialUp1->OnNotConnected = [this](TDialUp* s, int code, const std::string& text) {
        DialUp1NotConnected(s, code, text);
    };
    DialUp1->OnError = DialUp1->OnNotConnected;
    DialUp1->OnActiveConnection = [this](TDialUp*, platform::DialHandle, const std::string& entry,
                                         const std::string&, const std::string&, int,
                                         const std::string&) { DialUp1ActiveConnection(entry); };

    WebGet1 = new TWebGet(this);
    WebGet1->setObjectName("WebGet1");
    WebGet1->URL = upgrade::Host() + "/tw_inst.exe";
    WebGet1->Agent = "Tarnwick";
    WebGet1->AcceptTypes = "*/*";
    WebGet1->BinaryData = false;
    WebGet1->UseCache = false;
    WebGet1->WaitThread = false;
    WebGet1->OnProgress = [this](TWebGet* s, std::int64_t total, std::int64_t soFar) {
        WebGet1Progress(s, total, soFar);
    };
    WebGet1->OnError = [this](TWebGet* s) { WebGet1Error(s); };
    WebGet1->OnDoneFile = [this](TWebGet* s, const std::string& file, std::int64_t size) {
        WebGet1DoneFile(s, file, size);
    };

    // F1 reaches the window before any of its controls.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] { FormKeyDown(112); });

    // Hover highlight of the clickable counters.
    for (QWidget* w : std::initializer_list<QWidget*>{central, boxMail, boxState, LblsmtpCount,
                                                      LblSpam1, LblSpam2, LBLPOPLast, LBLSmtp,
                                                      LblConnectLast, LblNextConn}) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
    resize(520, 300);
}

void TFrmMain::FormCreate() {
    splash::Progress("Setting up directories...");
    platform::Application::SetExceptionHandler([](std::exception_ptr, const std::string& text) {
        if (FrmMain != nullptr) FrmMain->AppException(text);
    });
    ProgramDir = platform::ResolveProgramDir();
    ProgramVersion = splash::GetFileVersionText(QCoreApplication::applicationFilePath().toStdString());
    platform::IniFile ini(IniPath());
    XPMenu1.Active = ini.ReadBool("General", "XPMenu", true);
    CreateFolders();
    if (FrmSplash != nullptr) FrmSplash->Timer1->start();
}

void TFrmMain::CreateFolders() {
    auto make = [this](const char* name) {
        std::string error;
        if (platform::CreateFolder(ProgramDir + name, &error)) return;
        // The store cannot work without its folders: say so where the
        // administrator looks, instead of failing later message by message.
        std::string text = std::string("Cannot create folder ") + name + ": " + error;
        std::fprintf(stderr, "tarnwick: %s\n", text.c_str());
        ConnectLog(text);
        procs::SetStatus(text, false);
    };
    make("Addins");
    make("in");
    servers::ImportRawMessages();
    CheckRegularConnection(true);
    for (const char* name : {"out", "Spam1", "Spam2", "Deleted", "WebDeleted", "WebSent", "WebSaved"})
        make(name);
    TightenModes();
}

// Homes of earlier versions left the settings, the tables and the mail
// readable by every local user: they hold passwords and mail.
void TFrmMain::TightenModes() {
    std::vector<std::string> changed;
    platform::TightenModes(IniPath(), changed);
    for (const auto& name : platform::ListFiles(ProgramDir, "*.dat")) platform::TightenModes(ProgramDir + name, changed);
    for (const char* name : {"in", "out", "Spam1", "Spam2", "Deleted", "WebDeleted", "WebSent", "WebSaved", "attach"})
        platform::TightenModes(ProgramDir + name, changed);
    if (changed.empty()) return;
    // A home of earlier versions may hold thousands of messages: one line
    // says how many entries changed, and under which of the home's files
    // and folders.
    std::vector<std::pair<std::string, int>> where;
    for (const auto& line : changed) {
        std::string name = line.substr(0, line.rfind(": "));
        if (name.rfind(ProgramDir, 0) == 0) name.erase(0, ProgramDir.size());
        name = name.substr(0, name.find('/'));
        if (where.empty() || where.back().first != name) where.emplace_back(name, 0);
        ++where.back().second;
    }
    std::string text = "Access of other users taken away from " + std::to_string(changed.size()) +
                       (changed.size() == 1 ? " file or folder:" : " files and folders:");
    for (size_t i = 0; i < where.size(); ++i) {
        text += (i ? ", " : " ") + where[i].first;
        if (where[i].second > 1) text += " (" + std::to_string(where[i].second) + ")";
    }
    std::fprintf(stderr, "tarnwick: %s\n", text.c_str());
    ConnectLog(text);
}

void TFrmMain::StartupComplete() {
    ready_ = true;
    AlarmClock1->Start();
}

// --- closing ----------------------------------------------------------------

bool TFrmMain::FormClose() {
    if (Tag != TagUpgradeClose && !closeWithoutAsking_) {
        platform::IniFile ini(IniPath());
        if (ini.ReadBool("General", "ConfirmExit", true)) {
            auto answer = platform::MessageBox(
                "If you close the program then you will no longer be able to Send/Receive through "
                "Tarnwick.\rClose application?",
                platform::MsgKind::Confirmation, platform::MsgButtons::YesNo, platform::MsgResult::Yes,
                this);
            if (answer != platform::MsgResult::Yes) return false;
        }
    }
    if (FrmServers != nullptr) {
        FrmServers->POPClient.Close();
        FrmServers->PopServer.Close();
    }
    if (FrmSMTP != nullptr) {
        FrmSMTP->SMTPServer.Close();
        FrmSMTP->StopRelayForExit();
    }
    return true;
}

void TFrmMain::closeEvent(QCloseEvent* event) {
    if (!FormClose()) {
        closeWithoutAsking_ = false;
        event->ignore();
        return;
    }
    event->accept();
    closed_ = true;
    TrayIcon1->hide();
    AlarmClock1->Stop();
    // Not quit(): that asks every open window first, and one that will not
    // close (the crash dialog, which continues instead) would keep the
    // program running after its main window has gone.
    QCoreApplication::exit(0);
}

void TFrmMain::CloseWithoutAsking() {
    closeWithoutAsking_ = true;
    close();
}

void TFrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    if (isMinimized() && !InTray && TrayIcon1->isVisible()) {
        hide();
        MinApp();
    }
}

void TFrmMain::MinApp() {
    procs::AnimateToTray(this, true, false);
    InTray = true;
}

void TFrmMain::StartMinimised() {
    move(DesignedPosition());
    if (TrayIcon1->isVisible()) {
        hide();
        MinApp();
    } else {
        showMinimized();
    }
}

// --- menus ------------------------------------------------------------------

void TFrmMain::Menu(QObject* Sender) {
    if ((Sender == MnuRestore || Sender == TrayIcon1) && InTray) {
        procs::AnimateToTray(this, false, false);
        showNormal();
        raise();
        activateWindow();
        InTray = false;
    }
    if (Sender == StatusBar1)
        platform::MessageBox(StatusText(), platform::MsgKind::Information, platform::MsgButtons::Ok, this);
    if (Sender == MnuAbout) {
        TFrmSplash about(this);
        about.LblAction->setText("");
        about.Timer1->stop();
        about.BtnClose->show();
        about.setWindowModality(Qt::ApplicationModal);
        about.adjustSize();
        about.move(geometry().center() - about.rect().center());
        about.exec();
    }
    if (Sender == MnuAddins && FrmAddins != nullptr) FrmAddins->exec();
    if (Sender == MnuSpamSetup && FrmSpam != nullptr) FrmSpam->ShowSpamSettings();
    if (Sender == MnuAudit && FrmAudit != nullptr) FrmAudit->exec();
    if (Sender == MnuViewLogs && FrmLogs != nullptr) FrmLogs->ShowLogs();
    if (Sender == MnuUpgrade) CheckForUpgrade();
    if (Sender == MnuExit || Sender == MnuTrayExit) close();
    if ((Sender == LblSpam1 || Sender == LblSpam2) && FrmDetails != nullptr)
        FrmDetails->ShowSpam(Sender == LblSpam1);
    if (Sender == BtnSpam) {
        std::string address = FrmSettings != nullptr ? FrmSettings->browserAddress() : std::string();
        if (address.find("http:") != std::string::npos) {
            OpenDocument(address + "/spam", address + "/spam");
        } else {
            platform::MessageBox(
                "You need to set \"control through browser\" ON in the remote setup.  Click on "
                "Tools, Settings and select the Remote tab.",
                platform::MsgKind::Information, platform::MsgButtons::Ok, this);
        }
    }
    if (Sender == LblsmtpCount) {
        if (ViewPostboxes() && !IsLabelBold(LBLSmtp) && FrmDetails != nullptr) FrmDetails->ShowOutbox();
    }
    if (Sender == PopList) {
        if (PopList->currentItem() != nullptr && ViewPostboxes() && FrmDetails != nullptr)
            FrmDetails->ShowInbox(PopList->currentItem()->text(0).toStdString());
    }
}

void TFrmMain::WebClick(QObject* Sender) {
    for (const auto& [item, page] : {std::pair{MnuWebHome, kWebHome}, std::pair{MnuWebProduct, kWebProduct},
                                     std::pair{MnuWebForum, kWebForum}, std::pair{MnuWebGuide, kWebGuide}})
        if (Sender == item) OpenDocument(page, page);
}

void TFrmMain::OpenDocument(const std::string& url, const std::string& shown) {
    const bool opened = OpenForTesting != nullptr ? OpenForTesting(url) : platform::OpenUrl(url);
    if (opened) return;
    // A desktop without a browser or a handler for the page: the click
    // would otherwise do nothing at all.
    platform::MessageBox("The desktop could not open this for you. Open it by hand:\n\n" + shown,
                         platform::MsgKind::Information, platform::MsgButtons::Ok,
                         FrmMain != nullptr && FrmMain->isVisible() ? FrmMain : nullptr);
}

std::string TFrmMain::HelpDir() {
    std::string exe = platform::ExecutableDir();
    for (const std::string& dir : {ProgramDir + "help/", exe + "help/", exe + "../help/"}) {
        if (platform::FileExists(dir + "overview.htm")) return dir;
    }
    return ProgramDir + "help/";
}

void TFrmMain::ShowHelpTopic(const std::string& topic) {
    std::string file = HelpDir() + topic;
    OpenDocument(QUrl::fromLocalFile(QString::fromStdString(file)).toString().toStdString(), file);
}

void TFrmMain::BtnHelpClick() { ShowHelpTopic("overview.htm"); }

void TFrmMain::FormKeyDown(int key) {
    if (key == 112) BtnHelpClick();
}

void TFrmMain::BtnSetupClick() {
    BtnSendRec->setEnabled(false);
    MnuTools->menuAction()->setEnabled(false);
    bool open = PW::CheckSettingsPassword();
    if (open && FrmSettings != nullptr) {
        // The phone book's entries; a failing backend leaves the list as it is.
        if (DialUp1->GetEntries() == 0) {
            QStringList entries;
            for (const std::string& e : DialUp1->Entries) entries << QString::fromStdString(e);
            entries.sort(Qt::CaseInsensitive);
            FrmSettings->CBXDUN->clear();
            FrmSettings->CBXDUN->addItems(entries);
        }
        FrmSettings->LoadSettings();
        FillEmptyPostboxes();
        FrmSettings->PageControl1->setCurrentIndex(0);
        if (FrmSettings->exec() == QDialog::Accepted) CheckRegularConnection(false);
    }
    BtnSendRec->setEnabled(true);
    BtnSendRec2->setEnabled(true);
    MnuTools->menuAction()->setEnabled(true);
    if (FrmServers != nullptr) {
        FrmServers->RefreshMailCounts(false, false);
        // Reloads its users and accounts and rebuilds the Send/Recv drop-down.
        FrmServers->FormCreate();
    }
}

void TFrmMain::FillEmptyPostboxes() {
    QComboBox* users = FrmSettings->CBXEmpty;
    users->clear();
    for (int i = 0; i < PopList->topLevelItemCount(); ++i) users->addItem(PopList->topLevelItem(i)->text(0));
    if (users->count() > 0) users->setCurrentIndex(0);
    FrmSettings->BtnEmptyUser->setEnabled(users->count() > 0);
    // Only the caption's first character counts, read as a digit.
    QString count = LblsmtpCount->text();
    int first = !count.isEmpty() && count[0].isDigit() ? count[0].digitValue() : 0;
    FrmSettings->BtnEmptyOutbox->setEnabled(first > 0);
}

// --- hover highlight --------------------------------------------------------

bool TFrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) LblsmtpCountMouseMove(watched);
    return QMainWindow::eventFilter(watched, event);
}

void TFrmMain::LblsmtpCountMouseMove(QObject* over) {
    if (over == LblsmtpCount && ViewPostboxes() && !IsLabelBold(LBLSmtp)) {
        SetLabelHighlight(LblsmtpCount, true);
        SetLabelHighlight(LblSpam1, false);
        SetLabelHighlight(LblSpam2, false);
    } else if (over == LblSpam1 || over == LblSpam2) {
        SetLabelHighlight(LblsmtpCount, false);
        SetLabelHighlight(LblSpam1, over == LblSpam1);
        SetLabelHighlight(LblSpam2, over == LblSpam2);
    } else {
        SetLabelHighlight(LblsmtpCount, false);
        SetLabelHighlight(LblSpam1, false);
        SetLabelHighlight(LblSpam2, false);
    }
}

void TFrmMain::SetLabelHighlight(QLabel* label, bool on) {
    if (!on) {
        SetParentFont(label);
        label->unsetCursor();
        return;
    }
    QFont f = label->font();
    f.setUnderline(true);
    label->setFont(f);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(p);
    label->setCursor(Qt::PointingHandCursor);
}

// --- label styles, status line, tray ------------------------------------------

void TFrmMain::ApplyColors(int formColor, int textColor) {
    // The labels inherit both colours; a label turned red keeps its own
    // text colour until it returns to the parent's font.
    QPalette p = palette();
    p.setColor(QPalette::Window, settings::ColorFromTColor(formColor));
    p.setColor(QPalette::WindowText, settings::ColorFromTColor(textColor));
    setPalette(p);
}

void TFrmMain::SetLabelBold(QLabel* label, bool bold) {
    QFont f = label->font();
    f.setBold(bold);
    label->setFont(f);
}

void TFrmMain::SetLabelRed(QLabel* label) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    label->setPalette(p);
}

void TFrmMain::SetParentFont(QLabel* label) {
    label->setFont(QFont());
    label->setPalette(QPalette());
}

bool TFrmMain::IsLabelBold(const QLabel* label) { return label->font().bold(); }

bool TFrmMain::IsLabelRed(const QLabel* label) {
    return label->palette().color(QPalette::WindowText) == QColor(Qt::red);
}

void TFrmMain::SetStatusLine(const std::string& text, bool bold) {
    const bool weightChanged = bold != statusBold_;
    statusText_ = text;
    statusBold_ = bold;
    // Laying out and painting the bar for each of a thousand messages a
    // second would cost the mail more than anyone could read.
    if (!weightChanged && statusShown_.isValid() && statusShown_.elapsed() < kStatusShowMs) {
        if (!statusPending_) {
            statusPending_ = true;
            QTimer::singleShot(static_cast<int>(kStatusShowMs - statusShown_.elapsed()), this, [this] {
                statusPending_ = false;
                ShowStatusLine();
            });
        }
        return;
    }
    ShowStatusLine();
}

void TFrmMain::ShowStatusLine() {
    statusShown_.start();
    StatusBar1->setText(QString::fromStdString(statusText_));
    if (statusBold_)
        SetLabelBold(StatusBar1, true);
    else
        SetParentFont(StatusBar1);
}

std::string TFrmMain::StatusText() const { return statusText_; }

void TFrmMain::SetTrayHint(const std::string& hint) {
    trayHint_ = hint;
    QString shown = QString::fromStdString(hint);
    shown.replace('\r', '\n');
    TrayIcon1->setToolTip(shown);
}

void TFrmMain::SetTrayImage(int index) {
    if (index < 0 || index >= static_cast<int>(ImageList1.size())) return;
    trayImage_ = index;
    TrayIcon1->setIcon(ImageList1[static_cast<std::size_t>(index)]);
}

std::string TFrmMain::MailboxLines() const {
    std::string lines;
    for (int i = 0; i < PopList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = PopList->topLevelItem(i);
        lines += "\r" + row->text(0).toStdString() + ": " + row->text(1).toStdString();
    }
    return lines;
}

std::string TFrmMain::IdleTrayHint() const {
    std::string hint = AlarmClock1->AlarmEnabled()
                           ? "Tarnwick: Next Send/Recv at " + AlarmClock1->AlarmHourMinute()
                           : std::string("Tarnwick: Idle");
    return hint + MailboxLines();
}
