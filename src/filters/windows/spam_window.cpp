// The spam filter's setup window over the running filter and spam.dat's
// owner.
#include "filters/windows/spam_window.h"

#include "codecs/qev_util.h"
#include "filters/windows/spam_add_window.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/settings_file.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "shell/main.h"
#include "shell/splash.h"
#include "transport/mail_settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>

TFrmSpam* FrmSpam = nullptr;
std::function<void(TFrmSpam&)> TFrmSpam::ExecForTesting;
std::function<std::string()> TFrmSpam::PickFileForTesting;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

std::string IniPath() { return settings::IniPath(); }

// Sets a radio button as the stored Boolean says. Unchecking must not be
// refused by the button's exclusivity, so that a file holding both false
// shows both unticked, as it was written.
void SetRadio(QRadioButton* b, bool on) {
    if (on) {
        b->setChecked(true);
        return;
    }
    b->setAutoExclusive(false);
    b->setChecked(false);
    b->setAutoExclusive(true);
}

QString Lines(const std::vector<std::string>& words) {
    QStringList lines;
    for (const auto& w : words) lines << Q(w);
    return lines.join('\n');
}

std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
    std::vector<std::string> out;
    const QString text = memo->toPlainText();
    if (text.isEmpty()) return out;
    for (const QString& line : text.split('\n')) out.push_back(S(line));
    return out;
}

QLineEdit* StatEdit() {
    auto* e = new QLineEdit;
    e->setReadOnly(true);
    e->setAlignment(Qt::AlignRight);
    return e;
}

}  // namespace

TFrmSpam::TFrmSpam(QWidget* parent) : QDialog(parent), filter_(std::make_unique<spam::TSpamFilter>()) {
    BuildControls();
    FormCreate();
}

TFrmSpam::~TFrmSpam() {
    if (FrmSpam == this) FrmSpam = nullptr;
}

