// The settings window: its controls, and the moves of tarnwick.ini,
// footer.dat and the window's tables in and out of them.
#include "settings/setup.h"

#include "crash/zel_settings.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/link.h"
#include "settings/mail_act.h"
#include "settings/pw.h"
#include "settings/service.h"
#include "settings/tcolor.h"
#include "transport/settings_file.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "shell/procs.h"
#include "shell/splash.h"
#include "transport/mail_settings.h"
#include "transport/engine_tables.h"
#include "transport/table_owner.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <filesystem>

TFrmSettings* FrmSettings = nullptr;

// ---------------------------------------------------------------------------
// Small controls
// ---------------------------------------------------------------------------

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QWidget(parent), group_(new QButtonGroup(this)) {
    auto* box = new QGroupBox(caption, this);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(box);
    auto* lay = new QVBoxLayout(box);
    int i = 0;
    for (const QString& text : items) {
        auto* b = new QRadioButton(text, box);
        group_->addButton(b, i++);
        buttons_.push_back(b);
        lay->addWidget(b);
    }
    connect(group_, &QButtonGroup::idClicked, this, [this](int) { emit Clicked(); });
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
    if (index >= 0 && index < Count()) {
        buttons_[static_cast<size_t>(index)]->setChecked(true);
        return;
    }
    // No item: a button group only lets go of its check while not exclusive.
    group_->setExclusive(false);
    for (auto* b : buttons_) b->setChecked(false);
    group_->setExclusive(true);
}

TColorBox::TColorBox(const QString& text, bool fontColor, QWidget* parent)
    : QLabel(text, parent), fontColor_(fontColor) {
    setMinimumSize(kSwatchWidth + 4, 20);
    setCursor(Qt::PointingHandCursor);
    SetColor(fontColor ? settings::kDefaultTextColor : settings::kDefaultFormColor);
}

void TColorBox::SetColor(int tcolor) {
    color_ = tcolor;
    if (fontColor_) {
        QPalette p = palette();
        p.setColor(QPalette::WindowText, settings::ColorFromTColor(tcolor));
        setPalette(p);
    }
    update();
}

QSize TColorBox::sizeHint() const {
    const QSize text = QLabel::sizeHint();
    return {kSwatchWidth + (text.width() > 0 ? 8 + text.width() : 0), std::max(20, text.height())};
}

void TColorBox::paintEvent(QPaintEvent*) {
    // A swatch of the colour held, framed so that it shows on any window
    // colour, and the caption beside it (in the colour, for the text colour).
    QPainter p(this);
    const QRect swatch(0, (height() - 16) / 2, kSwatchWidth, 16);
    p.fillRect(swatch, settings::ColorFromTColor(color_));
    p.setPen(palette().color(QPalette::Shadow));
    p.drawRect(swatch.adjusted(0, 0, -1, -1));
    if (!text().isEmpty()) {
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(rect().adjusted(kSwatchWidth + 8, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
    }
}

void TColorBox::mousePressEvent(QMouseEvent* event) {
    QLabel::mousePressEvent(event);
    emit Clicked();
}

// ---------------------------------------------------------------------------
// Window
// ---------------------------------------------------------------------------

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

QTableWidget* MakeGrid(const QStringList& headers, QWidget* parent) {
    auto* g = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    g->setHorizontalHeaderLabels(headers);
    g->setSelectionBehavior(QAbstractItemView::SelectRows);
    g->setSelectionMode(QAbstractItemView::SingleSelection);
    g->setEditTriggers(QAbstractItemView::NoEditTriggers);
    g->verticalHeader()->hide();
    // Every column as wide as its longest entry; the last takes the rest.
    for (int c = 0; c + 1 < g->columnCount(); ++c) g->horizontalHeader()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    g->horizontalHeader()->setStretchLastSection(true);
    return g;
}

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    for (auto* b : buttons) row->addWidget(b);
    row->addStretch();
    return row;
}

void SelectItem(QComboBox* combo, const std::string& text) {
    combo->setCurrentIndex(combo->findText(Q(text), Qt::MatchExactly));
}

std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
    std::vector<std::string> out;
    const QString text = memo->toPlainText();
    if (text.isEmpty()) return out;
    for (const QString& l : text.split('\n')) out.push_back(S(l));
    // A trailing line break does not make one more line.
    if (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

// The pages' tabs in two rows over the page control, whose own bar is
// hidden: in one row they would need a window wider than a small screen,
// or scroll arrows that hide most of them. Each row ends in a tab that is
// never shown; it is that row's current tab while the page shown is one of
// the other row's.
void BuildTabRows(QTabWidget* pages, QVBoxLayout* top) {
    const int count = pages->count();
    const int split = (count + 1) / 2;
    auto* box = new QWidget(pages->parentWidget());
    auto* lay = new QVBoxLayout(box);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);
    std::array<QTabBar*, 2> rows{};
    const std::array<int, 2> first{0, split};
    const std::array<int, 2> end{split, count};
    for (int r = 0; r < 2; ++r) {
        auto* row = new QTabBar(box);
        row->setObjectName(r == 0 ? "TabRow1" : "TabRow2");
        row->setUsesScrollButtons(false);
        row->setElideMode(Qt::ElideNone);
        row->setExpanding(false);
        row->setDrawBase(r == 1);
        for (int i = first[r]; i < end[r]; ++i) row->addTab(pages->tabText(i));
        row->setTabVisible(row->addTab(QString()), false);
        lay->addWidget(row);
        rows[r] = row;
    }
    pages->tabBar()->hide();
    auto follow = [pages, rows, first, end](int page) {
        for (int r = 0; r < 2; ++r) {
            const QSignalBlocker quiet(rows[r]);
            const bool here = page >= first[r] && page < end[r];
            rows[r]->setCurrentIndex(here ? page - first[r] : rows[r]->count() - 1);
        }
    };
    QObject::connect(pages, &QTabWidget::currentChanged, box, follow);
    for (int r = 0; r < 2; ++r) {
        QTabBar* row = rows[r];
        const int offset = first[r];
        QObject::connect(row, &QTabBar::currentChanged, box, [pages, row, offset](int i) {
            if (i >= 0 && i < row->count() - 1) pages->setCurrentIndex(offset + i);
        });
    }
    follow(pages->currentIndex());
    // The rows sit right on the pages, as a tab bar would.
    auto* stack = new QVBoxLayout;
    stack->setSpacing(0);
    const int at = top->indexOf(pages);
    top->removeWidget(pages);
    stack->addWidget(box);
    stack->addWidget(pages);
    top->insertLayout(at, stack);
}

void SetMemoLines(QPlainTextEdit* memo, const std::vector<std::string>& lines) {
    QStringList l;
    for (const auto& s : lines) l << Q(s);
    memo->setPlainText(l.join('\n'));
}

}  // namespace

TFrmSettings::TFrmSettings(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Settings");
    TblUsers = std::make_unique<TvdlMemTable>();
    TblLink = std::make_unique<TvdlMemTable>();
    tbleLink = std::make_unique<TvdlMemTable>();
    TblDomain = std::make_unique<TvdlMemTable>();
    TblHoliday = std::make_unique<TvdlMemTable>();
    TblPop = std::make_unique<TvdlMemTable>();
    TblForward = std::make_unique<TvdlMemTable>();
    vdlMemTable1 = std::make_unique<TvdlMemTable>();
    BuildPages();
    FormCreate();
}

