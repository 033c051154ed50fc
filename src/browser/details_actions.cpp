// Message browser: what the buttons do to the ticked messages. A message
// that changes place is always on disk whole under its new name before the
// old file goes, and no file ever replaces another one.
#include "browser/details.h"
#include "browser/details_internal.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTreeWidget>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "filters/spam.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "transport/store.h"

using namespace details::internal;

namespace {

std::string PathOf(QTreeWidgetItem* item) { return S(item->text(details::ColFilename)); }

bool ExtensionIs(const std::string& path, const std::string& extension) {
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < path.find_last_of('/') + 1) return false;
    return QString::fromStdString(path.substr(dot)).compare(Q(extension), Qt::CaseInsensitive) == 0;
}

std::string ChangeExtension(const std::string& path, const std::string& extension) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + extension;
    return path.substr(0, dot) + extension;
}

// "user_stamp.dat" as the store's writers take it: prefix "user_", stamp,
// suffix ".dat". A name without "_" has an empty prefix.
void SplitStoreName(const std::string& fileName, std::string& prefix, std::string& stamp, std::string& suffix) {
    std::size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos) dot = fileName.size();
    const std::size_t underscore = fileName.find('_');
    const std::size_t stampStart = (underscore != std::string::npos && underscore < dot) ? underscore + 1 : 0;
    prefix = fileName.substr(0, stampStart);
    stamp = fileName.substr(stampStart, dot - stampStart);
    suffix = fileName.substr(dot);
}