void TFrmSpam::BuildControls() {
    setWindowTitle("Spam filter settings");
    PageControl1 = new QTabWidget(this);

    // General
    TabSheet4 = new QWidget;
    {
        auto* lay = new QVBoxLayout(TabSheet4);
        auto* general = new QGroupBox("General");
        auto* gl = new QVBoxLayout(general);
        auto* explain = new QLabel(
            "Mail collected from your POP accounts is checked for spam. Mail from safe addresses or with "
            "good words in the subject goes to the mailbox; mail with bad words, or to bad users, is held as "
            "probable spam; everything else is held as possible spam.");
        explain->setWordWrap(true);
        gl->addWidget(explain);
        CHBCheckSpam = new QCheckBox("Use spam filters");
        CHBCheckSpam->installEventFilter(this);
        gl->addWidget(CHBCheckSpam);
        lay->addWidget(general);

        auto* web = new QGroupBox("Spam web-page");
        auto* wl = new QVBoxLayout(web);
        auto* limitRow = new QHBoxLayout;
        CHBWebLimit = new QCheckBox("Limit spam messages to ");
        SpinWebCount = new QSpinBox;
        SpinWebCount->setRange(spam::MinPageLimit, spam::MaxPageLimit);
        limitRow->addWidget(CHBWebLimit);
        limitRow->addWidget(SpinWebCount);
        limitRow->addWidget(new QLabel("per page"));
        limitRow->addStretch();
        wl->addLayout(limitRow);
        CHBWebBookmark = new QCheckBox("Show bookmark link");
        wl->addWidget(CHBWebBookmark);
        auto* previewRow = new QHBoxLayout;
        SpinPreview = new QSpinBox;
        SpinPreview->setRange(spam::MinPreview, spam::MaxPreview);
        previewRow->addWidget(new QLabel("Preview pane size (%):"));
        previewRow->addWidget(SpinPreview);
        previewRow->addStretch();
        wl->addLayout(previewRow);
        RbtOneLine = new QRadioButton("One line per message");
        RbtTwoLines = new QRadioButton("Two lines per message");
        wl->addWidget(RbtOneLine);
        wl->addWidget(RbtTwoLines);
        lay->addWidget(web);

        auto* report = new QGroupBox("Spam report");
        auto* rl = new QVBoxLayout(report);
        auto* toRow = new QHBoxLayout;
        CHBReport = new QCheckBox("Send a spam report email to:");
        CBXReport = new QComboBox;
        toRow->addWidget(CHBReport);
        toRow->addWidget(CBXReport);
        toRow->addStretch();
        rl->addLayout(toRow);
        auto* everyRow = new QHBoxLayout;
        RbtSpamEvery = new QRadioButton("Every");
        SpinReport = new QSpinBox;
        SpinReport->setRange(spam::MinReportEvery, spam::MaxReportEvery);
        everyRow->addWidget(RbtSpamEvery);
        everyRow->addWidget(SpinReport);
        everyRow->addWidget(new QLabel("spam messages"));
        everyRow->addStretch();
        rl->addLayout(everyRow);
        auto* dailyRow = new QHBoxLayout;
        RbtSpamDaily = new QRadioButton("Daily at");
        EditReportTime = new QTimeEdit;
        EditReportTime->setDisplayFormat("HH:mm");
        dailyRow->addWidget(RbtSpamDaily);
        dailyRow->addWidget(EditReportTime);
        dailyRow->addWidget(new QLabel("(or soon after)"));
        dailyRow->addStretch();
        rl->addLayout(dailyRow);
        BtnReport = new QPushButton("Send report now");
        rl->addWidget(BtnReport, 0, Qt::AlignLeft);
        lay->addWidget(report);

        GPBStats = new QGroupBox("Spam stats");
        auto* sl = new QFormLayout(GPBStats);
        EditSpamCount = StatEdit();
        EditSpamRatio = StatEdit();
        EditSpamDeleted = StatEdit();
        EditSpamSuccessRatio = StatEdit();
        sl->addRow("Spam messages:", EditSpamCount);
        sl->addRow("Spam ratio:", EditSpamRatio);
        sl->addRow("Spam deleted:", EditSpamDeleted);
        sl->addRow("Success ratio:", EditSpamSuccessRatio);
        BtnSpamReset = new QPushButton("Reset");
        sl->addRow(BtnSpamReset);
        lay->addWidget(GPBStats);
        lay->addStretch();
    }

    // 1. Email addresses
    TabSheet1 = new QWidget;
    {
        auto* lay = new QVBoxLayout(TabSheet1);
        CHBSpamAddOut = new QCheckBox("Add outgoing email recipients' addresses to list");
        lay->addWidget(CHBSpamAddOut);
        auto* row = new QHBoxLayout;
        DBGrid1 = new QTableWidget(0, 1);
        DBGrid1->setHorizontalHeaderLabels({"Email addresses"});
        DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
        DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
        DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
        DBGrid1->verticalHeader()->hide();
        DBGrid1->horizontalHeader()->setStretchLastSection(true);
        row->addWidget(DBGrid1, 1);
        auto* buttons = new QVBoxLayout;
        BtnSpamAddEmail = new QPushButton("Add...");
        BtnSpamEditEmail = new QPushButton("Edit...");
        BtnSpamDelEmail = new QPushButton("Delete");
        BtnSpamGetAdds = new QPushButton("Get address books...");
        BtnSpamEmailImport = new QPushButton("Import from file...");
        for (auto* b : {BtnSpamAddEmail, BtnSpamEditEmail, BtnSpamDelEmail, BtnSpamGetAdds, BtnSpamEmailImport})
            buttons->addWidget(b);
        buttons->addStretch();
        row->addLayout(buttons);
        lay->addLayout(row);
    }

    // 2./3. words, 4. bad users
    TabSheet2 = new QWidget;
    GoodList = new QPlainTextEdit;
    (new QVBoxLayout(TabSheet2))->addWidget(GoodList);
    TabSheet3 = new QWidget;
    BadList = new QPlainTextEdit;
    (new QVBoxLayout(TabSheet3))->addWidget(BadList);
    TabSheet5 = new QWidget;
    CHBSpamUsers = new QListWidget;
    (new QVBoxLayout(TabSheet5))->addWidget(CHBSpamUsers);

    PageControl1->addTab(TabSheet4, "General");
    PageControl1->addTab(TabSheet1, "1. Email addresses");
    PageControl1->addTab(TabSheet2, "2. Good words");
    PageControl1->addTab(TabSheet3, "3. Bad words");
    PageControl1->addTab(TabSheet5, "4. Bad Users");
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet5), false);

    BtnOK = new QPushButton("OK");
    BtnOK->setDefault(true);
    BtnCancel = new QPushButton("Cancel");
    BtnApply = new QPushButton("Apply");
    BtnApply->setEnabled(false);
    BtnHelp = new QPushButton("Help...");
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    for (auto* b : {BtnOK, BtnCancel, BtnApply, BtnHelp}) bottom->addWidget(b);

    auto* main = new QVBoxLayout(this);
    main->addWidget(PageControl1);
    main->addLayout(bottom);

    using platform::Guarded;
    auto apply = Guarded([this] { ApplyEnable(); });
    for (QCheckBox* c : {CHBCheckSpam, CHBWebLimit, CHBWebBookmark, CHBReport, CHBSpamAddOut})
        connect(c, &QCheckBox::toggled, this, apply);
    for (QRadioButton* r : {RbtOneLine, RbtTwoLines, RbtSpamEvery, RbtSpamDaily})
        connect(r, &QRadioButton::toggled, this, apply);
    for (QSpinBox* s : {SpinWebCount, SpinPreview, SpinReport})
        connect(s, &QSpinBox::valueChanged, this, apply);
    connect(CBXReport, &QComboBox::currentIndexChanged, this, apply);
    connect(EditReportTime, &QTimeEdit::timeChanged, this, apply);
    connect(GoodList, &QPlainTextEdit::textChanged, this, apply);
    connect(BadList, &QPlainTextEdit::textChanged, this, apply);
    connect(CHBSpamUsers, &QListWidget::itemChanged, this, apply);
    connect(DBGrid1, &QTableWidget::itemSelectionChanged, this, Guarded([this] { GridRowChanged(); }));
    connect(BtnSpamAddEmail, &QPushButton::clicked, this, Guarded([this] { BtnSpamAddEmailClick(); }));
    connect(BtnSpamEditEmail, &QPushButton::clicked, this, Guarded([this] { BtnSpamEditEmailClick(); }));
    connect(BtnSpamDelEmail, &QPushButton::clicked, this, Guarded([this] { BtnSpamDelEmailClick(); }));
    connect(BtnSpamGetAdds, &QPushButton::clicked, this, Guarded([this] { BtnSpamGetAddsClick(); }));
    connect(BtnSpamEmailImport, &QPushButton::clicked, this, Guarded([this] { BtnSpamEmailImportClick(); }));
    connect(BtnReport, &QPushButton::clicked, this, Guarded([this] { BtnReportClick(); }));
    connect(BtnSpamReset, &QPushButton::clicked, this, Guarded([this] { BtnSpamResetClick(); }));
    connect(BtnApply, &QPushButton::clicked, this, Guarded([this] { BtnApplyClick(); }));
    connect(BtnOK, &QPushButton::clicked, this, Guarded([this] { BtnOKClick(); }));
    connect(BtnCancel, &QPushButton::clicked, this, Guarded([this] { BtnCancelClick(); }));
    connect(BtnHelp, &QPushButton::clicked, this, Guarded([this] { BtnHelpClick(); }));
}

