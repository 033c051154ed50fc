// Forwarding of delivered mail to another local user or an outside address,
// from the rows of forward.dat (tables::Forwards(): User, IsLocal,
// ForwardTo, Copy), and the dialog that edits one row.
//
// Entry points:
//   forward::ForwardMessage(user, msgFile)
//       last step of the delivery chain for a message filed in user's
//       inbox (SMTP local delivery, fetched mail that is not spam, release
//       of held spam): it may delete msgFile.
//   forward::EditForward(user, forwardTo, copy, isLocal)
//       settings window, Add/Edit of the "Forwarding" page (also registered
//       as setup::hooks.editForward while the forwarding window exists).
//   forward::QueueMessage(...)
//       a new message in the outgoing queue with its queue record; the
//       auto-responder queues its replies through it too.
//
// The user's own copy is removed only when every forwarded copy is on disk.
#pragma once

#include <QDialog>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace forward {

// Copies msgFile to every forward target of user: local targets get their
// own mailbox file, outside targets share one queued copy and one queue
// record (To1, To2, ...). Returns the number of copies made.
int ForwardMessage(const std::string& user, const std::string& msgFile);

// Envelope sender of an outside forward: [Forward] MailFrom when
// UseMailFrom is on and it is not empty, else the message's From address.
std::string GetForwardSender(const std::string& msgFile);

// "<" and ">" around the address unless it has them; "" gives "<>".
std::string EnsureAngleBrackets(const std::string& address);

// Queues content under an id made unique from stamp, with a queue record of
// the recipients (Rcpt, To1..) and the envelope sender (From). The file gets
// the date given, when one is. The message appears as out/<id>.txt only once
// its file and record are complete. Returns the id, empty on failure.
std::string QueueMessage(const std::string& stamp, const std::string& content,
                         const std::vector<std::string>& recipients, const std::string& from,
                         std::optional<std::chrono::system_clock::time_point> date = std::nullopt);

// The forwarding dialog: the arguments in and out, true on OK. Local user
// names come from the settings window.
bool EditForward(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal);

// The Copy field as forwarding reads it: "Y..", "T.." and "1" keep a copy,
// "N..", "F.." and "0" do not; anything else keeps one.
bool ReadsAsCopy(const std::string& text);

}  // namespace forward

class TFrmForward : public QDialog {
    Q_OBJECT
public:
    explicit TFrmForward(QWidget* parent = nullptr);
    ~TFrmForward() override;

    void Fill(const std::string& user, const std::string& forwardTo, bool copy, bool isLocal);
    void ReadBack(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal) const;

    QComboBox* CBXUser;
    QRadioButton* RBTLocal;
    QComboBox* CBXLocal;
    QRadioButton* RBTExternal;
    QLineEdit* EditExternal;
    QCheckBox* CHBCopy;
    QPushButton *BtnOK, *BtnCancel, *BtnHelp;

    // Shows the dialog modally; true on OK (tests script it instead).
    bool Execute();
    static std::function<bool(TFrmForward&)> ExecForTesting;

public slots:
    void CBXUserChange();
    void BtnHelpClick();

    // F1 (key code 112) opens the help topic.
    void FormKeyDown(int key);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

extern TFrmForward* FrmForward;