void TFrmSettings::FormCreate() {
    splash::Progress("Reading settings...");
    // Without a program directory (a window made before start-up set it)
    // there is nothing to read, and nothing must be written elsewhere.
    if (!ProgramDir.empty()) LoadSettings();
    // No helper programs to put in place: the service is a systemd unit
    // that SaveSettings writes (service.h).
}

TFrmSettings::~TFrmSettings() {
    if (FrmSettings == this) FrmSettings = nullptr;
    // What this window published came from its program directory; the
    // engine must not go on with it after the window is gone.
    mailsettings::Publish(nullptr);
    for (auto& [table, owner] : OwnedTables()) owner->Close();
}

void TFrmSettings::BuildPages() {
    auto* top = new QVBoxLayout(this);
    PageControl1 = new QTabWidget(this);
    top->addWidget(PageControl1);

    // 0 Users
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        GridUsers = MakeGrid({"Name"}, page);
        BtnAddUser = new QPushButton("Add...", page);
        BtnEditUser = new QPushButton("Edit...", page);
        BtnDelUser = new QPushButton("Delete", page);
        lay->addWidget(GridUsers);
        lay->addLayout(ButtonRow({BtnAddUser, BtnEditUser, BtnDelUser}));
        GPBInstruct = new QGroupBox("Instructions for", page);
        auto* f = new QFormLayout(GPBInstruct);
        EditUserPanel = new QLineEdit;
        EditPasswordPanel = new QLineEdit;
        EditPOPServer = new QLineEdit;
        EditSMTPServer = new QLineEdit;
        for (auto* e : {EditUserPanel, EditPasswordPanel, EditPOPServer, EditSMTPServer})
            e->setReadOnly(true);
        f->addRow("User name:", EditUserPanel);
        f->addRow("Password:", EditPasswordPanel);
        f->addRow("POP server:", EditPOPServer);
        f->addRow("SMTP server:", EditSMTPServer);
        // The ports the servers listen on, as set on the General page.
        for (auto [caption, name] : {std::pair{"POP port:", "EditPOPPortPanel"}, std::pair{"SMTP port:", "EditSMTPPortPanel"}}) {
            auto* e = new QLineEdit;
            e->setObjectName(name);
            e->setReadOnly(true);
            f->addRow(caption, e);
        }
        lay->addWidget(GPBInstruct);
        auto* alert = new QGroupBox("Alerter", page);
        auto* al = new QHBoxLayout(alert);
        CHBAlerter = new QCheckBox("Use alerter");
        EditAlerterPort = new QLineEdit("2601");
        al->addWidget(CHBAlerter);
        al->addWidget(EditAlerterPort);
        lay->addWidget(alert);
        CBXLink = new QComboBox(page);
        CBXLink->hide();
        PageControl1->addTab(page, "Users");
    }
    // 1 POP collection
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        GridPop = MakeGrid({"Account name", "Default user "}, page);
        BtnAddPop = new QPushButton("Add...", page);
        BtnEditPop = new QPushButton("Edit...", page);
        BtnDelPop = new QPushButton("Delete", page);
        lay->addWidget(GridPop);
        lay->addLayout(ButtonRow({BtnAddPop, BtnEditPop, BtnDelPop}));
        PageControl1->addTab(page, "POP collection");
    }
    // 2 Local distribution
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        GridLink = MakeGrid({"Email address", "To user"}, page);
        BtnLinkAdd = new QPushButton("Add...", page);
        BtnLinkEdit = new QPushButton("Edit...", page);
        BtnLinkDel = new QPushButton("Delete", page);
        lay->addWidget(GridLink);
        lay->addLayout(ButtonRow({BtnLinkAdd, BtnLinkEdit, BtnLinkDel}));
        PageControl1->addTab(page, "Local distribution");
    }
    // 3 SMTP delivery
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        auto* f = new QFormLayout;
        EditSMTPHost = new QLineEdit;
        EditSMTPPort = new QLineEdit("25");
        f->addRow("SMTP host:", EditSMTPHost);
        f->addRow("Port:", EditSMTPPort);
        lay->addLayout(f);
        CHBSMTPAuth = new QCheckBox("Server requires authentication");
        BtnSMTPAuth = new QPushButton("Advanced...");
        CHBSMTPStandard = new QCheckBox("Use standard SMTP (25) protocol");
        CHBSMTPStandard->setChecked(true);
        auto* authRow = new QHBoxLayout;
        authRow->addWidget(CHBSMTPAuth);
        authRow->addWidget(BtnSMTPAuth);
        lay->addLayout(authRow);
        lay->addWidget(CHBSMTPStandard);
        RGPWhen = new TRadioGroup("When", {"Send immediately (Perform a Send/Receive)",
                                           "Send immediately (Send only)",
                                           "Wait until next scheduled or manual Send/Receive",
                                           "Return external outgoing mail to sender (ie internal mail only)"},
                                  page);
        RGPWhen->SetItemIndex(2);
        lay->addWidget(RGPWhen);
        auto* foot = new QGroupBox("Custom footer", page);
        auto* fl = new QVBoxLayout(foot);
        MemFooter = new QPlainTextEdit;
        RBTFooterAll = new QRadioButton("Internal and external mail");
        RBTFooterExternal = new QRadioButton("External mail only");
        RBTFooterAll->setChecked(true);
        fl->addWidget(MemFooter);
        fl->addWidget(RBTFooterAll);
        fl->addWidget(RBTFooterExternal);
        lay->addWidget(foot);
        PageControl1->addTab(page, "SMTP delivery");
    }
    // 4 Connection
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        RBTConnectLAN = new QRadioButton("DSL/LAN/Internal only");
        RBTConnectDUN = new QRadioButton("Use a dial-up connection:");
        RBTConnectLAN->setChecked(true);
        CBXDUN = new QComboBox;
        BtnServiceDUN = new QPushButton("Edit DUN logn");
        BtnServiceDUN->hide();
        CHBPiggyBack = new QCheckBox("Use another connection");
        CHBPiggyBack->hide();
        lay->addWidget(RBTConnectLAN);
        lay->addWidget(RBTConnectDUN);
        lay->addWidget(CBXDUN);
        lay->addWidget(BtnServiceDUN);
        lay->addWidget(CHBPiggyBack);
        auto* sched = new QGroupBox("Schedule", page);
        auto* sl = new QFormLayout(sched);
        CBXConnRegular = new QCheckBox("Send/Receive every");
        SpinRegular = new QSpinBox;
        SpinRegular->setRange(1, 240);
        SpinRegular->setValue(settings::kDefaultRegularTime);
        SpinRegular->setSuffix(" minutes");
        sl->addRow(CBXConnRegular, SpinRegular);
        CBXConnBetween = new QCheckBox("Only during office hours:");
        TimeEdit1 = new QTimeEdit(QTime(9, 0));
        TimeEdit2 = new QTimeEdit(QTime(18, 0));
        TimeEdit1->setDisplayFormat("HH:mm");
        TimeEdit2->setDisplayFormat("HH:mm");
        auto* hours = new QHBoxLayout;
        hours->addWidget(TimeEdit1);
        hours->addWidget(new QLabel("to"));
        hours->addWidget(TimeEdit2);
        sl->addRow(CBXConnBetween, hours);
        CBXConnStartUp = new QCheckBox("On Startup (not when run as a service)");
        sl->addRow(CBXConnStartUp);
        lay->addWidget(sched);
        CHBManDisconnect = new QCheckBox("Don't disconnect after a manual Send/Receive connection");
        CHBManDisconnect->setChecked(true);
        lay->addWidget(CHBManDisconnect);
        lay->addStretch();
        PageControl1->addTab(page, "Connection");
    }
    // 5 General
    {
        auto* page = new QWidget;
        auto* lay = new QFormLayout(page);
        CHBStartup = new QCheckBox("Start at desktop login");
        CHBStartup->setChecked(true);
        CHBMin = new QCheckBox("Start minimized");
        CHBService = new QCheckBox("Run as a system service");
        lay->addRow(CHBStartup);
        lay->addRow(CHBMin);
        lay->addRow(CHBService);
        EditPassword = new QLineEdit;
        EditPassword->setEchoMode(QLineEdit::Password);
        lay->addRow("Password to change settings:", EditPassword);
        CHBBugMail = new QCheckBox("Automatically mail velmarsh any errors/bugs");
        CHBBugMail->setChecked(true);
        lay->addRow(CHBBugMail);
        CHBSMTPIP = new QCheckBox("Only allow connections from IP addresses starting:");
        EditSMTPIP = new QLineEdit;
        lay->addRow(CHBSMTPIP, EditSMTPIP);
        EditPOPLANPort = new QLineEdit("110");
        EdiTSMTPLANPort = new QLineEdit("25");
        lay->addRow("POP port:", EditPOPLANPort);
        lay->addRow("SMTP port:", EdiTSMTPLANPort);
        CHBSMTPServerAuth = new QCheckBox("Use SMTP Authentication");
        lay->addRow(CHBSMTPServerAuth);
        CHBViewPostboxes = new QCheckBox("View postboxes by dbl-clicking");
        CHBViewMessages = new QCheckBox("View preview pane");
        CHBViewPostboxes->setChecked(true);
        CHBViewMessages->setChecked(true);
        lay->addRow(CHBViewPostboxes);
        lay->addRow(CHBViewMessages);
        BtnRepair = new QPushButton("Repair all postboxes");
        BtnViewDel = new QPushButton("View deleted spam...");
        lay->addRow(BtnRepair, BtnViewDel);
        PanelColor = new TColorBox("", false, page);
        LblColor = new TColorBox("Text color", true, page);
        lay->addRow("Main window color:", PanelColor);
        lay->addRow(QString(), LblColor);
        GPBEmpty = new QGroupBox("Empty postboxes", page);
        auto* el = new QHBoxLayout(GPBEmpty);
        BtnEmptyOutbox = new QPushButton("Outbox");
        CBXEmpty = new QComboBox;
        BtnEmptyUser = new QPushButton("User");
        el->addWidget(BtnEmptyOutbox);
        el->addWidget(CBXEmpty);
        el->addWidget(BtnEmptyUser);
        lay->addRow(GPBEmpty);
        GPBEmpty->hide();
        PageControl1->addTab(page, "General");
    }
    // 6 Anti-virus
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        CHBInVirus = new QCheckBox("Scan attachments for possible viruses");
        CHBInVirus->setChecked(true);
        MemoViruses = new QPlainTextEdit("*.exe");
        CHBVirusSpam = new QCheckBox("Move possible virus emails to possible spam");
        CHBOutVirus = new QCheckBox("Scan attachments for possible viruses");
        CBXOutWarn = new QComboBox;
        // Both boxes carry the same caption; their groups tell them apart.
        auto* incoming = new QGroupBox("Incoming mail");
        auto* in = new QVBoxLayout(incoming);
        in->addWidget(CHBInVirus);
        in->addWidget(MemoViruses);
        in->addWidget(CHBVirusSpam);
        auto* outgoing = new QGroupBox("Outgoing mail");
        auto* out = new QFormLayout(outgoing);
        out->addRow(CHBOutVirus);
        out->addRow("User to warn:", CBXOutWarn);
        lay->addWidget(incoming);
        lay->addWidget(outgoing);
        PageControl1->addTab(page, "Anti-virus");
    }
    // 7 Forwarding
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        GridForward = MakeGrid({"User", "Forward To", "Copy"}, page);
        BtnAddForward = new QPushButton("Add...", page);
        BtnEditForward = new QPushButton("Edit...", page);
        BtnDelForward = new QPushButton("Delete", page);
        lay->addWidget(GridForward);
        lay->addLayout(ButtonRow({BtnAddForward, BtnEditForward, BtnDelForward}));
        CHBOutCopy = new QCheckBox("Copy all outging mail to:");
        CBXOutCopy = new QComboBox;
        CHBForwardMailFrom = new QCheckBox("External - use MAIL FROM:");
        EditForwardFrom = new QLineEdit;
        auto* f = new QFormLayout;
        f->addRow(CHBOutCopy, CBXOutCopy);
        f->addRow(CHBForwardMailFrom, EditForwardFrom);
        lay->addLayout(f);
        PageControl1->addTab(page, "Forwarding");
    }
    // 8 Auto-responding
    {
        auto* page = new QWidget;
        auto* lay = new QVBoxLayout(page);
        GridHoliday = MakeGrid({"User", "Running until"}, page);
        BtnAddHoliday = new QPushButton("Add...", page);
        BtnEditHoliday = new QPushButton("Edit...", page);
        BtnDelHoliday = new QPushButton("Delete", page);
        lay->addWidget(GridHoliday);
        lay->addLayout(ButtonRow({BtnAddHoliday, BtnEditHoliday, BtnDelHoliday}));
        PageControl1->addTab(page, "Auto-responding");
    }
    // 9 Remote
    {
        auto* page = new QWidget;
        auto* lay = new QFormLayout(page);
        CHBBrowser = new QCheckBox("Enable control through your browser (including spam && webmail)");
        EditBPort = new QLineEdit("2600");
        LblBrowserAddress = new QLabel("not operative");
        LblIPAdds = new QLabel("Show all my IP addresses...");
        LblIPAdds->setCursor(Qt::PointingHandCursor);
        Label40 = new QLabel("Address for your browser:");
        LblIPExplain = new QLabel("Other computers may need one of this computer's IP addresses "
                                  "in place of its name.");
        LblIPExplain->setWordWrap(true);
        Label40->hide();
        LblIPExplain->hide();
        lay->addRow(CHBBrowser);
        lay->addRow("Port:", EditBPort);
        lay->addRow(Label40, LblBrowserAddress);
        lay->addRow(LblIPExplain);
        lay->addRow(LblIPAdds);
        EditWebSetsLogin = new QLineEdit;
        EditWebSetsPW = new QLineEdit;
        EditWebSetsPW->setEchoMode(QLineEdit::Password);
        lay->addRow("Login:", EditWebSetsLogin);
        lay->addRow("Password:", EditWebSetsPW);
        CHBAllowSendRec = new QCheckBox("Allow send/recv from Tarnwick page");
        lay->addRow(CHBAllowSendRec);
        SpinDeletedDays = new QSpinBox;
        SpinSentDays = new QSpinBox;
        for (auto* s : {SpinDeletedDays, SpinSentDays}) {
            s->setRange(0, 365);
            s->setValue(settings::kDefaultKeptDays);
            s->setSuffix(" days");
        }
        lay->addRow("Keep deleted:", SpinDeletedDays);
        lay->addRow("Keep sent:", SpinSentDays);
        PageControl1->addTab(page, "Remote");
    }
    // Support request
    {
        auto* page = new QWidget;
        auto* lay = new QFormLayout(page);
        EditSupportName = new QLineEdit;
        EditSupportEmail = new QLineEdit;
        MemoSupport = new QPlainTextEdit;
        BtnSendSupport = new QPushButton("Send");
        lay->addRow("Your name:", EditSupportName);
        lay->addRow("Your email address:", EditSupportEmail);
        lay->addRow("Support question:", MemoSupport);
        lay->addRow(BtnSendSupport);
        PageControl1->addTab(page, "Support");
    }

    BuildTabRows(PageControl1, top);

    BtnOK = new QPushButton("OK");
    BtnCancel = new QPushButton("Cancel");
    BtnApply = new QPushButton("Apply");
    BtnHelp = new QPushButton("Help...");
    Button1 = new QPushButton("Button1", this);
    Button1->hide();
    BtnApply->setEnabled(false);
    top->addLayout(ButtonRow({BtnOK, BtnCancel, BtnApply, BtnHelp}));

    // Every change of a control makes Apply available.
    for (auto* c : findChildren<QCheckBox*>()) connect(c, &QCheckBox::clicked, this, &TFrmSettings::ApplyEnable);
    for (auto* r : findChildren<QRadioButton*>())
        connect(r, &QRadioButton::clicked, this, &TFrmSettings::ApplyEnable);
    // The support request is sent by its own button, not saved.
    for (auto* e : findChildren<QLineEdit*>())
        if (e != EditSupportName && e != EditSupportEmail)
            connect(e, &QLineEdit::textEdited, this, &TFrmSettings::ApplyEnable);
    for (auto* s : findChildren<QSpinBox*>())
        connect(s, qOverload<int>(&QSpinBox::valueChanged), this, &TFrmSettings::ApplyEnable);
    for (auto* t : {TimeEdit1, TimeEdit2}) connect(t, &QTimeEdit::timeChanged, this, &TFrmSettings::ApplyEnable);
    for (auto* m : {MemFooter, MemoViruses})
        connect(m, &QPlainTextEdit::textChanged, this, &TFrmSettings::ApplyEnable);
    for (auto* c : {CBXDUN, CBXOutWarn, CBXOutCopy})
        connect(c, qOverload<int>(&QComboBox::activated), this, &TFrmSettings::ApplyEnable);

    for (auto* b : {BtnAddUser, BtnEditUser, BtnDelUser}) connect(b, &QPushButton::clicked, this, &TFrmSettings::UserBtns);
    for (auto* b : {BtnAddPop, BtnEditPop, BtnDelPop}) connect(b, &QPushButton::clicked, this, &TFrmSettings::PopBtns);
    for (auto* b : {BtnLinkAdd, BtnLinkEdit, BtnLinkDel}) connect(b, &QPushButton::clicked, this, &TFrmSettings::LinkBtns);
    for (auto* b : {BtnOK, BtnCancel, BtnApply}) connect(b, &QPushButton::clicked, this, &TFrmSettings::ModalButtons);
    connect(BtnSMTPAuth, &QPushButton::clicked, this, &TFrmSettings::SMTPAuth);
    connect(CHBSMTPAuth, &QCheckBox::clicked, this, &TFrmSettings::SMTPAuth);
    connect(Button1, &QPushButton::clicked, this, &TFrmSettings::Button1Click);
    connect(RGPWhen, &TRadioGroup::Clicked, this, &TFrmSettings::ApplyEnable);
    for (auto* box : {PanelColor, LblColor})
        connect(box, &TColorBox::Clicked, this, [this, box] { ColorSelect(box); });
    connect(BtnHelp, &QPushButton::clicked, this, &TFrmSettings::BtnHelpClick);
    connect(BtnViewDel, &QPushButton::clicked, this, &TFrmSettings::BtnViewDelClick);
    connect(BtnServiceDUN, &QPushButton::clicked, this, &TFrmSettings::BtnServiceDUNClick);
    connect(BtnRepair, &QPushButton::clicked, this, &TFrmSettings::BtnRepairClick);
    connect(BtnSendSupport, &QPushButton::clicked, this, &TFrmSettings::BtnSendSupportClick);
    for (auto* b : {BtnAddForward, BtnEditForward, BtnDelForward})
        connect(b, &QPushButton::clicked, this, &TFrmSettings::ForwardBtns);
    for (auto* b : {BtnAddHoliday, BtnEditHoliday, BtnDelHoliday})
        connect(b, &QPushButton::clicked, this, &TFrmSettings::HolidayBtns);
    for (auto* b : {BtnEmptyOutbox, BtnEmptyUser})
        connect(b, &QPushButton::clicked, this, &TFrmSettings::EmptyPostboxes);
    for (auto [port, panel] : {std::pair{EditPOPLANPort, "EditPOPPortPanel"}, std::pair{EdiTSMTPLANPort, "EditSMTPPortPanel"}}) {
        auto* shown = GPBInstruct->findChild<QLineEdit*>(panel);
        connect(port, &QLineEdit::textChanged, shown, [shown](const QString& text) { shown->setText(" " + text.trimmed()); });
        shown->setText(" " + port->text().trimmed());
    }
    // Labels that act as links.
    LblBrowserAddress->installEventFilter(this);
    LblIPAdds->installEventFilter(this);
    // Ctrl+Tab and Ctrl+PgDn reach the window before a grid or an edit
    // takes them for itself.
    for (auto* w : findChildren<QWidget*>()) w->installEventFilter(this);

    // Grid rows and table records: the grid's current row is the table's
    // current record, so the Edit and Delete buttons act on what is shown.
    struct GridTable {
        QTableWidget* grid;
        TvdlMemTable* table;
        QPushButton* edit;
        void (TFrmSettings::*handler)(QObject*);
    };
    for (auto gt : {GridTable{GridUsers, TblUsers.get(), BtnEditUser, &TFrmSettings::UserBtnsFor},
                    GridTable{GridPop, TblPop.get(), BtnEditPop, &TFrmSettings::PopBtnsFor},
                    GridTable{GridLink, tbleLink.get(), BtnLinkEdit, &TFrmSettings::LinkBtnsFor},
                    GridTable{GridForward, TblForward.get(), BtnEditForward, &TFrmSettings::ForwardBtnsFor},
                    GridTable{GridHoliday, TblHoliday.get(), BtnEditHoliday, &TFrmSettings::HolidayBtnsFor}}) {
        connect(gt.grid, &QTableWidget::currentCellChanged, this,
                [this, gt](int, int, int, int) {
                    PositionFromGrid(gt.grid, *gt.table);
                    if (gt.grid == GridUsers) DataSource1DataChange();
                });
        if (gt.handler) {
            connect(gt.grid, &QTableWidget::cellDoubleClicked, this, [this, gt](int, int) {
                if (gt.edit->isEnabled()) (this->*gt.handler)(gt.edit);
            });
        }
    }
}