// --- tables ------------------------------------------------------------------

void TFrmSpam::FormCreate() {
    splash::Progress("Initializing spam filters...");
    filter_->CreateSafeListFile();
    TblSpam.OnDataChange = [this](TvdlMemTable&) { RefreshGrid(); };
    LoadSpamSettings();
}

std::vector<std::string> TFrmSpam::safeList() {
    std::vector<std::string> out;
    const int keep = TblSpam.GetBookmark();
    for (TblSpam.First(); !TblSpam.Eof(); TblSpam.Next()) out.push_back(TblSpam.FieldByName("Item").AsString());
    if (keep >= 0 && TblSpam.BookmarkValid(keep)) TblSpam.GotoBookmark(keep);
    return out;
}

void TFrmSpam::RefreshGrid() {
    if (!TblSpam.Active()) return;
    const int current = TblSpam.GetBookmark();
    const QSignalBlocker block(DBGrid1);
    DBGrid1->setRowCount(0);
    int row = 0, currentRow = -1;
    for (TblSpam.First(); !TblSpam.Eof(); TblSpam.Next(), ++row) {
        DBGrid1->insertRow(row);
        auto* item = new QTableWidgetItem(Q(TblSpam.FieldByName("Item").AsString()));
        const int bm = TblSpam.GetBookmark();
        item->setData(Qt::UserRole, bm);
        DBGrid1->setItem(row, 0, item);
        if (bm == current) currentRow = row;
    }
    if (current >= 0 && TblSpam.BookmarkValid(current)) TblSpam.GotoBookmark(current);
    else TblSpam.First();
    if (currentRow < 0 && row > 0) currentRow = TblSpam.RecNo() - 1;
    if (currentRow >= 0) DBGrid1->selectRow(currentRow);
}

