// Message browser: looks into one folder of the mail store at a time (a
// user's mailbox, the outgoing queue, deleted spam, possible or probable
// spam), previews the selected message and acts on the ticked ones. There
// is no cache: every opening lists the folder afresh from the files.
//
// Entry points for other windows (each shows the window modally and
// refreshes the mailbox counts after it closes):
//   FrmDetails->ShowInbox(user);        main window's mailbox list
//   FrmDetails->ShowOutbox();           main window's outbox counter
//   FrmDetails->ShowDeletedSpam();      deleted spam
//   FrmDetails->ShowSpam(true/false);   possible / probable spam counters
#pragma once

#include <QDialog>
#include <QTextBrowser>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace details {

// List modes: which folder the browser shows.
enum ListMode { ModeNone = 0, ModeInbox = 1, ModeOutbox = 2, ModeDeleted = 3, ModePossible = 4, ModeProbable = 5 };

// Columns of the message list; Filename is hidden and holds the full path.
enum ListColumn { ColReceived = 0, ColSize, ColFrom, ColTo, ColSubject, ColFilename, ColumnCount };

// Deletes every *.dat file of folderPath whose date is at or before now
// minus days (0 days: every file dated up to now). Returns how many went.
int PurgeOldFiles(const std::string& folderPath, int days);

// A file's date as the list shows it: "dd mmm hh:mm", local time.
std::string FileDateText(std::chrono::system_clock::time_point time);

// The name a mailbox file gets when it moves to another user: the user's
// name in front of everything from the first "_" of the file name on.
std::string RenameForUser(const std::string& fileName, const std::string& user);

// The queue id of an outbox file name: the name without its extension.
std::string QueueIdOfFile(const std::string& fileName);

// Places a copy of source in folderPath (with trailing "/") under fileName,
// with the source's date. The copy is on disk whole before it appears
// under its name, and it never replaces a file: when the name is taken,
// with uniqueName the stamp gets a suffix digit as every new store file
// does, without it nothing is written. Returns the path written; empty
// when the name was taken (without uniqueName) or the copy failed, which
// failed then tells apart.
std::string CopyMessageFile(const std::string& source, const std::string& folderPath,
                            const std::string& fileName, bool uniqueName, bool* failed = nullptr);

// Moves source to folderPath + fileName (or a unique variant, as above):
// the new file is complete on disk before the old one goes. Returns the
// new path, or empty text when nothing was moved (the source then stays).
std::string MoveMessageFile(const std::string& source, const std::string& folderPath,
                            const std::string& fileName);

// Renames a file without ever replacing another; false when target exists
// or the rename fails.
bool RenameNoReplace(const std::string& from, const std::string& to);

// The HTML of a message made safe to show: script elements (with their
// content) removed. The view itself never loads pictures or other resources.
std::string SafeHtml(const std::string& html);

}  // namespace details

// The read-only HTML view of the preview. It loads no resource of any kind
// (pictures, style sheets), from the network or the disk, and follows no
// link itself: a click goes to the owner.
class TMessageViewer : public QTextBrowser {
    Q_OBJECT
public:
    explicit TMessageViewer(QWidget* parent = nullptr);
    // How many resources the shown documents asked for (all refused).
    int RefusedResources() const { return refused_; }

protected:
    QVariant loadResource(int type, const QUrl& name) override;

private:
    int refused_ = 0;
};

class TFrmDetails : public QDialog {
    Q_OBJECT
public:
    explicit TFrmDetails(QWidget* parent = nullptr);
    ~TFrmDetails() override;

    // --- Entry points --------------------------------------------------
    void ShowInbox(const std::string& user);
    void ShowOutbox();
    void ShowDeletedSpam();
    void ShowSpam(bool possible);

    // Creation at start: purges web mail copies older than their retention.
    void FormCreate();

    // --- The list ------------------------------------------------------
    void FillMessageList(int mode, const std::string& user = std::string());
    // <0, 0, >0 as row a sorts before, with or after row b.
    int ListView1Compare(QTreeWidgetItem* a, QTreeWidgetItem* b) const;
    void ListView1ColumnClick(int column);
    void ListView1Change();
    void ListView1SelectItem();
    void AllNone(bool all);
    void Sort();

    // --- Actions ---------------------------------------------------------
    void InMailBtns(QObject* Sender);
    void OutMailBtns(QObject* Sender);
    void SpamBtns(QObject* Sender);
    void DelTimerTimer();

    // --- Preview ---------------------------------------------------------
    void PreviewMessage(const std::string& path);
    // A link was clicked in the HTML view; handled is always set, so the
    // view never follows a link itself.
    void ViewerHotSpotClick(const std::string& url, bool& handled);

    // Keeps the preview's share of the height when the window is resized:
    // the preview, previewHeight high at oldHeight, gets its share of
    // newHeight unless that is 20 pixels or less.
    void FormCanResize(int oldHeight, int newHeight, int previewHeight);

    // --- State the tests and callers read --------------------------------
    int Mode() const { return mode_; }
    const std::string& User() const { return user_; }
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return sortAscending_; }
    std::string ActivePage() const;
    int RowCount() const;
    QTreeWidgetItem* Row(int index) const;
    std::string RowPath(int index) const;
    bool RowTicked(int index) const;
    void SetRowTicked(int index, bool ticked);
    int RowImage(int index) const;
    // Index of the row that shows path; -1 when none.
    int FindRow(const std::string& path) const;

    // Tests stand in for the person while the window is shown modally.
    static std::function<void(TFrmDetails&)> ExecForTesting;

    // --- Components --------------------------------------------------------
    QTreeWidget* ListView1;
    QSplitter* Splitter1;
    QStackedWidget* Notebook1;
    QWidget *PageInBox, *PageOutBox, *PageDeleted, *PageSpam;
    QLabel* LblActions;
    QPushButton* BtnClose;
    // "InBox"
    QPushButton *BtnMove, *BtnCopy, *BtnDelIn;
    QComboBox* ComboBox1;
    // "OutBox"
    QPushButton *BtnDelOut, *BtnSuspend, *BtnUnSuspend;
    // "Deleted"
    QPushButton *BtnDelDel, *BtnRestoreDel;
    // "Spam"
    QPushButton *BtnPossible, *BtnProbable, *BtnSpamDel, *BtnSpamOK;
    QCheckBox* CHBSpamAddAddress;
    // Preview
    QWidget* PanelPreview;
    QTabWidget* PageControl1;
    TMessageViewer* Viewer;
    QPlainTextEdit *Memo1, *MemHeaders, *Memo2;
    QLabel *LblSubj, *LblFrom;
    QTimer* DelTimer;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ShowModal();
    void AddRow(const std::string& path);
    void RemoveRow(QTreeWidgetItem* item);
    std::vector<QTreeWidgetItem*> TickedRows() const;
    void SetRowImage(QTreeWidgetItem* item, int image);
    void ClearPreview();
    void ShowPreviewPanel(bool show);

    int mode_ = details::ModeNone;
    std::string user_;
    int sortColumn_ = details::ColReceived;
    bool sortAscending_ = false;
    bool selectEvents_ = true;
};

extern TFrmDetails* FrmDetails;
