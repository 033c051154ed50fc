// Message browser: the window, its entry points, the message list with its
// sort, and the purge of old web mail copies at start.
#include "browser/details.h"
#include "browser/details_internal.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPixmap>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QEvent>
#include <QResizeEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "codecs/details.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "shell/splash.h"
#include "tables/memtable.h"
#include "transport/engine_tables.h"
#include "transport/servers.h"
#include "transport/store.h"

TFrmDetails* FrmDetails = nullptr;
std::function<void(TFrmDetails&)> TFrmDetails::ExecForTesting;

using namespace details::internal;

namespace {

constexpr int RoleDate = Qt::UserRole;       // file date, ms since the epoch
constexpr int RoleSize = Qt::UserRole + 1;   // file size in bytes
constexpr int RoleImage = Qt::UserRole + 2;  // 1: suspended

// Names of the users table in its order, read without disturbing the
// cursor of a table that others use.
std::vector<std::string> NamesOf(TvdlMemTable& table) {
    std::vector<std::string> names;
    if (!table.Active() || table.FindField("Name") == nullptr) return names;
    const int mark = table.GetBookmark();
    for (table.First(); !table.Eof(); table.Next()) names.push_back(table.FieldByName("Name").AsString());
    if (mark >= 0 && table.BookmarkValid(mark)) table.GotoBookmark(mark);
    return names;
}

std::vector<std::string> UserNames() {
    try {
        if (FrmServers != nullptr && FrmServers->TblUsers.Active()) return NamesOf(FrmServers->TblUsers);
        if (FrmSettings != nullptr && FrmSettings->TblUsers && FrmSettings->TblUsers->Active())
            return NamesOf(*FrmSettings->TblUsers);
        return tables::UserNamesInFile(ProgramDir);
    } catch (const std::exception&) {
        return {};
    }
}

std::string FolderOfMode(int mode) {
    switch (mode) {
    case details::ModeInbox: return smtp::StoreFolder(smtp::FolderIn);
    case details::ModeOutbox: return smtp::StoreFolder(smtp::FolderOut);
    case details::ModeDeleted: return smtp::StoreFolder(smtp::FolderDeleted);
    case details::ModePossible: return smtp::StoreFolder(smtp::FolderSpam1);
    case details::ModeProbable: return smtp::StoreFolder(smtp::FolderSpam2);
    default: return std::string();
    }
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size()) return false;
    return QString::fromStdString(text.substr(text.size() - tail.size()))
               .compare(Q(tail), Qt::CaseInsensitive) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Plain routines
// ---------------------------------------------------------------------------

namespace details {

int PurgeOldFiles(const std::string& folderPath, int days) {
    const auto cutoff = platform::Now() - std::chrono::hours(24) * std::max(days, 0);
    int removed = 0;
    for (const std::string& name : platform::ListFiles(folderPath, "*.dat")) {
        std::chrono::system_clock::time_point date;
        if (!platform::GetFileTime(folderPath + name, date)) continue;
        if (date <= cutoff && std::remove((folderPath + name).c_str()) == 0) ++removed;
    }
    return removed;
}

std::string FileDateText(std::chrono::system_clock::time_point time) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const platform::LocalTime lt = platform::ToLocal(time);
    char text[32];
    std::snprintf(text, sizeof text, "%02d %s %02d:%02d", lt.day, kMonths[(lt.month + 11) % 12], lt.hour,
                  lt.minute);
    return text;
}

std::string RenameForUser(const std::string& fileName, const std::string& user) {
    const std::size_t underscore = fileName.find('_');
    return user + (underscore == std::string::npos ? "_" + fileName : fileName.substr(underscore));
}

std::string QueueIdOfFile(const std::string& fileName) {
    const std::size_t dot = fileName.find_last_of('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

}  // namespace details

// ---------------------------------------------------------------------------
// The window
// ---------------------------------------------------------------------------

TFrmDetails::TFrmDetails(QWidget* parent) : QDialog(parent) {
    BuildControls();
    FormCreate();
    // The settings window's "View deleted spam..." button opens this view.
    setup::hooks.showDeletedSpam = [this] { ShowDeletedSpam(); };
}

TFrmDetails::~TFrmDetails() {
    setup::hooks.showDeletedSpam = nullptr;
    if (FrmDetails == this) FrmDetails = nullptr;
}

void TFrmDetails::BuildControls() {
    setObjectName("FrmDetails");
    setWindowTitle("Email details");
    resize(900, 600);

    ListView1 = new QTreeWidget;
    ListView1->setObjectName("ListView1");
    ListView1->setColumnCount(details::ColumnCount);
    ListView1->setHeaderLabels({"Received", "Size", "From", "To", "Subject", "Filename"});
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setSortingEnabled(false);
    ListView1->header()->setSectionsClickable(true);
    ListView1->header()->setStretchLastSection(false);
    const int widths[] = {110, 65, 140, 140, 300, 0};
    for (int c = 0; c < details::ColumnCount; ++c) ListView1->setColumnWidth(c, widths[c]);
    ListView1->headerItem()->setTextAlignment(details::ColSize, Qt::AlignRight | Qt::AlignVCenter);
    // Date and size fit their texts (and the tick box beside the date),
    // whatever the font.
    for (int c : {details::ColReceived, details::ColSize})
        ListView1->header()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    ListView1->setColumnHidden(details::ColFilename, true);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListView1->header(), &QHeaderView::sectionClicked, this, [this](int c) { ListView1ColumnClick(c); });
    connect(ListView1, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem*, int column) {
        if (column == details::ColReceived) ListView1Change();
    });
    connect(ListView1, &QTreeWidget::currentItemChanged, this, [this] { ListView1SelectItem(); });
    connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QMenu PopupMenu1(this);
        PopupMenu1.setObjectName("PopupMenu1");
        QAction* all = PopupMenu1.addAction("Select All");
        QAction* none = PopupMenu1.addAction("Select None");
        QAction* chosen = PopupMenu1.exec(ListView1->viewport()->mapToGlobal(pos));
        if (chosen == all) AllNone(true);
        if (chosen == none) AllNone(false);
    });

    auto button = [this](const char* name, const char* caption) {
        auto* b = new QPushButton(caption);
        b->setObjectName(name);
        return b;
    };

    // Button pages.
    Notebook1 = new QStackedWidget;
    Notebook1->setObjectName("Notebook1");
    auto page = [this](const char* name) {
        auto* w = new QWidget;
        w->setObjectName(name);
        auto* lay = new QHBoxLayout(w);
        lay->setContentsMargins(0, 0, 0, 0);
        Notebook1->addWidget(w);
        return w;
    };
    PageInBox = page("InBox");
    BtnMove = button("BtnMove", "Move ticked to user:");
    BtnCopy = button("BtnCopy", "Copy ticked to user:");
    ComboBox1 = new QComboBox;
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setMinimumWidth(120);
    BtnDelIn = button("BtnDelIn", "Delete Ticked");
    for (QWidget* w : std::initializer_list<QWidget*>{BtnMove, BtnCopy, ComboBox1, BtnDelIn})
        PageInBox->layout()->addWidget(w);

    PageOutBox = page("OutBox");
    BtnDelOut = button("BtnDelOut", "Delete Ticked");
    BtnSuspend = button("BtnSuspend", "Suspend Ticked");
    BtnUnSuspend = button("BtnUnSuspend", "Unsuspend Ticked");
    for (QWidget* w : std::initializer_list<QWidget*>{BtnDelOut, BtnSuspend, BtnUnSuspend})
        PageOutBox->layout()->addWidget(w);

    PageDeleted = page("Deleted");
    BtnDelDel = button("BtnDelDel", "Delete Ticked");
    BtnRestoreDel = button("BtnRestoreDel", "Restore Ticked");
    for (QWidget* w : std::initializer_list<QWidget*>{BtnDelDel, BtnRestoreDel}) PageDeleted->layout()->addWidget(w);

    PageSpam = page("Spam");
    auto* show = new QLabel("Show:");
    BtnPossible = button("BtnPossible", "Possible");
    BtnProbable = button("BtnProbable", "Probable");
    BtnPossible->setCheckable(true);
    BtnProbable->setCheckable(true);
    BtnSpamDel = button("BtnSpamDel", "Delete Ticked");
    CHBSpamAddAddress = new QCheckBox("Add sender to \"safe\" list");
    CHBSpamAddAddress->setObjectName("CHBSpamAddAddress");
    BtnSpamOK = button("BtnSpamOK", "Save Ticked");
    for (QWidget* w : std::initializer_list<QWidget*>{show, BtnPossible, BtnProbable, BtnSpamDel,
                                                      CHBSpamAddAddress, BtnSpamOK})
        PageSpam->layout()->addWidget(w);
    for (QWidget* p : {PageInBox, PageOutBox, PageDeleted, PageSpam})
        static_cast<QHBoxLayout*>(p->layout())->addStretch(1);

    LblActions = new QLabel("Actions:");
    BtnClose = button("BtnClose", "Close");
    connect(BtnClose, &QPushButton::clicked, this, &QDialog::accept);

    for (QPushButton* b : {BtnMove, BtnCopy, BtnDelIn, BtnDelDel, BtnRestoreDel})
        connect(b, &QPushButton::clicked, this, [this, b] { InMailBtns(b); });
    for (QPushButton* b : {BtnDelOut, BtnSuspend, BtnUnSuspend})
        connect(b, &QPushButton::clicked, this, [this, b] { OutMailBtns(b); });
    for (QPushButton* b : {BtnPossible, BtnProbable, BtnSpamDel, BtnSpamOK})
        connect(b, &QPushButton::clicked, this, [this, b] { SpamBtns(b); });

    // Preview panel.
    PanelPreview = new QWidget;
    PanelPreview->setObjectName("PanelPreview");
    LblSubj = new QLabel("Subject:");
    LblSubj->setObjectName("LblSubj");
    LblFrom = new QLabel("From:");
    LblFrom->setObjectName("LblFrom");
    for (QLabel* l : {LblSubj, LblFrom}) l->setTextFormat(Qt::PlainText);
    PageControl1 = new QTabWidget;
    PageControl1->setObjectName("PageControl1");
    auto memo = [](const char* name) {
        auto* m = new QPlainTextEdit;
        m->setObjectName(name);
        m->setReadOnly(true);
        return m;
    };
    Memo1 = memo("Memo1");
    MemHeaders = memo("MemHeaders");
    Memo2 = memo("Memo2");
    Viewer = new TMessageViewer;
    Viewer->setObjectName("Viewer");
    connect(Viewer, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        bool handled = false;
        ViewerHotSpotClick(S(url.toString()), handled);
    });
    auto* messagePage = new QWidget;
    auto* messageLayout = new QVBoxLayout(messagePage);
    messageLayout->setContentsMargins(0, 0, 0, 0);
    messageLayout->addWidget(Viewer);
    messageLayout->addWidget(Memo1);
    Viewer->hide();
    PageControl1->addTab(messagePage, "Message");
    PageControl1->addTab(MemHeaders, "Headers");
    PageControl1->addTab(Memo2, "Attachments");
    auto* previewLayout = new QVBoxLayout(PanelPreview);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    previewLayout->addWidget(LblSubj);
    previewLayout->addWidget(LblFrom);
    previewLayout->addWidget(PageControl1, 1);

    Splitter1 = new QSplitter(Qt::Vertical);
    Splitter1->setObjectName("Splitter1");
    Splitter1->addWidget(ListView1);
    Splitter1->addWidget(PanelPreview);
    Splitter1->setChildrenCollapsible(false);
    Splitter1->installEventFilter(this);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(LblActions);
    bottom->addWidget(Notebook1, 1);
    bottom->addWidget(BtnClose);
    auto* main = new QVBoxLayout(this);
    main->addWidget(Splitter1, 1);
    main->addLayout(bottom);

    DelTimer = new QTimer(this);
    DelTimer->setObjectName("DelTimer");
    DelTimer->setInterval(10);
    DelTimer->setSingleShot(true);
    connect(DelTimer, &QTimer::timeout, this, &TFrmDetails::DelTimerTimer);
}