bool RemoveFile(const std::string& path) { return std::remove(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace

// ---------------------------------------------------------------------------
// File operations
// ---------------------------------------------------------------------------

namespace details {

std::string CopyMessageFile(const std::string& source, const std::string& folderPath,
                            const std::string& fileName, bool uniqueName, bool* failed) {
    if (failed != nullptr) *failed = false;
    auto fail = [failed] {
        if (failed != nullptr) *failed = true;
        return std::string();
    };
    if (!uniqueName && platform::FileExists(folderPath + fileName)) return std::string();
    std::chrono::system_clock::time_point date;
    std::string content;
    if (!platform::GetFileTime(source, date) || !platform::ReadFile(source, content)) return fail();
    std::string prefix, stamp, suffix;
    SplitStoreName(fileName, prefix, stamp, suffix);
    const std::string written = smtp::WriteNewFile(folderPath, prefix, stamp, suffix, content);
    if (written.empty()) return fail();
    // Lists sort by the file date: a copy keeps the date of its source.
    platform::SetFileTime(written, date);
    return written;
}

std::string MoveMessageFile(const std::string& source, const std::string& folderPath,
                            const std::string& fileName) {
    bool failed = false;
    const std::string written = CopyMessageFile(source, folderPath, fileName, true, &failed);
    if (written.empty()) return std::string();
    if (std::remove(source.c_str()) != 0) {
        // Two copies would mean the message is delivered twice.
        std::remove(written.c_str());
        return std::string();
    }
    return written;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

}  // namespace details

// ---------------------------------------------------------------------------
// Mailbox and deleted-spam buttons
// ---------------------------------------------------------------------------

void TFrmDetails::InMailBtns(QObject* Sender) {
    if (Sender == BtnDelIn || Sender == BtnDelDel) {
        if (platform::MessageBox("All ticked emails will be deleted, are you sure?", platform::MsgKind::Warning,
                                 platform::MsgButtons::YesNo, this) != platform::MsgResult::Yes)
            return;
    }
    const std::string target = S(ComboBox1->currentText());
    const bool keepDeleted = Sender == BtnDelIn && DeletedDaysSetting() > 0;

    for (QTreeWidgetItem* item : TickedRows()) {
        const std::string path = PathOf(item);
        const std::string name = FileNameOf(path);
        const std::string folder = FolderOf(path);

        if (Sender == BtnMove) {
            if (target.empty()) break;
            if (details::MoveMessageFile(path, folder, details::RenameForUser(name, target)).empty()) {
                platform::MessageBox("There was a problem moving that email - couldn't gain exclusive access.",
                                     platform::MsgKind::Error, platform::MsgButtons::Ok, this);
                continue;
            }
            RemoveRow(item);
        } else if (Sender == BtnCopy) {
            if (target.empty()) break;
            bool failed = false;
            details::CopyMessageFile(path, folder, details::RenameForUser(name, target), false, &failed);
            if (!failed) item->setCheckState(details::ColReceived, Qt::Unchecked);
        } else if (Sender == BtnDelIn) {
            if (keepDeleted && platform::FileExists(path)) {
                bool failed = false;
                details::CopyMessageFile(path, smtp::StoreFolder(smtp::FolderWebDeleted), name, true, &failed);
                // Without its kept copy the message stays where it is.
                if (failed) continue;
            }
            if (RemoveFile(path)) RemoveRow(item);
        } else if (Sender == BtnRestoreDel) {
            bool failed = false;
            if (platform::FileExists(path)) {
                const std::string restored =
                    details::CopyMessageFile(path, smtp::StoreFolder(smtp::FolderIn), name, false, &failed);
                if (!restored.empty()) RemoveFile(path);
            }
            if (!failed) RemoveRow(item);
        } else if (Sender == BtnDelDel) {
            if (RemoveFile(path)) RemoveRow(item);
        }
    }
    for (QWidget* w : std::initializer_list<QWidget*>{BtnCopy, BtnMove, BtnDelIn, ComboBox1}) w->setEnabled(false);
}

// ---------------------------------------------------------------------------
// Outbox buttons
// ---------------------------------------------------------------------------

void TFrmDetails::OutMailBtns(QObject* Sender) {
    if (Sender == BtnDelOut) {
        if (platform::MessageBox("All ticked emails will be permanently deleted, are you sure?",
                                 platform::MsgKind::Warning, platform::MsgButtons::YesNo,
                                 this) != platform::MsgResult::Yes)
            return;
        for (QTreeWidgetItem* item : TickedRows()) {
            const std::string path = PathOf(item);
            if (!RemoveFile(path)) continue;
            // Its queue record goes too, so nothing of it is ever sent.
            smtp::WritePortsValue(details::QueueIdOfFile(FileNameOf(path)), std::nullopt);
            RemoveRow(item);
        }
        for (QWidget* w : std::initializer_list<QWidget*>{BtnDelOut, BtnSuspend, BtnUnSuspend}) w->setEnabled(false);
        return;
    }

    // Only a queued message is suspended and only a suspended one is queued
    // again: a message still arriving (.txo) or already sent (.txs) keeps
    // its state, or it would be cut short or sent twice.
    const bool suspend = Sender == BtnSuspend;
    if (!suspend && Sender != BtnUnSuspend) return;
    const std::string from = suspend ? smtp::StateQueued : smtp::StateSuspended;
    const std::string to = suspend ? smtp::StateSuspended : smtp::StateQueued;
    for (QTreeWidgetItem* item : TickedRows()) {
        const std::string path = PathOf(item);
        if (!ExtensionIs(path, from)) continue;
        const std::string renamed = ChangeExtension(path, to);
        if (!details::RenameNoReplace(path, renamed)) continue;
        {
            QSignalBlocker block(ListView1);
            item->setText(details::ColFilename, Q(renamed));
        }
        SetRowImage(item, suspend ? 1 : 0);
    }
}

// ---------------------------------------------------------------------------
// Spam buttons
// ---------------------------------------------------------------------------

void TFrmDetails::SpamBtns(QObject* Sender) {
    if (Sender == BtnPossible) {
        FillMessageList(details::ModePossible);
        return;
    }
    if (Sender == BtnProbable) {
        FillMessageList(details::ModeProbable);
        return;
    }
    if (Sender == BtnSpamOK) {
        const bool addAddress = CHBSpamAddAddress->isChecked();
        const std::string question =
            addAddress ? "All ticked emails will be restored and the sender's email address(es) considered safe "
                         "from now on."
                       : "All ticked emails will be restored.";
        if (platform::MessageBox(question, platform::MsgKind::Confirmation, platform::MsgButtons::OkCancel,
                                 this) != platform::MsgResult::Ok)
            return;
        for (QTreeWidgetItem* item : TickedRows()) {
            const std::string from = S(item->text(details::ColFrom));
            // A message that could not be released stays held and listed.
            if (!spam::ReleaseSpam(PathOf(item))) continue;
            if (addAddress) spam::AddSpamAddress(spam::SafeSender, from);
            RemoveRow(item);
        }
        return;
    }
    if (Sender == BtnSpamDel) {
        for (QTreeWidgetItem* item : TickedRows()) {
            const std::string path = PathOf(item);
            if (platform::FileExists(path)) {
                bool failed = false;
                details::CopyMessageFile(path, smtp::StoreFolder(smtp::FolderDeleted), FileNameOf(path), true,
                                         &failed);
                if (failed || !RemoveFile(path)) continue;
                spam::IncSpamStat("SpamDeleted");
            }
            RemoveRow(item);
        }
    }
}