void TFrmSpam::GridRowChanged() {
    const auto rows = DBGrid1->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    QTableWidgetItem* item = DBGrid1->item(rows.first().row(), 0);
    if (item == nullptr) return;
    const int bm = item->data(Qt::UserRole).toInt();
    if (TblSpam.BookmarkValid(bm)) TblSpam.GotoBookmark(bm);
}

bool TFrmSpam::SelectCurrentRow() { return TblSpam.Active() && !TblSpam.IsEmpty(); }

// The window edits a copy of the safe list as its owner holds it now.
void TFrmSpam::TakeSafeList() {
    TvdlMemTable& owned = spam::SafeList().Table();
    if (TblSpam.Active() && TblSpam.State() != dsBrowse) TblSpam.Cancel();
    TblSpam.Close();
    safeListBase_.clear();
    if (owned.Active()) {
        safeListBase_ = owned.SaveToBinaryString();
        TblSpam.LoadFromBinaryString(safeListBase_);
        TblSpam.SetIndexName("ixType");
        TblSpam.First();
    }
}

// --- settings ----------------------------------------------------------------

void TFrmSpam::LoadSpamSettings() {
    loading_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{loading_};

    filter_->Load();
    TakeSafeList();
    RefreshGrid();

    const spam::Settings& s = filter_->settings();
    CHBCheckSpam->setChecked(s.checkSpam);
    CHBWebBookmark->setChecked(s.webBookmark);
    CHBWebLimit->setChecked(s.webLimited);
    SpinWebCount->setValue(s.webPageLimit);
    SpinPreview->setValue(s.previewSize);
    SetRadio(RbtOneLine, s.oneLine);
    SetRadio(RbtTwoLines, s.twoLines);
    CHBReport->setChecked(s.report);
    SetRadio(RbtSpamEvery, s.reportEvery);
    SetRadio(RbtSpamDaily, s.reportDaily);
    SpinReport->setValue(s.reportEveryAmount);
    EditReportTime->setTime(s.reportTime);
    CHBSpamAddOut->setChecked(s.addOutAddress);

    CBXReport->clear();
    CHBSpamUsers->clear();
    for (const auto& u : tables::UserNames()) {
        CBXReport->addItem(Q(u));
        auto* item = new QListWidgetItem(Q(u), CHBSpamUsers);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const bool bad = std::find(s.badUsers.begin(), s.badUsers.end(), u) != s.badUsers.end();
        item->setCheckState(bad ? Qt::Checked : Qt::Unchecked);
    }
    CBXReport->setCurrentIndex(CBXReport->findText(Q(s.reportUser), Qt::MatchExactly));
    SetBadUsersShown(s.badUsersShown);

    GoodList->setPlainText(Lines(s.goodWords));
    BadList->setPlainText(Lines(s.badWords));

    ShowSpamStats();
    UpdateReportControls();
    BtnApply->setEnabled(false);
    // The filter goes by what the window shows.
    PublishControls();
}