void TFrmDetails::FormCreate() {
    splash::Progress("Tidying up sent email...");
    details::PurgeOldFiles(smtp::StoreFolder(smtp::FolderWebSent), SentDaysSetting());
    splash::Progress("Tidying up deleted email...");
    details::PurgeOldFiles(smtp::StoreFolder(smtp::FolderWebDeleted), DeletedDaysSetting());
    if (FrmSplash != nullptr) FrmSplash->Timer1->start();
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

void TFrmDetails::ShowModal() {
    if (ExecForTesting) {
        ExecForTesting(*this);
        return;
    }
    exec();
}

void TFrmDetails::ShowInbox(const std::string& user) {
    ComboBox1->clear();
    for (const std::string& name : UserNames()) {
        if (name != user) ComboBox1->addItem(Q(name));
    }
    if (ComboBox1->count() > 0) ComboBox1->setCurrentIndex(0);
    FillMessageList(details::ModeInbox, user);
    setWindowTitle(Q("Inbox for " + user));
    Notebook1->setCurrentWidget(PageInBox);
    ShowModal();
    if (FrmServers != nullptr) {
        FrmServers->RefreshMailCounts(false, true);
        FrmServers->QueueNewMailAlert(user);
    }
}

void TFrmDetails::ShowOutbox() {
    FillMessageList(details::ModeOutbox);
    setWindowTitle("Outbox");
    Notebook1->setCurrentWidget(PageOutBox);
    for (QWidget* w : std::initializer_list<QWidget*>{BtnDelOut, BtnSuspend, BtnUnSuspend, ComboBox1})
        w->setEnabled(false);
    ShowModal();
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false, false);
}

