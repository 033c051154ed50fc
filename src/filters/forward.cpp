// Forwarding of delivered mail: copies into other mailboxes and the
// outgoing queue, and the forwarding dialog.
#include "filters/forward.h"

#include "filters/holiday.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/setup.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "shell/main.h"
#include "transport/mail_settings.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cctype>
#include <cstdio>
#include <functional>

TFrmForward* FrmForward = nullptr;
std::function<bool(TFrmForward&)> TFrmForward::ExecForTesting;

namespace forward {

namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsLocalUser(const std::string& name) {
    for (const auto& user : tables::UserNames())
        if (Lower(user) == Lower(name)) return true;
    return false;
}

struct Target {
    bool isLocal;
    std::string to;
    bool copy;
};

}  // namespace

std::string EnsureAngleBrackets(const std::string& address) {
    std::string out = address;
    if (out.empty() || out.front() != '<') out.insert(0, "<");
    if (out.size() < 2 || out.back() != '>') out += ">";
    return out;
}

bool ReadsAsCopy(const std::string& text) {
    if (text.empty()) return true;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (c == 'N' || c == 'F' || text == "0") return false;
    return true;
}

std::string GetForwardSender(const std::string& msgFile) {
    const auto mail = mailsettings::Current();
    if (mail->forwardUseMailFrom && !mail->forwardMailFrom.empty()) return mail->forwardMailFrom;
    return holiday::GetHeaderValue(msgFile, "from:", true);
}

namespace {

// QueueMessage with the file made by write (given the name to write).
std::string QueueWritten(const std::string& stamp, const std::function<bool(const std::string&)>& write,
                         const std::vector<std::string>& recipients, const std::string& from,
                         std::optional<std::chrono::system_clock::time_point> date) {
    // The file is built in the receiving state, which no relay run picks
    // up, and becomes .txt only when file and record are both complete.
    const std::string id = smtp::CreateQueueFile(stamp, smtp::StateReceiving);
    if (id.empty()) return "";
    const std::string folder = smtp::StoreFolder(smtp::FolderOut);
    const std::string building = folder + id + smtp::StateReceiving;
    const std::string queued = folder + id + smtp::StateQueued;
    bool ok = write(building);
    if (ok && date) platform::SetFileTime(building, *date);
    ok = ok && smtp::WritePortsValue(id, std::string("Rcpt"), std::to_string(recipients.size()));
    for (std::size_t i = 0; ok && i < recipients.size(); ++i)
        ok = smtp::WritePortsValue(id, "To" + std::to_string(i + 1), recipients[i]);
    ok = ok && smtp::WritePortsValue(id, std::string("From"), from);
    ok = ok && platform::Env::Current()->Rename(building, queued).ok();
    if (ok) {
        platform::SyncPath(folder);
        return id;
    }
    platform::Env::Current()->Unlink(building);
    smtp::WritePortsValue(id, std::nullopt);
    return "";
}

}  // namespace

std::string QueueMessage(const std::string& stamp, const std::string& content,
                         const std::vector<std::string>& recipients, const std::string& from,
                         std::optional<std::chrono::system_clock::time_point> date) {
    return QueueWritten(
        stamp, [&](const std::string& building) { return platform::WriteFileAtomic(building, content); },
        recipients, from, date);
}

int ForwardMessage(const std::string& user, const std::string& msgFile) {
    TvdlMemTable& table = tables::Forwards().Table();
    if (!table.Active()) return 0;
    std::vector<Target> targets;
    tablefiles::ForEach(table, [&] {
        if (Lower(table.FieldByName("User").AsString()) != Lower(user)) return;
        targets.push_back({table.FieldByName("IsLocal").AsBoolean(), table.FieldByName("ForwardTo").AsString(),
                           ReadsAsCopy(table.FieldByName("Copy").AsString())});
    });
    if (targets.empty()) return 0;

    // The message is copied by streaming, never held whole: it may be large.
    if (!platform::FileExists(msgFile)) return 0;
    std::optional<std::chrono::system_clock::time_point> date;
    std::chrono::system_clock::time_point mtime;
    if (platform::GetFileTime(msgFile, mtime)) date = mtime;

    const std::string stamp = smtp::DateTimeStamp();
    bool dropOriginal = false, allCopied = true;
    int copies = 0;
    std::vector<std::string> external;
    for (const auto& target : targets) {
        if (!target.copy) dropOriginal = true;
        if (!target.isLocal) {
            external.push_back(EnsureAngleBrackets(target.to));
            continue;
        }
        if (!settings::IsSafeUserName(target.to)) {
            tablefiles::LogLine("Forward: " + target.to + " cannot name a mailbox; " + user + "'s message kept");
            allCopied = false;
            continue;
        }
        const std::string path = smtp::CopyToNewFile(msgFile, smtp::StoreFolder(smtp::FolderIn), target.to + "_",
                                                     stamp, smtp::MailboxSuffix);
        if (path.empty()) {
            tablefiles::LogLine("Forward: cannot write the copy for " + target.to);
            allCopied = false;
            continue;
        }
        if (date) platform::SetFileTime(path, *date);
        ++copies;
        // A copy for a name that is no mailbox would be read by nobody.
        if (!IsLocalUser(target.to)) {
            tablefiles::LogLine("Forward: " + target.to + " is not a local user; " + user + "'s message kept");
            allCopied = false;
        }
    }
    if (!external.empty()) {
        const std::string from = EnsureAngleBrackets(GetForwardSender(msgFile));
        const auto copy = [&](const std::string& building) {
            return platform::FileExists(msgFile) && smtp::CopyFileKeepDate(msgFile, building);
        };
        if (!QueueWritten(stamp, copy, external, from, date).empty()) {
            ++copies;
        } else {
            tablefiles::LogLine("Forward: cannot queue " + user + "'s message for outside addresses");
            allCopied = false;
        }
    }
    if (dropOriginal && allCopied) platform::Env::Current()->Unlink(msgFile);
    return copies;
}