spam::Settings TFrmSpam::ControlsToSettings() const {
    spam::Settings s;
    s.checkSpam = CHBCheckSpam->isChecked();
    s.webBookmark = CHBWebBookmark->isChecked();
    s.webLimited = CHBWebLimit->isChecked();
    s.webPageLimit = SpinWebCount->value();
    s.previewSize = SpinPreview->value();
    s.oneLine = RbtOneLine->isChecked();
    s.twoLines = RbtTwoLines->isChecked();
    s.report = CHBReport->isChecked();
    s.reportUser = S(CBXReport->currentText());
    s.reportEvery = RbtSpamEvery->isChecked();
    s.reportDaily = RbtSpamDaily->isChecked();
    s.reportEveryAmount = SpinReport->value();
    s.reportTime = EditReportTime->time();
    s.addOutAddress = CHBSpamAddOut->isChecked();
    s.goodWords = MemoLines(GoodList);
    s.badWords = MemoLines(BadList);
    s.badUsersShown = BadUsersShown();
    for (int i = 0; i < CHBSpamUsers->count(); ++i) {
        const QListWidgetItem* item = CHBSpamUsers->item(i);
        if (item->checkState() == Qt::Checked) s.badUsers.push_back(S(item->text()));
    }
    return s;
}

void TFrmSpam::PublishControls() { filter_->SetSettings(ControlsToSettings()); }

void TFrmSpam::SaveSpamSettings() {
    // Only the window's own additions, changes and deletions reach the safe
    // list: entries that others added or removed since the window took its
    // copy (outgoing recipients, web uploads) stay as they are now.
    std::string error;
    if (TblSpam.Active()) {
        const bool onRow = !TblSpam.IsEmpty() && !TblSpam.Eof();
        const std::string current = onRow ? TblSpam.FieldByName("Item").AsString() : std::string();
        if (spam::SafeList().ApplyEdits(ProgramDir, safeListBase_, TblSpam, &error)) {
            TakeSafeList();
            if (!current.empty()) TblSpam.FindKey({spam::SafeSender, current});
            RefreshGrid();
        } else {
            // The window keeps its edits for another try.
            tablefiles::LogLine("The spam filter could not save spam.dat: " + error);
        }
    }

    const spam::Settings s = ControlsToSettings();
    spam::WriteSettings(s);
    filter_->SetSettings(s);
    BtnApply->setEnabled(!error.empty());
}

void TFrmSpam::ShowSpamStats() {
    platform::IniFile ini(IniPath());
    auto now = platform::NowLocal();
    const auto t = spam::FormatStats(
        ini.ReadInteger("SpamStats", "SpamIdentified", 0), ini.ReadInteger("SpamStats", "NonSpamIdentified", 0),
        ini.ReadInteger("SpamStats", "SpamDeleted", 0), ini.ReadInteger("SpamStats", "SpamSaved", 0),
        ini.ReadString("SpamStats", "StatsSince", spam::DayMonth(now.day, now.month)));
    GPBStats->setTitle(Q(t.caption));
    EditSpamCount->setText(Q(t.spamCount));
    EditSpamRatio->setText(Q(t.spamRatio));
    EditSpamDeleted->setText(Q(t.spamDeleted));
    EditSpamSuccessRatio->setText(Q(t.successRatio));
}