void TFrmDetails::ShowDeletedSpam() {
    // The folder can be large: the window comes up first and the list
    // fills visibly once the loop runs.
    mode_ = details::ModeDeleted;
    user_.clear();
    ListView1->clear();
    ClearPreview();
    setWindowTitle("Deleted Spam");
    Notebook1->setCurrentWidget(PageDeleted);
    ListView1Change();
    DelTimer->start();
    ShowModal();
    DelTimer->stop();
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false, true);
}

void TFrmDetails::DelTimerTimer() {
    DelTimer->stop();
    FillMessageList(details::ModeDeleted);
}

void TFrmDetails::ShowSpam(bool possible) {
    FillMessageList(possible ? details::ModePossible : details::ModeProbable);
    setWindowTitle("Spam");
    Notebook1->setCurrentWidget(PageSpam);
    ShowModal();
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false, true);
}

std::string TFrmDetails::ActivePage() const {
    QWidget* w = Notebook1->currentWidget();
    return w ? S(w->objectName()) : std::string();
}

// ---------------------------------------------------------------------------
// The list
// ---------------------------------------------------------------------------

void TFrmDetails::FillMessageList(int mode, const std::string& user) {
    mode_ = mode;
    user_ = user;
    BtnPossible->setChecked(mode == details::ModePossible);
    BtnProbable->setChecked(mode == details::ModeProbable);
    selectEvents_ = false;
    ListView1->clear();
    ClearPreview();
    ShowPreviewPanel(ViewMessagesSetting());

    const std::string folder = FolderOfMode(mode);
    std::vector<std::string> names;
    if (mode == details::ModeInbox)
        // Only this user's files: "<user>_<stamp>.dat" whose stamp has no
        // "_", so a user named "bob" does not see the mail of "bob_x".
        names = smtp::ListUserFiles(folder, user);
    else if (mode == details::ModeOutbox)
        names = platform::ListFiles(folder, "*.tx*");
    else if (!folder.empty())
        names = platform::ListFiles(folder, "*.dat");

    {
        QSignalBlocker block(ListView1);
        for (const std::string& name : names) {
            const std::string path = folder + name;
            if (!platform::FileExists(path)) continue;
            AddRow(path);
            if (mode == details::ModeDeleted) {
                ListView1->scrollToBottom();
                // User input waits: a click now would act on a half-built list.
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                if (mode_ != details::ModeDeleted) return;  // another list replaced this one
            }
        }
    }

    sortColumn_ = details::ColReceived;
    sortAscending_ = false;
    Sort();
    ListView1->scrollToTop();
    selectEvents_ = true;
    ListView1Change();
    if (ListView1->currentItem() != nullptr) ListView1SelectItem();
}

