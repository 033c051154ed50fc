// Forwarding of delivered mail to another local user or an outside address,
// from the rows of forward.dat (tables::Forwards(): User, IsLocal,
// ForwardTo, Copy).
//
// Entry points:
//   forward::ForwardMessage(user, msgFile)
//       last step of the delivery chain for a message filed in user's
//       inbox (SMTP local delivery, fetched mail that is not spam, release
//       of held spam): it may delete msgFile.
//   forward::EditForward(user, forwardTo, copy, isLocal)
//       settings window, Add/Edit of the "Forwarding" page (also registered
//       as setup::hooks.editForward while the forwarding window exists);
//       the dialog is in filters/windows/forward_window.h.
//   forward::QueueMessage(...)
//       a new message in the outgoing queue with its queue record; the
//       auto-responder queues its replies through it too.
//
// The user's own copy is removed only when every forwarded copy is on disk.
// Automatic mail is never forwarded: a delivery report of a forward that
// failed outside would be forwarded to the same dead address, its report
// come back, and so on without end.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>


namespace forward {

// Copies msgFile to every forward target of user: local targets get their
// own mailbox file, outside targets share one queued copy and one queue
// record (To1, To2, ...). Automatic mail (holiday::IsAutomaticMessage;
// envelopeSender as there) is not forwarded and stays in user's mailbox.
// Returns the number of copies made.
int ForwardMessage(const std::string& user, const std::string& msgFile,
                   const std::optional<std::string>& envelopeSender = std::nullopt);

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

// The Copy field as forwarding reads it: "Y..", "T.." and "1" keep a copy,
// "N..", "F.." and "0" do not; anything else keeps one.
bool ReadsAsCopy(const std::string& text);

}  // namespace forward