// --- pages ------------------------------------------------------------------

bool TFrmSpam::BadUsersShown() const { return PageControl1->isTabVisible(PageControl1->indexOf(TabSheet5)); }

void TFrmSpam::SetBadUsersShown(bool shown) {
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet5), shown);
}

// --- showing and buttons ----------------------------------------------------------

void TFrmSpam::ShowSpamSettings() {
    LoadSpamSettings();
    if (ExecForTesting) {
        ExecForTesting(*this);
        return;
    }
    exec();
}

void TFrmSpam::UpdateReportControls() {
    const bool on = CHBReport->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{CBXReport, RbtSpamEvery, RbtSpamDaily, SpinReport, EditReportTime})
        w->setEnabled(on);
    BtnReport->setEnabled(on && !CBXReport->currentText().isEmpty());
}

void TFrmSpam::ApplyEnable() {
    UpdateReportControls();
    if (loading_) return;
    BtnApply->setEnabled(true);
    PublishControls();
}

void TFrmSpam::CHBCheckSpamMouseDown(bool rightButton) {
    if (rightButton) {
        const auto answer = platform::MessageBox("Show bad users tab?", platform::MsgKind::Confirmation,
                                                 platform::MsgButtons::YesNo, this);
        SetBadUsersShown(answer == platform::MsgResult::Yes);
    }
    ApplyEnable();
}