void TFrmDetails::AddRow(const std::string& path) {
    std::string from, to, subject, date;
    int attachmentCount = -1;
    std::vector<std::string> attachments;
    try {
        details::ReadMessageHeaders(path, from, to, subject, date, attachmentCount, attachments);
    } catch (const std::exception&) {
        // An unreadable file is still listed, so that it can be dealt with.
    }
    std::chrono::system_clock::time_point time{};
    platform::GetFileTime(path, time);
    std::int64_t size = 0;
    platform::FileSize(path, size);

    auto* item = new QTreeWidgetItem;
    item->setText(details::ColReceived, Q(details::FileDateText(time)));
    item->setText(details::ColSize, Q(servers::FormatByteSize(size)));
    item->setTextAlignment(details::ColSize, Qt::AlignRight | Qt::AlignVCenter);
    item->setText(details::ColFrom, Q(from));
    item->setText(details::ColTo, Q(to));
    item->setText(details::ColSubject, Q(subject));
    item->setText(details::ColFilename, Q(path));
    item->setData(details::ColReceived, RoleDate,
                  QVariant::fromValue<qint64>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count()));
    item->setData(details::ColReceived, RoleSize, QVariant::fromValue<qint64>(size));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    const bool spam = mode_ == details::ModePossible || mode_ == details::ModeProbable;
    item->setCheckState(details::ColReceived, spam ? Qt::Checked : Qt::Unchecked);
    ListView1->addTopLevelItem(item);
    SetRowImage(item, EndsWithNoCase(path, smtp::StateSuspended) ? 1 : 0);
}