bool EditForward(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal) {
    if (FrmForward == nullptr) return false;
    FrmForward->Fill(user, forwardTo, copy, isLocal);
    if (!FrmForward->Execute()) return false;
    FrmForward->ReadBack(user, forwardTo, copy, isLocal);
    return true;
}

}  // namespace forward

TFrmForward::TFrmForward(QWidget* parent) : QDialog(parent) {
    setWindowTitle("New Forward...");
    CBXUser = new QComboBox(this);
    CBXUser->setObjectName("CBXUser");
    RBTLocal = new QRadioButton("Local user:", this);
    RBTLocal->setObjectName("RBTLocal");
    CBXLocal = new QComboBox(this);
    CBXLocal->setObjectName("CBXLocal");
    RBTExternal = new QRadioButton("External address:", this);
    RBTExternal->setObjectName("RBTExternal");
    EditExternal = new QLineEdit(this);
    EditExternal->setObjectName("EditExternal");
    CHBCopy = new QCheckBox("Keep a copy of message in user's inbox", this);
    CHBCopy->setObjectName("CHBCopy");
    BtnOK = new QPushButton("OK", this);
    BtnOK->setObjectName("BtnOK");
    BtnOK->setDefault(true);
    BtnCancel = new QPushButton("Cancel", this);
    BtnCancel->setObjectName("BtnCancel");
    BtnHelp = new QPushButton("Help", this);
    BtnHelp->setObjectName("BtnHelp");

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Incoming mail to:", this), 0, 0);
    grid->addWidget(CBXUser, 0, 1);
    grid->addWidget(RBTLocal, 1, 0);
    grid->addWidget(CBXLocal, 1, 1);
    grid->addWidget(RBTExternal, 2, 0);
    grid->addWidget(EditExternal, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    buttons->addWidget(BtnHelp);
    auto* all = new QVBoxLayout(this);
    all->addLayout(grid);
    all->addWidget(CHBCopy);
    all->addLayout(buttons);

    connect(CBXUser, &QComboBox::currentIndexChanged, this, &TFrmForward::CBXUserChange);
    connect(CBXLocal, &QComboBox::currentIndexChanged, this, &TFrmForward::CBXUserChange);
    connect(EditExternal, &QLineEdit::textChanged, this, &TFrmForward::CBXUserChange);
    connect(RBTLocal, &QRadioButton::toggled, this, &TFrmForward::CBXUserChange);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(BtnHelp, &QPushButton::clicked, this, &TFrmForward::BtnHelpClick);

    setup::hooks.editForward = forward::EditForward;
}

TFrmForward::~TFrmForward() { setup::hooks.editForward = nullptr; }

bool TFrmForward::Execute() { return ExecForTesting ? ExecForTesting(*this) : exec() == QDialog::Accepted; }

void TFrmForward::Fill(const std::string& user, const std::string& forwardTo, bool copy, bool isLocal) {
    CBXUser->clear();
    CBXLocal->clear();
    for (const auto& name : tables::UserNames()) {
        CBXUser->addItem(QString::fromStdString(name));
        CBXLocal->addItem(QString::fromStdString(name));
    }
    CBXUser->setCurrentIndex(CBXUser->findText(QString::fromStdString(user)));
    RBTLocal->setChecked(isLocal);
    RBTExternal->setChecked(!isLocal);
    EditExternal->clear();
    CBXLocal->setCurrentIndex(-1);
    if (isLocal) CBXLocal->setCurrentIndex(CBXLocal->findText(QString::fromStdString(forwardTo)));
    else EditExternal->setText(QString::fromStdString(forwardTo));
    CHBCopy->setChecked(copy);
    CBXUserChange();
}

void TFrmForward::ReadBack(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal) const {
    user = CBXUser->currentText().toStdString();
    isLocal = RBTLocal->isChecked();
    forwardTo = isLocal ? CBXLocal->currentText().toStdString() : EditExternal->text().toStdString();
    copy = CHBCopy->isChecked();
}

void TFrmForward::CBXUserChange() {
    const bool userChosen = CBXUser->currentIndex() >= 0;
    const bool targetChosen =
        RBTExternal->isChecked() ? !EditExternal->text().isEmpty() : CBXLocal->currentIndex() >= 0;
    BtnOK->setEnabled(userChosen && targetChosen);
    CHBCopy->setText(userChosen ? "Keep a copy of message in " + CBXUser->currentText() + "'s inbox"
                                : QString("Keep a copy of message in user's inbox"));
}

void TFrmForward::BtnHelpClick() { TFrmMain::ShowHelpTopic("forward.htm"); }

void TFrmForward::FormKeyDown(int key) {
    if (key == 112) BtnHelpClick();
}

void TFrmForward::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        FormKeyDown(112);
        return;
    }
    QDialog::keyPressEvent(event);
}