// ---------------------------------------------------------------------------
// Grids
// ---------------------------------------------------------------------------

namespace {

// Record ids of the rows a grid shows, in the grid's order.
const char* const kBookmarks = "tw_bookmarks";

void FillGrid(QTableWidget* grid, TvdlMemTable& t, const std::vector<std::string>& fields) {
    QSignalBlocker block(grid);
    grid->setRowCount(0);
    QList<QVariant> marks;
    if (!t.Active()) {
        grid->setProperty(kBookmarks, marks);
        return;
    }
    const int current = t.GetBookmark();
    int currentRow = -1;
    for (t.First(); !t.Eof(); t.Next()) {
        int row = grid->rowCount();
        grid->insertRow(row);
        for (size_t c = 0; c < fields.size(); ++c) {
            TField* f = t.FindField(fields[c]);
            grid->setItem(row, static_cast<int>(c), new QTableWidgetItem(f ? Q(f->AsString()) : QString()));
        }
        marks << t.GetBookmark();
        if (t.GetBookmark() == current) currentRow = row;
    }
    grid->setProperty(kBookmarks, marks);
    if (current >= 0 && t.BookmarkValid(current)) t.GotoBookmark(current);
    else t.First();
    if (currentRow >= 0) grid->selectRow(currentRow);
}

}  // namespace