void TFrmDetails::SetRowImage(QTreeWidgetItem* item, int image) {
    QSignalBlocker block(ListView1);
    item->setData(details::ColReceived, RoleImage, image);
    // Every row keeps the picture's place, empty or not: the dates line up
    // and stand clear of the tick boxes.
    static const QIcon blank = [] {
        QPixmap p(16, 16);
        p.fill(Qt::transparent);
        return QIcon(p);
    }();
    item->setIcon(details::ColReceived, image == 1 ? style()->standardIcon(QStyle::SP_MediaPause) : blank);
}

int TFrmDetails::ListView1Compare(QTreeWidgetItem* a, QTreeWidgetItem* b) const {
    int result = 0;
    if (sortColumn_ == details::ColReceived || sortColumn_ == details::ColSize) {
        const int role = sortColumn_ == details::ColReceived ? RoleDate : RoleSize;
        const qint64 x = a->data(details::ColReceived, role).toLongLong();
        const qint64 y = b->data(details::ColReceived, role).toLongLong();
        result = x < y ? -1 : (x > y ? 1 : 0);
    } else {
        result = a->text(sortColumn_).toLower().compare(b->text(sortColumn_).toLower(), Qt::CaseInsensitive);
    }
    return sortAscending_ ? result : -result;
}

void TFrmDetails::Sort() {
    const bool events = selectEvents_;
    selectEvents_ = false;
    QTreeWidgetItem* current = ListView1->currentItem();
    std::vector<QTreeWidgetItem*> items;
    {
        QSignalBlocker block(ListView1);
        while (ListView1->topLevelItemCount() > 0) items.push_back(ListView1->takeTopLevelItem(0));
        std::stable_sort(items.begin(), items.end(),
                         [this](QTreeWidgetItem* a, QTreeWidgetItem* b) { return ListView1Compare(a, b) < 0; });
        for (QTreeWidgetItem* item : items) ListView1->addTopLevelItem(item);
        if (current != nullptr) ListView1->setCurrentItem(current);
    }
    selectEvents_ = events;
}