bool TFrmSpam::eventFilter(QObject* watched, QEvent* event) {
    if (watched == CHBCheckSpam && event->type() == QEvent::MouseButtonPress) {
        auto* me = static_cast<QMouseEvent*>(event);
        try {
            CHBCheckSpamMouseDown(me->button() == Qt::RightButton);
        } catch (...) {
            platform::Application::HandleException(std::current_exception());
        }
        if (me->button() == Qt::RightButton) return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TFrmSpam::BtnSpamAddEmailClick() {
    std::string text;
    if (!platform::InputBox("Add email address", "Add a \"safe\" email address.", text, false, this)) return;
    text = qev_util::LowerCase(text).substr(0, spam::ItemSize);
    if (TblSpam.FindKey({spam::SafeSender, text})) {
        platform::MessageBox("That email address is already present", platform::MsgKind::Warning,
                             platform::MsgButtons::Ok, this);
        return;
    }
    TblSpam.Append();
    TblSpam.FieldByName("Type").SetAsInteger(spam::SafeSender);
    TblSpam.FieldByName("Item").SetAsString(text);
    TblSpam.Post();
    TblSpam.FindKey({spam::SafeSender, text});
    RefreshGrid();
    ApplyEnable();
}

void TFrmSpam::BtnSpamEditEmailClick() {
    if (!SelectCurrentRow()) return;
    std::string text = TblSpam.FieldByName("Item").AsString();
    if (!platform::InputBox("Edit email address", "Edit \"safe\" email address.", text, false, this)) return;
    const std::string item = qev_util::LowerCase(text).substr(0, spam::ItemSize);
    const int current = TblSpam.GetBookmark();
    if (TblSpam.FindKey({spam::SafeSender, item}) && TblSpam.GetBookmark() != current) {
        TblSpam.GotoBookmark(current);
        platform::MessageBox("That email address is already present", platform::MsgKind::Warning,
                             platform::MsgButtons::Ok, this);
        return;
    }
    TblSpam.GotoBookmark(current);
    TblSpam.Edit();
    TblSpam.FieldByName("Type").SetAsInteger(spam::SafeSender);
    TblSpam.FieldByName("Item").SetAsString(item);
    TblSpam.Post();
    RefreshGrid();
    ApplyEnable();
}

void TFrmSpam::BtnSpamDelEmailClick() {
    if (!SelectCurrentRow()) return;
    TblSpam.Delete();
    RefreshGrid();
    ApplyEnable();
}

void TFrmSpam::BtnSpamGetAddsClick() {
    const std::string address = mailsettings::Current()->browserAddress;
    if (address.find("http:") != std::string::npos) {
        spam_add::WriteAddressBookRequests();
        return;
    }
    platform::MessageBox(
        "You need to set \"control through browser\" ON in the remote setup.  Click on Tools, Settings and "
        "select the Remote tab.",
        platform::MsgKind::Information, platform::MsgButtons::Ok, this);
}

void TFrmSpam::BtnSpamEmailImportClick() {
    const auto answer = platform::MessageBox(
        "Please select a text or csv export file.\rThis can have other information in it (names, phone "
        "numbers etc) and should be comma or space delimited.",
        platform::MsgKind::Confirmation, platform::MsgButtons::OkCancel, this);
    if (answer != platform::MsgResult::Ok) return;
    std::string file;
    if (PickFileForTesting) {
        file = PickFileForTesting();
    } else if (!platform::IsHeadless()) {
        file = S(QFileDialog::getOpenFileName(this, QString(), Q(ProgramDir),
                                              "Text files (*.txt *.csv *.TXT *.CSV);;All files (*)"));
    }
    if (file.empty()) return;
    const int count = ImportAddressesFromFile(file);
    platform::MessageBox(count == 1 ? std::string("1 email address imported.")
                                    : std::to_string(count) + " email addresses imported.",
                         platform::MsgKind::Information, platform::MsgButtons::Ok, this);
}

void TFrmSpam::BtnReportClick() { SendSpamReport(true); }

void TFrmSpam::BtnSpamResetClick() {
    spam::IncSpamStat("");
    ShowSpamStats();
}

void TFrmSpam::BtnApplyClick() { SaveSpamSettings(); }

void TFrmSpam::BtnOKClick() {
    if (BtnApply->isEnabled()) SaveSpamSettings();
    accept();
}

void TFrmSpam::BtnCancelClick() {
    LoadSpamSettings();
    QDialog::reject();
}

// Closing the window any other way is a Cancel: what it shows is what
// classification reads, so unsaved edits must not linger.
void TFrmSpam::reject() { BtnCancelClick(); }

void TFrmSpam::BtnHelpClick() {
    TFrmMain::ShowHelpTopic(PageControl1->currentWidget() == TabSheet4 ? "spam.htm" : "spam_setup.htm");
}

void TFrmSpam::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        BtnHelpClick();
        return;
    }
    QDialog::keyPressEvent(event);
}

// --- reports and import ---------------------------------------------------------

bool TFrmSpam::SendSpamReport(bool Confirm) {
    const std::string user = filter_->settings().reportUser;
    const bool written = filter_->SendSpamReport();
    if (!Confirm || user.empty() || !settings::IsSafeUserName(user)) return written;
    if (written)
        platform::MessageBox("Spam report sent to " + user + ".", platform::MsgKind::Information,
                             platform::MsgButtons::Ok, this);
    else
        platform::MessageBox("The spam report could not be written into the mailbox of " + user + ".",
                             platform::MsgKind::Error, platform::MsgButtons::Ok, this);
    return written;
}

int TFrmSpam::ImportAddressesFromFile(const std::string& fileName) {
    std::string data;
    if (!platform::ReadFile(fileName, data)) return 0;
    int count = 0;
    for (const std::string& line : platform::TextLines(data)) {
        if (line.find('@') == std::string::npos) continue;
        for (std::string candidate : spam::AddressCandidates(line)) {
            candidate = candidate.substr(0, spam::ItemSize);
            if (TblSpam.FindKey({spam::SafeSender, candidate})) continue;
            TblSpam.Append();
            TblSpam.FieldByName("Type").SetAsInteger(spam::SafeSender);
            TblSpam.FieldByName("Item").SetAsString(candidate);
            TblSpam.Post();
            ApplyEnable();
            ++count;
        }
    }
    return count;
}