void TFrmSettings::PositionFromGrid(QTableWidget* grid, TvdlMemTable& table) {
    const int row = grid->currentRow();
    const QList<QVariant> marks = grid->property(kBookmarks).toList();
    if (row < 0 || row >= marks.size() || !table.Active()) return;
    const int mark = marks[row].toInt();
    if (table.BookmarkValid(mark)) table.GotoBookmark(mark);
}

void TFrmSettings::RefreshGrids() {
    FillGrid(GridUsers, *TblUsers, {"Name"});
    FillGrid(GridPop, *TblPop, {"Name", "Default"});
    FillGrid(GridLink, *tbleLink, {"Email", "User"});
    FillGrid(GridForward, *TblForward, {"User", "ForwardTo", "Copy"});
    FillGrid(GridHoliday, *TblHoliday, {"User", "EndDate"});
    DataSource1DataChange();
    DTSELinkDataChange();
}

void TFrmSettings::DTSELinkDataChange() {
    const bool hasLink = tbleLink->Active() && !tbleLink->IsEmpty();
    BtnLinkEdit->setEnabled(hasLink);
    BtnLinkDel->setEnabled(hasLink);
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

void TFrmSettings::SetUserList(const std::vector<std::string>& names) {
    for (QComboBox* c : {CBXLink, CBXOutWarn, CBXOutCopy}) {
        const QString keep = c->currentText();
        QSignalBlocker block(c);
        c->clear();
        for (const auto& n : names) c->addItem(Q(n));
        c->setCurrentIndex(c == CBXLink ? -1 : c->findText(keep, Qt::MatchExactly));
    }
}

std::vector<std::string> TFrmSettings::userNames() const {
    std::vector<std::string> out;
    for (int i = 0; i < CBXLink->count(); ++i) out.push_back(S(CBXLink->itemText(i)));
    return out;
}

void TFrmSettings::UpdateUserButtons() {
    const bool any = TblUsers->Active() && !TblUsers->IsEmpty();
    BtnDelUser->setEnabled(any);
    BtnEditUser->setEnabled(any);
    GPBInstruct->setVisible(any);
    const bool pop = TblPop->Active() && !TblPop->IsEmpty();
    BtnDelPop->setEnabled(pop);
    BtnEditPop->setEnabled(pop);
    const bool fwd = TblForward->Active() && !TblForward->IsEmpty();
    BtnDelForward->setEnabled(fwd);
    BtnEditForward->setEnabled(fwd);
    const bool hol = TblHoliday->Active() && !TblHoliday->IsEmpty();
    BtnDelHoliday->setEnabled(hol);
    BtnEditHoliday->setEnabled(hol);
}

void TFrmSettings::LoadTables() {
    // The engine reads the files into the tables' owners; this window edits
    // copies of them until OK or Apply.
    tables::LoadEngineTables(ProgramDir);
    for (auto& [table, owner] : OwnedTables()) owner->CopyTo(*table);
    // 1 the list of user names, in index order.
    std::vector<std::string> names;
    for (TblUsers->First(); TblUsers->Active() && !TblUsers->Eof(); TblUsers->Next())
        names.push_back(TblUsers->FieldByName("Name").AsString());
    if (TblUsers->Active()) TblUsers->First();
    SetUserList(names);
    UpdateUserButtons();
}

void TFrmSettings::LoadSettings() {
    // Signals stay connected (the grids and combos rebuild themselves), but
    // ApplyEnable ignores what loading changes, also when a table file
    // fails the load half-way.
    struct Loading {
        bool& flag;
        explicit Loading(bool& f) : flag(f) { flag = true; }
        ~Loading() { flag = false; }
    } loading(loading_);
    LoadTables();
    AdoptTables();
    renames_.clear();
    LoadIni();
    LoadFooter();
    BtnApply->setEnabled(false);
    EditPOPServer->setText(Q(" " + procs::GetComputerName()));
    EditSMTPServer->setText(Q(" " + procs::GetComputerName()));
    RefreshGrids();
    UpdateUserButtons();
    UpdateCrashSettings();
    UpdateBrowserAddress();
    UpdateEnabling();
    BtnApply->setEnabled(false);
    PublishSettings();
}

std::vector<std::pair<TvdlMemTable*, tables::TableOwner*>> TFrmSettings::OwnedTables() {
    return {{TblUsers.get(), &tables::Users()},       {TblPop.get(), &tables::PopAccounts()},
            {TblLink.get(), &tables::Links()},        {tbleLink.get(), &tables::Aliases()},
            {TblDomain.get(), &tables::Domains()},    {TblForward.get(), &tables::Forwards()},
            {TblHoliday.get(), &tables::Holidays()}};
}

// The tables were just read from their files: the rows this window's
// edits start from.
void TFrmSettings::AdoptTables() {
    tableBases_.clear();
    for (auto& [table, owner] : OwnedTables())
        tableBases_.push_back(table->Active() ? table->SaveToBinaryString() : std::string());
}

// Only what was edited in this window reaches the tables; rows that the web
// administration or the engine changed meanwhile stay as they are now. A
// table that cannot be saved keeps this window's edits for another try.
std::string TFrmSettings::SaveTables() {
    std::string failed;
    auto owned = OwnedTables();
    if (tableBases_.size() != owned.size()) tableBases_.assign(owned.size(), std::string());
    for (size_t i = 0; i < owned.size(); ++i) {
        auto [table, owner] = owned[i];
        // domain.dat has no editor in this window.
        if (owner == &tables::Domains() || !table->Active()) continue;
        std::string error;
        if (!owner->ApplyEdits(ProgramDir, tableBases_[i], *table, &error)) {
            tablefiles::LogLine("Settings could not save " + owner->FileName() + ": " + error);
            failed += "\r" + owner->FileName() + ": " + error;
            continue;
        }
        // The window now shows the table as it is, on the row it was on.
        const std::string index = table->IndexName();
        const bool onRow = table->FieldCount() > 0 && !table->IsEmpty() && !table->Eof();
        const std::string current = onRow ? table->Fields(0).AsString() : std::string();
        const std::string rows = owner->Table().SaveToBinaryString();
        table->Close();
        table->LoadFromBinaryString(rows);
        if (!index.empty()) table->SetIndexName(index);
        for (table->First(); onRow && !table->Eof(); table->Next())
            if (table->Fields(0).AsString() == current) break;
        if (table->Eof()) table->First();
        tableBases_[i] = rows;
    }
    struct Loading {
        bool& flag;
        bool was;
        explicit Loading(bool& f) : flag(f), was(f) { flag = true; }
        ~Loading() { flag = was; }
    } loading(loading_);
    SetUserList(tables::UserNames());
    RefreshGrids();
    UpdateUserButtons();
    return failed;
}

MailSettings TFrmSettings::SettingsValue() const {
    MailSettings s;
    s.relayHost = relayHost();
    s.relayPort = S(EditSMTPPort->text());
    s.relayStandard = relayStandard();
    s.relayAuth = relayAuth();
    s.relayLogin = relayAuthLogin_;
    s.relayPassword = relayAuthPassword_;
    s.relayMailFrom = relayMailFrom_;
    s.waitCode = smtpWaitCode();
    s.footerAll = footerForAll();
    s.footerLines = footerLines();
    s.smtpServerAuth = smtpServerAuth();
    s.ipFilter = smtpIPFilter();
    s.ipFilterAddress = smtpIPFilterAddress();
    s.alerterOn = alerterOn();
    s.alerterPort = alerterPort();
    s.alerterPortText = S(EditAlerterPort->text());
    s.virusCheckIn = virusCheckIn();
    s.virusToSpam = virusToSpam();
    s.virusCheckOut = virusCheckOut();
    s.virusWarnUser = virusWarnUser();
    s.virusPatterns = virusPatterns();
    s.copyOut = copyOut();
    s.copyOutTo = copyOutTo();
    s.forwardUseMailFrom = forwardUseMailFrom();
    s.forwardMailFrom = forwardMailFrom();
    s.browserEnabled = browserEnabled();
    s.webPort = webPort();
    s.deletedDays = deletedDays();
    s.sentDays = sentDays();
    s.webLogin = webLogin();
    s.webPassword = webPassword();
    s.allowSendRec = allowSendRec();
    s.browserAddress = browserAddress();
    s.connectLan = RBTConnectLAN->isChecked();
    s.connectDun = RBTConnectDUN->isChecked();
    s.connectUseOther = CHBPiggyBack->isChecked();
    s.dunEntry = CBXDUN->currentIndex() >= 0 ? S(CBXDUN->currentText()) : "";
    s.connectRegular = CBXConnRegular->isChecked();
    s.connectBetween = CBXConnBetween->isChecked();
    s.connectOnStartup = CBXConnStartUp->isChecked();
    s.keepManual = CHBManDisconnect->isChecked();
    s.regularTime = SpinRegular->value();
    s.connStart = settings::TimeToText(TimeEdit1->time());
    s.connEnd = settings::TimeToText(TimeEdit2->time());
    s.smtpLocalPort = S(EdiTSMTPLANPort->text());
    s.popLocalPort = S(EditPOPLANPort->text());
    s.settingsPassword = settingsPassword();
    s.startWithSession = CHBStartup->isChecked();
    s.startService = CHBService->isChecked();
    s.startMinimised = CHBMin->isChecked();
    s.emailBugs = CHBBugMail->isChecked();
    s.viewPostboxes = viewPostboxes();
    s.viewMessages = viewMessages();
    s.formColor = formColor();
    s.textColor = textColor();
    return s;
}

void TFrmSettings::PublishSettings() {
    auto s = std::make_shared<MailSettings>(SettingsValue());
    // The patterns the box shows before the first save are only a
    // suggestion: no attachment counts as risky until the list is saved.
    if (!platform::IniFile(settings::IniPath()).ValueExists("Virus", "FileCount")) s->virusPatterns.clear();
    mailsettings::Publish(std::move(s));
}

void TFrmSettings::LoadIni() {
    const MailSettings v = mailsettings::Read(ProgramDir, userNames(), procs::GetComputerName());
    // [Connect]
    RBTConnectLAN->setChecked(v.connectLan);
    RBTConnectDUN->setChecked(v.connectDun);
    if (!RBTConnectLAN->isChecked() && !RBTConnectDUN->isChecked()) {
        // Both off in the file: neither radio button shows as chosen.
        RBTConnectLAN->setAutoExclusive(false);
        RBTConnectLAN->setChecked(false);
        RBTConnectLAN->setAutoExclusive(true);
    }
    CHBPiggyBack->setChecked(v.connectUseOther);
    SelectItem(CBXDUN, v.dunEntry);
    CBXConnRegular->setChecked(v.connectRegular);
    CBXConnBetween->setChecked(v.connectBetween);
    CBXConnStartUp->setChecked(v.connectOnStartup);
    CHBManDisconnect->setChecked(v.keepManual);
    SpinRegular->setValue(v.regularTime);
    QTime t1 = settings::TimeFromText(v.connStart);
    QTime t2 = settings::TimeFromText(v.connEnd);
    TimeEdit1->setTime(t1.isValid() ? t1 : QTime(9, 0));
    TimeEdit2->setTime(t2.isValid() ? t2 : QTime(18, 0));
    // [SMTP], [POP]
    EditSMTPHost->setText(Q(v.relayHost));
    EditSMTPPort->setText(Q(v.relayPort));
    CHBSMTPStandard->setChecked(v.relayStandard);
    EditPassword->setText(Q(v.settingsPassword));
    RGPWhen->SetItemIndex(settings::WaitCodeToItem(v.waitCode));
    RBTFooterAll->setChecked(v.footerAll);
    RBTFooterExternal->setChecked(!v.footerAll);
    CHBSMTPIP->setChecked(v.ipFilter);
    EditSMTPIP->setText(Q(v.ipFilterAddress));
    EdiTSMTPLANPort->setText(Q(v.smtpLocalPort));
    EditPOPLANPort->setText(Q(v.popLocalPort));
    CHBSMTPServerAuth->setChecked(v.smtpServerAuth);
    // [General]
    CHBStartup->setChecked(v.startWithSession);
    {
        QSignalBlocker quiet(CHBService);  // loading raises no service message
        CHBService->setChecked(v.startService);
    }
    CHBMin->setChecked(v.startMinimised);
    CHBSMTPAuth->setChecked(v.relayAuth);
    CHBBugMail->setChecked(v.emailBugs);
    relayAuthLogin_ = v.relayLogin;
    relayAuthPassword_ = v.relayPassword;
    relayMailFrom_ = v.relayMailFrom;
    // [Alerter]
    CHBAlerter->setChecked(v.alerterOn);
    EditAlerterPort->setText(Q(v.alerterPortText));
    // [Virus]: without a FileCount in the file the list stays as it is.
    CHBInVirus->setChecked(v.virusCheckIn);
    CHBVirusSpam->setChecked(v.virusToSpam);
    CHBOutVirus->setChecked(v.virusCheckOut);
    if (v.virusPatternsInFile) SetMemoLines(MemoViruses, v.virusPatterns);
    SelectItem(CBXOutWarn, v.virusWarnUser);
    // [Forward]
    CHBOutCopy->setChecked(v.copyOut);
    SelectItem(CBXOutCopy, v.copyOutTo);
    CHBForwardMailFrom->setChecked(v.forwardUseMailFrom);
    EditForwardFrom->setText(Q(v.forwardMailFrom));
    // [General] views
    CHBViewPostboxes->setChecked(v.viewPostboxes);
    CHBViewMessages->setChecked(v.viewMessages);
    // [Remote]
    CHBBrowser->setChecked(v.browserEnabled);
    EditBPort->setText(Q(v.webPortText));
    SpinDeletedDays->setValue(v.deletedDays);
    SpinSentDays->setValue(v.sentDays);
    EditWebSetsLogin->setText(Q(v.webLogin));
    EditWebSetsPW->setText(Q(v.webPassword));
    CHBAllowSendRec->setChecked(v.allowSendRec);
    // [General] the log globals, kept outside the settings value
    platform::IniFile ini(settings::IniPath());
    procs::LogSizeLimit = ini.ReadInteger("General", "LogSize", settings::kDefaultLogSize);
    ini.WriteInteger("General", "LogSize", procs::LogSizeLimit);
    procs::LogClientActivity = ini.ReadBool("General", "Logging1", true);
    procs::LogServerActivity = ini.ReadBool("General", "Logging2", false);
    // [General] colours
    PanelColor->SetColor(v.formColor);
    LblColor->SetColor(v.textColor);
    if (setup::hooks.mainWindowColors) setup::hooks.mainWindowColors(PanelColor->Color(), LblColor->Color());
}

void TFrmSettings::LoadFooter() {
    std::string data;
    if (!platform::ReadFile(ProgramDir + "footer.dat", data)) {
        MemFooter->clear();
        return;
    }
    SetMemoLines(MemFooter, platform::TextLines(data));
}

void TFrmSettings::DataSource1DataChange() {
    if (!TblUsers->Active() || TblUsers->IsEmpty()) return;
    const std::string name = TblUsers->FieldByName("Name").AsString();
    const std::string pw = TblUsers->FieldByName("Password").AsString();
    GPBInstruct->setTitle(Q("Instructions for " + name));
    EditUserPanel->setText(Q(" " + name));
    EditPasswordPanel->setText(Q(" " + std::string(pw.size(), '*')));
}

void TFrmSettings::UpdateCrashSettings() {
    setup::crashSettings.mailAutomatically = CHBBugMail->isChecked();
    setup::crashSettings.showDialog = !CHBBugMail->isChecked();
    setup::crashSettings.sender.clear();
    if (tbleLink->Active() && !tbleLink->IsEmpty()) {
        // The first alias in address order names the report's sender.
        const int keep = tbleLink->GetBookmark();
        tbleLink->First();
        setup::crashSettings.sender = tbleLink->FieldByName("User").AsString() + " <" +
                                      tbleLink->FieldByName("Email").AsString() + ">";
        if (keep >= 0 && tbleLink->BookmarkValid(keep)) tbleLink->GotoBookmark(keep);
    }
    setup::ApplyCrashSettings();
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

bool TFrmSettings::SaveSettings() {
    // 1 tables, each through its owner. A table that cannot be saved keeps
    // its file as it was; the window stays open with the changes, so that
    // nothing is taken for saved.
    if (!RenameUsers()) return false;
    const std::string failed = SaveTables();
    if (!failed.empty()) {
        platform::MessageBox("These settings files could not be saved (each keeps what it held before); "
                             "the other settings were not written either:" + failed,
                             platform::MsgKind::Error, platform::MsgButtons::Ok, this);
        return false;
    }
    // 2, 3
    SaveIni();
    SaveFooter();
    // The engine works by the saved switches from here on (the web server's
    // re-check below among the first).
    PublishSettings();
    // 4 start-up entry and service
    service::ApplyStartupEntries({CHBStartup->isChecked(), CHBService->isChecked()}, ProgramDir);
    // 5, 6 local ports
    ApplyPorts();
    // 7 web server
    if (setup::hooks.webServerRecheck) setup::hooks.webServerRecheck();
    // 8 crash reporter
    UpdateCrashSettings();
    return true;
}

void TFrmSettings::SaveIni() {
    std::string error;
    if (!mailsettings::WriteIni(ProgramDir, SettingsValue(), &error)) {
        tablefiles::LogLine(std::string("Settings could not save ") + settings::kIniFileName + ": " + error);
        procs::SetStatus(std::string("Could not write ") + settings::kIniFileName, false);
    }
}

void TFrmSettings::SaveFooter() {
    std::string data;
    for (const auto& line : MemoLines(MemFooter)) data += line + "\r\n";
    if (!platform::WriteFileAtomic(ProgramDir + "footer.dat", data))
        procs::SetStatus("Could not write footer.dat", false);
}

void TFrmSettings::ApplyPorts() {
    const std::string taken = "There is already an application or service using port ";
    // POP3 server. Hook: the servers window supplies the socket; while it
    // does not, nothing is re-opened here.
    const int pop = popLocalPort();
    if (setup::hooks.popServerPort && setup::hooks.reopenPopServer && pop != setup::hooks.popServerPort()) {
        if (!setup::hooks.reopenPopServer(pop)) {
            platform::MessageBox(taken + std::to_string(pop) + ", necessary for the POP server.\r\n"
                                 "If you want to use Tarnwick as your POP server then you will have to "
                                 "stop the other application and restart Tarnwick.",
                                 platform::MsgKind::Error, platform::MsgButtons::Ok, this);
        }
    }
    // SMTP server, likewise through the SMTP window.
    const int smtp = smtpLocalPort();
    if (setup::hooks.smtpServerPort && setup::hooks.reopenSmtpServer && smtp != setup::hooks.smtpServerPort()) {
        const bool ok = setup::hooks.reopenSmtpServer(smtp);
        setup::crashSettings.smtpPort = smtp;
        setup::ApplyCrashSettings();
        if (!ok) {
            platform::MessageBox(taken + std::to_string(smtp) + ", necessary for the SMTP server.\r\n"
                                 "If you want to use Tarnwick as your SMTP server then you will have to "
                                 "stop the other application and restart Tarnwick.",
                                 platform::MsgKind::Error, platform::MsgButtons::Ok, this);
        }
    }
}

// ---------------------------------------------------------------------------
// Typed readers
// ---------------------------------------------------------------------------

bool TFrmSettings::footerForAll() const { return RBTFooterAll->isChecked(); }
int TFrmSettings::smtpWaitCode() const { return settings::WaitItemToCode(RGPWhen->ItemIndex()); }
bool TFrmSettings::smtpIPFilter() const { return CHBSMTPIP->isChecked(); }
std::string TFrmSettings::smtpIPFilterAddress() const { return S(EditSMTPIP->text()); }
bool TFrmSettings::smtpServerAuth() const { return CHBSMTPServerAuth->isChecked(); }
bool TFrmSettings::relayAuth() const { return CHBSMTPAuth->isChecked(); }
std::string TFrmSettings::relayHost() const { return S(EditSMTPHost->text()); }
int TFrmSettings::relayPort() const {
    return settings::PortFromText(S(EditSMTPPort->text()), settings::kDefaultSmtpPort);
}
bool TFrmSettings::relayStandard() const { return CHBSMTPStandard->isChecked(); }
int TFrmSettings::popLocalPort() const {
    return settings::PortFromText(S(EditPOPLANPort->text()), settings::kDefaultPopPort);
}
int TFrmSettings::smtpLocalPort() const {
    return settings::PortFromText(S(EdiTSMTPLANPort->text()), settings::kDefaultSmtpPort);
}
bool TFrmSettings::alerterOn() const { return CHBAlerter->isChecked(); }
int TFrmSettings::alerterPort() const {
    return settings::PortFromText(S(EditAlerterPort->text()), settings::kDefaultAlerterPort);
}
bool TFrmSettings::virusCheckIn() const { return CHBInVirus->isChecked(); }
bool TFrmSettings::virusToSpam() const { return CHBVirusSpam->isChecked(); }
bool TFrmSettings::virusCheckOut() const { return CHBOutVirus->isChecked(); }
std::vector<std::string> TFrmSettings::virusPatterns() const { return MemoLines(MemoViruses); }
std::string TFrmSettings::virusWarnUser() const { return S(CBXOutWarn->currentText()); }
bool TFrmSettings::copyOut() const { return CHBOutCopy->isChecked(); }
std::string TFrmSettings::copyOutTo() const { return S(CBXOutCopy->currentText()); }
bool TFrmSettings::forwardUseMailFrom() const {
    return CHBForwardMailFrom->isChecked() && !EditForwardFrom->text().isEmpty();
}
std::string TFrmSettings::forwardMailFrom() const { return S(EditForwardFrom->text()); }
bool TFrmSettings::viewPostboxes() const { return CHBViewPostboxes->isChecked(); }
bool TFrmSettings::viewMessages() const { return CHBViewMessages->isChecked(); }
bool TFrmSettings::browserEnabled() const { return CHBBrowser->isChecked(); }
int TFrmSettings::webPort() const {
    return settings::PortFromText(S(EditBPort->text()), settings::kDefaultWebPort);
}
int TFrmSettings::deletedDays() const { return SpinDeletedDays->value(); }
int TFrmSettings::sentDays() const { return SpinSentDays->value(); }
std::string TFrmSettings::webLogin() const { return S(EditWebSetsLogin->text()); }
std::string TFrmSettings::webPassword() const { return S(EditWebSetsPW->text()); }
bool TFrmSettings::allowSendRec() const { return CHBAllowSendRec->isChecked(); }
std::string TFrmSettings::browserAddress() const { return S(LblBrowserAddress->text()); }
std::vector<std::string> TFrmSettings::footerLines() const { return MemoLines(MemFooter); }
std::string TFrmSettings::settingsPassword() const { return S(EditPassword->text()); }
int TFrmSettings::formColor() const { return PanelColor->Color(); }
int TFrmSettings::textColor() const { return LblColor->Color(); }

// ---------------------------------------------------------------------------
// Buttons and enabling
// ---------------------------------------------------------------------------

void TFrmSettings::ApplyEnable() { ApplyEnableFor(sender()); }

void TFrmSettings::UpdateBrowserAddress() {
    EditBPort->setEnabled(!CHBBrowser->isChecked());
    QFont f = LblBrowserAddress->font();
    QPalette p = LblBrowserAddress->palette();
    if (CHBBrowser->isChecked()) {
        std::string host = procs::GetComputerName();
        for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        LblBrowserAddress->setText(Q("http://" + host + ":" + std::to_string(webPort())));
        LblBrowserAddress->setCursor(Qt::PointingHandCursor);
        p.setColor(QPalette::WindowText, QColor(0, 0, 128));
        f.setUnderline(true);
    } else {
        LblBrowserAddress->setText("not operative");
        LblBrowserAddress->unsetCursor();
        p.setColor(QPalette::WindowText, Qt::black);
        f.setUnderline(false);
    }
    LblBrowserAddress->setFont(f);
    LblBrowserAddress->setPalette(p);
    Label40->setVisible(CHBBrowser->isChecked());
    LblIPExplain->setVisible(CHBBrowser->isChecked());
}

void TFrmSettings::UpdateEnabling() {
    CHBMin->setEnabled(CHBStartup->isChecked() && !CHBService->isChecked());
    CHBService->setEnabled(CHBStartup->isChecked() && !procs::IsWin9x());
    BtnServiceDUN->setVisible(CHBService->isChecked());
}

void TFrmSettings::ApplyEnableFor(QObject* from) {
    if (loading_) return;
    if (from == EditBPort || from == CHBBrowser) UpdateBrowserAddress();
    BtnApply->setEnabled(true);
    UpdateEnabling();
    if (!CHBService->isEnabled()) CHBService->setChecked(false);
    // A service start is always minimised.
    if (!CHBMin->isEnabled()) CHBMin->setChecked(CHBService->isChecked());
    BtnServiceDUN->setVisible(CHBService->isChecked());
    if (from == CHBService && CHBService->isChecked() && serviceTag_ == 0 && RBTConnectDUN->isChecked() &&
        CBXDUN->currentIndex() >= 0) {
        platform::MessageBox("Run as a service:\r\rTarnwick will run as a service but you must provide the "
                             "Dial-up networking username and password.\rPlease select the connection tab and "
                             "then click on the button marked \"Edit DUN login\" and enter the username and "
                             "password for the selected DUN entry (" +
                                 S(CBXDUN->currentText()) + ").",
                             platform::MsgKind::Information, platform::MsgButtons::Ok, this);
        serviceTag_ = 1;
    }
    if (from == CHBOutCopy && !CHBOutCopy->isChecked()) CBXOutCopy->setCurrentIndex(-1);
    if (from == CHBForwardMailFrom && !CHBForwardMailFrom->isChecked()) EditForwardFrom->clear();
}

void TFrmSettings::ModalButtons() {
    QObject* from = sender();
    if ((from == BtnOK || from == BtnApply) && !SaveSettings()) return;
    if (from == BtnCancel) LoadSettings();
    BtnApply->setEnabled(false);
    if (from == BtnOK || from == BtnCancel) done(QDialog::Accepted);
}

void TFrmSettings::SMTPAuth() {
    if (sender() == BtnSMTPAuth && FrmMailAccount)
        FrmMailAccount->EditSmtpAuth("SMTP account", relayAuthLogin_, relayAuthPassword_, relayMailFrom_);
    ApplyEnable();
}