void TFrmDetails::ListView1ColumnClick(int column) {
    if (column < 0 || column >= details::ColumnCount) return;
    if (column == sortColumn_) {
        sortAscending_ = !sortAscending_;
    } else {
        sortColumn_ = column;
        sortAscending_ = true;
    }
    Sort();
}

void TFrmDetails::ListView1Change() {
    const bool any = !TickedRows().empty();
    for (QWidget* w : std::initializer_list<QWidget*>{BtnDelIn, BtnDelDel, BtnRestoreDel, BtnSuspend, BtnUnSuspend,
                                                      BtnDelOut, ComboBox1, BtnSpamDel, BtnSpamOK})
        w->setEnabled(any);
    const bool users = any && ComboBox1->count() > 0;
    BtnMove->setEnabled(users);
    BtnCopy->setEnabled(users);
}

void TFrmDetails::ListView1SelectItem() {
    if (!selectEvents_) return;
    QTreeWidgetItem* item = ListView1->currentItem();
    PreviewMessage(item != nullptr ? S(item->text(details::ColFilename)) : std::string());
}

void TFrmDetails::AllNone(bool all) {
    {
        QSignalBlocker block(ListView1);
        for (int i = 0; i < ListView1->topLevelItemCount(); ++i)
            ListView1->topLevelItem(i)->setCheckState(details::ColReceived, all ? Qt::Checked : Qt::Unchecked);
    }
    ListView1Change();
}

int TFrmDetails::RowCount() const { return ListView1->topLevelItemCount(); }

QTreeWidgetItem* TFrmDetails::Row(int index) const { return ListView1->topLevelItem(index); }

std::string TFrmDetails::RowPath(int index) const {
    QTreeWidgetItem* item = Row(index);
    return item ? S(item->text(details::ColFilename)) : std::string();
}

bool TFrmDetails::RowTicked(int index) const {
    QTreeWidgetItem* item = Row(index);
    return item && item->checkState(details::ColReceived) == Qt::Checked;
}

void TFrmDetails::SetRowTicked(int index, bool ticked) {
    if (QTreeWidgetItem* item = Row(index))
        item->setCheckState(details::ColReceived, ticked ? Qt::Checked : Qt::Unchecked);
}

int TFrmDetails::RowImage(int index) const {
    QTreeWidgetItem* item = Row(index);
    return item ? item->data(details::ColReceived, RoleImage).toInt() : -1;
}

int TFrmDetails::FindRow(const std::string& path) const {
    for (int i = 0; i < RowCount(); ++i)
        if (RowPath(i) == path) return i;
    return -1;
}

std::vector<QTreeWidgetItem*> TFrmDetails::TickedRows() const {
    std::vector<QTreeWidgetItem*> rows;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (item->checkState(details::ColReceived) == Qt::Checked) rows.push_back(item);
    }
    return rows;
}

void TFrmDetails::RemoveRow(QTreeWidgetItem* item) { delete item; }

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------

void TFrmDetails::ShowPreviewPanel(bool show) {
    PanelPreview->setVisible(show);
    Splitter1->handle(1)->setVisible(show);
}

void TFrmDetails::FormCanResize(int oldHeight, int newHeight, int previewHeight) {
    if (oldHeight <= 0 || newHeight <= 0 || !PanelPreview->isVisibleTo(this)) return;
    const QList<int> sizes = Splitter1->sizes();
    if (sizes.size() != 2) return;
    const long long preview = static_cast<long long>(previewHeight) * newHeight / oldHeight;
    if (preview <= 20) return;
    const int total = sizes[0] + sizes[1];
    if (preview >= total) return;
    Splitter1->setSizes({total - static_cast<int>(preview), static_cast<int>(preview)});
}

bool TFrmDetails::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Splitter1 && event->type() == QEvent::Resize) {
        // The splitter shares out the new height its own way first; the
        // preview then gets back its share of the old height.
        auto* resize = static_cast<QResizeEvent*>(event);
        const QList<int> before = Splitter1->sizes();
        static_cast<QObject*>(Splitter1)->event(event);
        if (before.size() == 2) FormCanResize(resize->oldSize().height(), resize->size().height(), before[1]);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
