// Relay client: delivers the outgoing queue through the provider's SMTP
// server, one message after another on one connection, keeping the
// per-recipient bookkeeping in each message's queue record. The end of the
// run hands failed messages to the failure notices and closes the cycle.
#include "transport/smtp.h"

#include "codecs/auth.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/events.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/folder_index.h"
#include "transport/mail_settings.h"
#include "transport/ports_file.h"
#include "transport/servers.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

platform::Env& Fs() { return *platform::Env::Current(); }

constexpr size_t kMaxReply = 64 * 1024;
// Of a reply, smtp.log keeps this much: a reply may be 64 KB, and a run
// reads several per message.
constexpr size_t kMaxLoggedReply = 1000;

// The status line after a run that left mail unsent begins so; the reason
// follows, as smtp.log has it.
constexpr char kMailNotSent[] = "Mail not sent: ";

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

int Number(const std::string& text, int def = 0) {
    if (text.empty() || text.size() > 9) return def;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return def;
        v = v * 10 + (c - '0');
    }
    return v;
}

// One pair of angle brackets around the bare address; strict servers want
// nothing else after the colon.
std::string Bracketed(const std::string& address) {
    std::string bracketed(1, '<');
    bracketed += smtp::StripAngleBrackets(smtp::TrimBlanks(address));
    bracketed += '>';
    return bracketed;
}

// Why a run ends when the provider's replies no longer match the commands.
std::string OutOfStep(const std::string& what) { return "Out of step with the server: " + what; }

// The mechanisms of an EHLO reply's AUTH line.
std::vector<std::string> AuthMechanisms(const std::string& reply) {
    std::vector<std::string> mechanisms;
    size_t pos = 0;
    while (pos < reply.size()) {
        size_t lf = reply.find('\n', pos);
        std::string line = Upper(smtp::Chomp(reply.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos)));
        pos = lf == std::string::npos ? reply.size() : lf + 1;
        if (line.size() < 4) continue;
        std::string text = smtp::TrimBlanks(line.substr(4));
        if (text.rfind("AUTH", 0) != 0 || text.size() < 5 || (text[4] != ' ' && text[4] != '=')) continue;
        std::string rest = text.substr(5);
        size_t start = 0;
        while (start < rest.size()) {
            size_t end = rest.find(' ', start);
            std::string word = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!word.empty()) mechanisms.push_back(word);
            start = end == std::string::npos ? rest.size() : end + 1;
        }
    }
    return mechanisms;
}

void MarkDeliveryFailed() {
    events::Get().LabelLook(events::Label::LastDelivery, events::Look::Failed);
    smtp::SetTrayIcon(events::kTrayFailed);
}

void SetDeliveryLabel(const std::string& text, bool red) {
    events::Get().LabelText(events::Label::LastDelivery, text);
    if (red) MarkDeliveryFailed();
}

}  // namespace

namespace smtp {

bool ReplyAssembler::Add(const std::string& data) {
    pending_ += data;
    for (;;) {
        size_t lf = pending_.find('\n');
        if (lf == std::string::npos) break;
        std::string line = pending_.substr(0, lf + 1);
        pending_.erase(0, lf + 1);
        current_ += line;
        // "250-..." lines continue the reply; anything else ends it.
        if (line.size() < 4 || line[3] != '-' || current_.size() > kMaxReply) {
            ready_.push_back(current_);
            current_.clear();
        }
    }
    if (pending_.size() > kMaxReply) {
        ready_.push_back(current_ + pending_);
        current_.clear();
        pending_.clear();
    }
    return !ready_.empty();
}

char ReplyVerdict(const std::string& reply) {
    if (reply.empty()) return kUnclearReply;
    const std::string_view whole(reply);
    const std::string_view code = whole.substr(0, 3);
    std::string_view last;
    for (size_t pos = 0; pos < whole.size();) {
        const size_t lf = whole.find('\n', pos);
        const size_t end = lf == std::string::npos ? whole.size() : lf + 1;
        last = whole.substr(pos, end - pos);
        pos = end;
        if (last.substr(0, 3) != code) return kUnclearReply;
    }
    // A last line that still announces more is a reply cut short.
    if (last.size() >= 4 && last[3] == '-') return kUnclearReply;
    return reply[0];
}

std::string ReplyAssembler::Take() {
    if (ready_.empty()) return std::string();
    std::string reply = ready_.front();
    ready_.erase(ready_.begin());
    return reply;
}

bool ReplyAssembler::Holding() const { return !pending_.empty() || !current_.empty() || !ready_.empty(); }

void ReplyAssembler::Clear() {
    pending_.clear();
    current_.clear();
    ready_.clear();
}

std::string RelayWireText(const std::string& stored) { return WireText(stored); }

}  // namespace smtp

void TFrmSMTP::RelayLog(const std::string& line) { procs::WriteLog(ProgramDir + "smtp.log", line); }

std::string TFrmSMTP::QueueFile(const std::string& ext) const {
    return smtp::StoreFolder(smtp::FolderOut) + CurrentQueueId + ext;
}

std::string TFrmSMTP::NextQueuedFile() {
    // The kept *.txt names of out/: a stat of every queued file per message,
    // or a walk past every .bad file of the run, made the relay slower the
    // longer its queue was.
    const std::string queued = smtp::StateQueued;
    for (const auto& name : smtp::KeptFolder(smtp::FolderOut).NamesWithExt(queued)) {
        std::string stem = name.substr(0, name.size() - queued.size());
        // A bare ".txt" names no message; taken for one, its empty id would
        // have read as an empty queue and ended the run with mail left.
        if (!stem.empty() && !skipped_.count(stem)) return stem;
    }
    return std::string();
}

void TFrmSMTP::PurgeSentMessages() {
    if (smtp::KeptFolder(smtp::FolderOut).CountSuffix(smtp::StateSent).count == 0) return;
    const std::string out = smtp::StoreFolder(smtp::FolderOut);
    for (const auto& name : smtp::ListFiles(out, smtp::StateSent)) {
        std::string stem = name.substr(0, name.size() - 4);
        Fs().Unlink(out + stem + smtp::StateQueued);
        Fs().Unlink(out + name);
    }
}

void TFrmSMTP::MarkMessageFailed(const std::string& file) {
    size_t dot = file.find_last_of('.');
    std::string stem = file.substr(0, dot);
    size_t slash = stem.find_last_of('/');
    std::string id = slash == std::string::npos ? stem : stem.substr(slash + 1);
    if (!Fs().Rename(file, stem + smtp::StateFailed).ok())
        RelayLog("Could not mark " + id + " as failed");
    // Kept with the run's other marks until the run ends: written at once,
    // every refused message of a long queue rewrote and synced the whole of
    // ports.dat. A crash in between costs the message one attempt more
    // before it is suspended.
    smtp::WritePortsValuesLater(id, {{"Goes", std::to_string(Number(smtp::ReadPortsValue(id, "Goes")) + 1)}});
    // Whatever became of the file, it is not tried again in this run.
    skipped_.insert(id);
}

void TFrmSMTP::RelaySend(const std::string& text, const std::string& logLine) {
    SMTPClient.SendText(text);
    RelayLog(logLine);
    ++relaySends_;
    TimeOut->setInterval(ReplyTimeoutMs);
    TimeOut->start();
}

void TFrmSMTP::StartDelivery() {
    if (delivering_) return;
    delivering_ = true;
    skipped_.clear();
    unconfirmed_.clear();
    rsetSent_ = false;
    replies_.Clear();
    SmtpClientState = TRelayState::AwaitGreeting;
    streaming_ = false;
    events::Get().SendReceiveEnabled(false);
    events::Get().Status("SMTP delivery started", true);
    RelayMessageNumber = 1;
    RelaySentBytes = 0;
    const platform::LocalTime now = platform::NowLocal();
    RelayLog(platform::TwoDigits(now.hour) + ":" + platform::TwoDigits(now.minute) + ": Starting SMTP delivery");
    events::Get().LabelText(events::Label::LastDelivery, "Sending...");
    events::Get().LabelLook(events::Label::LastDelivery, events::Look::Busy);
    PurgeSentMessages();

    OutboxTotalBytes = smtp::KeptFolder(smtp::FolderOut).CountSuffix(smtp::StateQueued).bytes;

    CurrentQueueId = NextQueuedFile();
    if (CurrentQueueId.empty()) {
        RelayLog("no mail to deliver");
        EndDeliveryRun();
        return;
    }
    smtp::SetTrayIcon(1);
    if (SMTPClient.Active()) SMTPClient.Abort();

    const auto mail = mailsettings::Current();
    const std::string host = smtp::TrimBlanks(mail->relayHost);
    // A port outside 1..65535 takes the standard one, as everywhere else.
    int port = settings::PortFromText(smtp::TrimBlanks(mail->relayPort), 25);
    if (mail->relayStandard) port = 25;
    if (host.empty()) {
        RelayLog("no host - use setup");
        // Mail is waiting and nothing went: a failed run, not an idle one.
        MarkDeliveryFailed();
        runFailure_ = std::string(kMailNotSent) + "no SMTP host - set one in Tools, Settings..., SMTP delivery";
        EndDeliveryRun();
        return;
    }
    procs::TrimLogFile(ProgramDir + "smtp.log");
    RelayLog("Opening connection to " + host);
    events::Get().Status("SMTP: connecting", true);
    connectRetried_ = false;
    RetryTimer->start();
    SMTPClient.SetHost(host);
    SMTPClient.SetPort(port);
    SMTPClient.Open();
}

void TFrmSMTP::SMTPClientConnect() {
    RetryTimer->stop();
    RelayLog("Connected");
    SmtpClientState = TRelayState::AwaitGreeting;
    authPending_ = false;
    events::Get().Status("SMTP connected", true);
    TimeOut->setInterval(ReplyTimeoutMs);
    TimeOut->start();
}

void TFrmSMTP::SMTPClientWrite() {
    if (SmtpClientState != TRelayState::SentText || !streaming_) return;
    if (relayFile_) {
        PumpRelayStream();
        return;
    }
    // Everything of the message has gone out: the provider may take its time
    // over the final ".".
    TimeOut->setInterval(EndOfDataTimeoutMs);
    TimeOut->start();
}

// Hands the next pieces of the message to the socket: only as much as the
// network takes, so that a message of any size costs a few buffers.
void TFrmSMTP::PumpRelayStream() {
    constexpr size_t kChunk = 64 * 1024;
    std::vector<char> buffer(kChunk);
    while (relayFile_ && SMTPClient.PendingOutput() < static_cast<std::int64_t>(4 * kChunk)) {
        std::string out;
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), relayFile_);
        relayWriter_.Feed(buffer.data(), n, out);
        if (n == 0 || relayWriter_.Ended()) {
            if (std::ferror(relayFile_)) RelayLog("Could not read the message file to the end");
            relayWriter_.Finish(out);
            StopRelayStream();
        }
        relayQueued_ += static_cast<std::int64_t>(out.size());
        SMTPClient.SendText(out);
    }
}

void TFrmSMTP::StopRelayStream() {
    if (relayFile_) std::fclose(relayFile_);
    relayFile_ = nullptr;
}

void TFrmSMTP::SMTPClientRead() {
    std::string data = SMTPClient.ReceiveText();
    if (!delivering_) return;
    // The wait for a reply counts from when the reply became due (the
    // connection made, the command sent): a part of a reply does not start
    // it again, or a provider that sends a byte now and then would hold the
    // run for ever.
    if (!replies_.Add(data)) return;
    const std::string reply = replies_.Take();
    const bool tooLong = reply.size() > kMaxReply;
    std::string logged = smtp::Chomp(reply.size() > kMaxLoggedReply ? reply.substr(0, kMaxLoggedReply) : reply);
    if (reply.size() > kMaxLoggedReply) logged += " ... (" + std::to_string(reply.size()) + " bytes)";
    RelayLog(">>  (" + std::to_string(static_cast<int>(SmtpClientState)) + ")" + logged);
    if (tooLong) {
        // Not a reply any more: whatever follows is out of step.
        EndRunFailed("Reply too long", "failed");
        return;
    }
    // One command, one reply, and the next command only once it is in: a
    // reply while the message text is still going out, or anything behind
    // the reply just read, is no answer to what the relay asks next. Taken
    // for one, an early "250" reads as the verdict on a message that the
    // provider then refuses, and the message is lost. Such a session ends
    // at once, the connection dropped without QUIT, and the message waits
    // for the next run: an early "2" counts as nothing, an early refusal
    // as a failed attempt.
    if (SmtpClientState == TRelayState::SentText && (relayFile_ || SMTPClient.PendingOutput() > 0)) {
        // A plain refusal before the end (a message too large for the
        // provider) still counts as an attempt: left uncounted, such a
        // message would go again every run, its sender never told.
        const char verdict = smtp::ReplyVerdict(reply);
        if (verdict == '4' || verdict == '5') {
            streaming_ = false;
            StopRelayStream();
            MarkMessageFailed(QueueFile(smtp::StateQueued));
        }
        EndRunFailed(OutOfStep("a reply before the end of the message"), "failed");
        return;
    }
    // After the goodbye, what else comes changes nothing.
    if (!RelayConversationOver() && (replies_.Holding() || SMTPClient.BytesAvailable() > 0)) {
        EndRunFailed(OutOfStep("more than one reply to a command"), "failed");
        return;
    }
    const std::uint64_t sends = relaySends_;
    const TRelayState state = SmtpClientState;
    HandleRelayReply(reply);
    if (!delivering_) return;
    // A reply the state machine passes over (a "2" to DATA) answers nothing
    // that was asked. It is no late answer either: a wait that timed out
    // ended the run and dropped its connection, so a reply to an earlier
    // command can only be one more than the provider owed.
    if (relaySends_ == sends && SmtpClientState == state)
        EndRunFailed(OutOfStep("a reply that answers nothing asked"), "failed");
}

void TFrmSMTP::HandleRelayReply(const std::string& reply) {
    using Handler = void (TFrmSMTP::*)(const std::string&);
    static constexpr std::pair<TRelayState, Handler> kOnReply[] = {
        {TRelayState::AwaitGreeting, &TFrmSMTP::RelayGreeted},
        {TRelayState::SentEhlo, &TFrmSMTP::RelayEhloAnswered},
        {TRelayState::SentAuthLogin, &TFrmSMTP::RelayLogOnStep},
        {TRelayState::SentLoginUser, &TFrmSMTP::RelayLogOnStep},
        {TRelayState::SentAuthCramMd5, &TFrmSMTP::RelayLogOnStep},
        {TRelayState::AwaitReady, &TFrmSMTP::RelayReady},
        {TRelayState::SentEnvelope, &TFrmSMTP::RelayEnvelopeAnswered},
        {TRelayState::SentData, &TFrmSMTP::RelayDataAnswered},
        {TRelayState::SentText, &TFrmSMTP::RelayTextAnswered},
        {TRelayState::SentQuit, &TFrmSMTP::RelayQuitAnswered},
    };
    // Closing: the socket is going; a late reply changes nothing.
    for (const auto& [state, handler] : kOnReply)
        if (state == SmtpClientState) return (this->*handler)(reply);
}

bool TFrmSMTP::RelayConversationOver() const {
    return SmtpClientState == TRelayState::SentQuit || SmtpClientState == TRelayState::Closing;
}

void TFrmSMTP::RelayGreeted(const std::string& reply) {
    if (smtp::ReplyVerdict(reply) == smtp::kUnclearReply) {
        EndRunFailed("Greeting with mixed reply codes", "failed");
        return;
    }
    const std::string name = procs::GetComputerName();
    if (mailsettings::Current()->relayAuth) {
        RelaySend("ehlo " + name + "\r\n", "> ehlo " + name);
        SmtpClientState = TRelayState::SentEhlo;
    } else {
        RelaySend("helo " + name + "\r\n", "> helo " + name);
        SmtpClientState = TRelayState::AwaitReady;
    }
}

void TFrmSMTP::RelayEhloAnswered(const std::string& reply) {
    const char code = smtp::ReplyVerdict(reply);
    auto mechanisms = AuthMechanisms(reply);
    auto offers = [&](const char* m) {
        return std::find(mechanisms.begin(), mechanisms.end(), m) != mechanisms.end();
    };
    if (code == '2' && offers("LOGIN")) {
        RelaySend("AUTH LOGIN\r\n", ">AUTH LOGIN");
        SmtpClientState = TRelayState::SentAuthLogin;
    } else if (code == '2' && offers("CRAM-MD5")) {
        RelaySend("AUTH CRAM-MD5\r\n", ">AUTH  CRAM-MD5");
        SmtpClientState = TRelayState::SentAuthCramMd5;
    } else {
        const std::string name = procs::GetComputerName();
        RelaySend("helo " + name + "\r\n", "> helo " + name);
        SmtpClientState = TRelayState::AwaitReady;
    }
}

void TFrmSMTP::RelayLogOnStep(const std::string& reply) {
    if (smtp::ReplyVerdict(reply) != '3') {
        EndRunFailed("Couldn't log on", "failed");
        return;
    }
    const auto mail = mailsettings::Current();
    const std::string login = mail->relayLogin;
    const std::string pass = mail->relayPassword;
    if (SmtpClientState == TRelayState::SentAuthLogin) {
        RelaySend(auth::EncodeBase64(login) + "\r\n", "> Sending user...");
        SmtpClientState = TRelayState::SentLoginUser;
    } else if (SmtpClientState == TRelayState::SentLoginUser) {
        RelaySend(auth::EncodeBase64(pass) + "\r\n", "> Sending password...");
        authPending_ = true;
        SmtpClientState = TRelayState::AwaitReady;
    } else {
        std::string text = reply.size() > 4 ? reply.substr(4) : std::string();
        text = text.substr(0, text.find_first_of("\r\n"));
        const std::string challenge = auth::DecodeBase64(text);
        RelaySend(auth::EncodeBase64(login + " " + auth::DigestToHex(auth::HmacMD5(challenge, pass))) + "\r\n",
                  "> Sending MD5 info...");
        authPending_ = true;
        SmtpClientState = TRelayState::AwaitReady;
    }
}

void TFrmSMTP::RelayReady(const std::string& reply) {
    const char code = smtp::ReplyVerdict(reply);
    const bool toRset = rsetSent_;
    rsetSent_ = false;
    if (code == '2') {
        authPending_ = false;
        ConfirmSent();
        if (exiting_) {
            // The goodbye, now that the message before is accounted for.
            NextMessage();
            return;
        }
        if (!platform::FileExists(QueueFile(smtp::StateQueued))) {
            // Deleted or suspended from the browser since the run began.
            skipped_.insert(CurrentQueueId);
            NextMessage();
            return;
        }
        const std::string& id = CurrentQueueId;
        const smtp::QueueRecord record = smtp::ReadQueueRecord(id);
        if (const std::string damage = record.Damage(); !damage.empty()) {
            // Sent as it stands, it would go from or to someone else: the
            // file stays for whoever mends the record, and is no attempt.
            RelayLog("The queue record of " + id + " is damaged (" + damage + "): the message stays queued");
            runFailure_ = std::string(kMailNotSent) + "the queue record of " + id + " is damaged (see smtp.log)";
            MarkDeliveryFailed();
            skipped_.insert(id);
            NextMessage();
            return;
        }
        if (record.CountBeyondKeys())
            RelayLog("The queue record of " + id + " counts " + std::to_string(record.rcpt) +
                     " recipients and holds " + std::to_string(record.to.size()) + ": sending to those it holds");
        CurrentRecipientIndex = 0;
        recipients_.clear();
        for (const auto& to : record.to)
            if (!to.second.empty()) recipients_.push_back(to);
        std::vector<std::pair<std::string, std::string>> cleared = {{"Good", ""}, {"Bad", ""}};
        // Refusals of an earlier attempt are not this attempt's.
        for (const auto& bad : record.bad) cleared.emplace_back("Bad" + std::to_string(bad.first), "");
        smtp::WritePortsValuesLater(id, cleared);
        const std::string fixed = smtp::TrimBlanks(mailsettings::Current()->relayMailFrom);
        const std::string sender = Bracketed(fixed.empty() ? record.from : fixed);
        RelaySend("MAIL FROM:" + sender + "\r\n", "> MAIL FROM:" + sender);
        SmtpClientState = TRelayState::SentEnvelope;
    } else if (toRset) {
        // RSET has no refusal: anything but "250" answers something else,
        // such as the final "." of the message before, whose "2" was then
        // one reply too many. That message stays queued (see ConfirmSent).
        EndRunFailed(OutOfStep("\"" + smtp::Chomp(reply.substr(0, kMaxLoggedReply)) + "\" to RSET"), "failed");
    } else if (code == '4' || code == '5' || code == smtp::kUnclearReply) {
        if (authPending_) {
            // A refused log-on is the account's fault, not the message's.
            EndRunFailed("Couldn't log on", "failed");
            return;
        }
        FailCurrentMessage("Couldn't log on");
    }
}

// Completing a message erases its queue record, so a queued file whose
// record has no From line at all went out before (its file could not be
// removed). A From line that is present but empty is the null sender of a
// message still waiting to go: that one is not tidied away.
static bool QueueRecordErased(const std::string& id) {
    // Stored values are single lines, so a line end can only be the default.
    return smtp::Ports().ReadString(id, "From", "\n") == "\n";
}

void TFrmSMTP::RelayEnvelopeAnswered(const std::string& reply) {
    const char code = smtp::ReplyVerdict(reply);
    const bool toMailFrom = CurrentRecipientIndex == 0;
    // A recipient put off (4xx) is refused for this attempt like one
    // refused outright: the others get the message now, and it is named
    // again next time.
    if (code == '2' || ((code == '4' || code == '5') && !toMailFrom)) {
        RecipientStep(code);
    } else if (platform::FileExists(QueueFile(smtp::StateSent)) || QueueRecordErased(CurrentQueueId)) {
        RelayLog("Tidying up " + CurrentQueueId + " - has been sent already.");
        Fs().Unlink(QueueFile(smtp::StateQueued));
        Fs().Unlink(QueueFile(smtp::StateSent));
        skipped_.insert(CurrentQueueId);
        NextMessage();
    } else if (toMailFrom) {
        FailCurrentMessage("Sender refused: " + smtp::Chomp(reply));
    } else {
        FailCurrentMessage("Failed while naming recipients", reply);
    }
}

void TFrmSMTP::RelayDataAnswered(const std::string& reply) {
    const char code = smtp::ReplyVerdict(reply);
    if (code == '3') {
        RelayLog("Delivering " + CurrentQueueId);
        const std::string file = QueueFile(smtp::StateQueued);
        SendMessageFile(file);
        StopRelayStream();
        relayFile_ = std::fopen(file.c_str(), "rb");
        if (!relayFile_) {
            // Without the text the transaction cannot go on.
            FailCurrentMessage("Message file unreadable");
            return;
        }
        if (!platform::FileSize(file, streamSize_)) streamSize_ = 0;
        relayWriter_ = smtp::WireWriter();
        relayQueued_ = 0;
        lastPending_ = -1;
        streaming_ = true;
        TimeOut->setInterval(ReplyTimeoutMs);
        TimeOut->start();
        DeliveryTimer->start();
        SmtpClientState = TRelayState::SentText;
        PumpRelayStream();
    } else if (code != '2') {
        FailCurrentMessage("Expected return code 354, got " + smtp::Chomp(reply));
    }
    // A "2" is no answer to DATA: passed over here, it ends the run as a
    // reply out of step.
}

void TFrmSMTP::RelayTextAnswered(const std::string& reply) {
    streaming_ = false;
    StopRelayStream();
    DeliveryTimer->stop();
    // "250-queued" then "451 not queued" is no yes: only a reply whose
    // every line says 2xx is.
    if (smtp::ReplyVerdict(reply) == '2') {
        // Still no proof: a "250" the provider sent early, while the end
        // was already on its way, reads just like this, and the real
        // verdict follows. Whatever answers the next command tells: its
        // own reply confirms this one; a refusal there is that verdict.
        unconfirmed_ = CurrentQueueId;
        unconfirmedNumber_ = RelayMessageNumber;
        skipped_.insert(CurrentQueueId);
        NextMessage();
    } else {
        FailCurrentMessage("Failed while sending message", reply);
    }
}

void TFrmSMTP::RelayQuitAnswered(const std::string& reply) {
    if (!unconfirmed_.empty() && smtp::ReplyVerdict(reply) != '2') {
        EndRunFailed(OutOfStep("\"" + smtp::Chomp(reply.substr(0, kMaxLoggedReply)) + "\" to QUIT"), "failed");
        return;
    }
    ConfirmSent();
    events::Get().Status("Tidying up...", true);
    RelayLog("Tidying up...");
    SmtpClientState = TRelayState::Closing;
    // Closing raises no event of its own.
    if (SMTPClient.Active()) SMTPClient.Close();
    SMTPClientDisconnect();
}

void TFrmSMTP::RecipientStep(char code) {
    const std::string& id = CurrentQueueId;
    if (CurrentRecipientIndex > 0) {
        // The reply to the last RCPT.
        const auto& [n, address] = recipients_[static_cast<size_t>(CurrentRecipientIndex - 1)];
        if (code != '2') {
            smtp::WritePortsValuesLater(id, {{"Bad", "Yes"}, {"Bad" + std::to_string(n), address}});
            RelayLog("Failed while naming recipient: " + address);
        } else {
            smtp::WritePortsValuesLater(id, {{"Good", "Yes"}});
        }
    }
    if (static_cast<size_t>(CurrentRecipientIndex) < recipients_.size()) {
        const std::string address = Bracketed(recipients_[static_cast<size_t>(CurrentRecipientIndex)].second);
        RelaySend("RCPT TO:" + address + "\r\n", "> RCPT TO:" + address);
        ++CurrentRecipientIndex;
        return;
    }
    if (CurrentRecipientIndex > 0 && smtp::ReadPortsValue(id, "Good") == "Yes") {
        RelaySend("data\r\n", "> DATA");
        SmtpClientState = TRelayState::SentData;
    } else {
        FailCurrentMessage("No (good) Recipients");
    }
}

void TFrmSMTP::ConfirmSent() {
    if (unconfirmed_.empty()) return;
    const std::string id = std::move(unconfirmed_);
    unconfirmed_.clear();
    RelayLog(id + " sent ok");
    events::Get().Status("Sent message " + std::to_string(unconfirmedNumber_), true);
    std::int64_t size = 0;
    if (platform::FileSize(smtp::StoreFolder(smtp::FolderOut) + id + smtp::StateQueued, size)) RelaySentBytes += size;
    CompleteMessage(id);
}

void TFrmSMTP::CompleteMessage(const std::string& id) {
    const std::string stem = smtp::StoreFolder(smtp::FolderOut) + id;
    const std::string txt = stem + smtp::StateQueued;
    skipped_.insert(id);
    if (smtp::ReadPortsValue(id, "Bad") == "Yes") {
        // Delivered recipients move to Sent<i>, so that the next attempt
        // names only the refused ones.
        const smtp::QueueRecord record = smtp::ReadQueueRecord(id);
        std::vector<std::pair<std::string, std::string>> moved;
        for (const auto& [i, to] : record.to) {
            const std::string n = std::to_string(i);
            if (!record.Bad(i) && !to.empty()) {
                moved.emplace_back("Sent" + n, to);
                moved.emplace_back("To" + n, "");
            }
        }
        // Losing these sends the message to them again: a failed write
        // keeps them for the next one.
        if (!smtp::WritePortsValuesKept(id, moved))
            RelayLog("Could not write ports.dat: the delivered recipients of " + id + " are kept for the next write");
        Fs().Unlink(stem + smtp::StateFailed);
        if (!Fs().Rename(txt, stem + smtp::StateFailed).ok())
            RelayLog("Could not mark " + id + " as failed");
        return;
    }
    const std::string txs = stem + smtp::StateSent;
    if (Fs().Rename(txt, txs).ok()) {
        Fs().Unlink(txs);
    } else if (!Fs().Unlink(txt).ok() && platform::FileExists(txt)) {
        // The message stays where it is; the marker keeps it from going twice.
        std::unique_ptr<platform::WritableFile> marker;
        if (Fs().NewWritableFile(txs, platform::CreateMode::Append, marker).ok()) marker->Close();
    }
    // The message is gone: a crash before the record reaches the file
    // leaves a record without a message, which start-up drops. The other
    // way round, a message without its record, would be sent from <> to
    // nobody until it is suspended: out/ is synced before the erasure is
    // written.
    smtp::ErasePortsSectionLater(id, smtp::StoreFolder(smtp::FolderOut));
}

void TFrmSMTP::FailCurrentMessage(const std::string& logLine, const std::string& reply) {
    streaming_ = false;
    StopRelayStream();
    DeliveryTimer->stop();
    RelayLog(logLine);
    runFailure_ = kMailNotSent + logLine + (reply.empty() ? std::string() : " (" + smtp::Chomp(reply) + ")");
    MarkDeliveryFailed();
    MarkMessageFailed(QueueFile(smtp::StateQueued));
    NextMessage();
}

void TFrmSMTP::NextMessage() {
    // At an exit only the message whose end had gone out was waited for.
    const std::string next = exiting_ ? std::string() : NextQueuedFile();
    if (!next.empty()) {
        CurrentQueueId = next;
        ++RelayMessageNumber;
        RelaySend("rset\r\n", "> RSET");
        SmtpClientState = TRelayState::AwaitReady;
        rsetSent_ = true;
        return;
    }
    RelaySend("quit\r\n", "> QUIT");
    SmtpClientState = TRelayState::SentQuit;
}

bool TFrmSMTP::FinalReplyDue() const {
    return delivering_ && SMTPClient.Connected() &&
           ((SmtpClientState == TRelayState::SentText && streaming_ && !relayFile_) || !unconfirmed_.empty());
}

void TFrmSMTP::StopRelayForExit() {
    exiting_ = true;
    if (FinalReplyDue()) return;
    if (delivering_ && SmtpClientState == TRelayState::SentText) {
        // The end marker is not yet with the socket: dropped unsent, it
        // never reaches the provider, which then keeps nothing of the
        // message. Sent by a graceful close, it would deliver a message
        // this program no longer hears about, and sends again.
        SMTPClient.Abort();
        StopRelayStream();
        streaming_ = false;
        return;
    }
    SMTPClient.Close();
}

void TFrmSMTP::AwaitFinalReplyForExit(std::chrono::milliseconds bound) {
    if (!FinalReplyDue()) return;
    const std::string id = CurrentQueueId;
    RelayLog("Exiting: waiting for the reply to the end of " + id);
    QEventLoop wait;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &wait, &QEventLoop::quit);
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &wait, [this, &wait] {
        if (!FinalReplyDue()) wait.quit();
    });
    limit.start(bound);
    check.start(20);
    wait.exec();
    // The reply's handler has recorded the outcome (and sent QUIT); without
    // one the message stays queued and goes again, the safe side.
    if (FinalReplyDue()) RelayLog("No reply to the end of " + id + " before the exit: it stays queued");
    if (SMTPClient.Active()) SMTPClient.Close();
}

void TFrmSMTP::EndRunFailed(const std::string& logLine, const std::string& label) {
    RetryTimer->stop();
    TimeOut->stop();
    if (!logLine.empty()) {
        RelayLog(logLine);
        runFailure_ = kMailNotSent + logLine;
    }
    SetDeliveryLabel(label, true);
    EndDeliveryRun();
}

void TFrmSMTP::RetryTimerTimer(bool timedOut) {
    RetryTimer->stop();
    TimeOut->stop();
    if (!delivering_) return;
    if (!timedOut && !connectRetried_ && !SMTPClient.Connected()) {
        connectRetried_ = true;
        events::Get().Status("SMTP: connecting...", true);
        SMTPClient.Abort();
        SMTPClient.Open();
        RetryTimer->start();
        return;
    }
    SMTPClient.Abort();
    if (timedOut && RelayConversationOver()) {
        // Everything went; only the goodbye is missing. Nothing came after
        // the last message's "2" either, so it stands.
        ConfirmSent();
        RelayLog("Disconnected");
        EndDeliveryRun();
        return;
    }
    EndRunFailed(timedOut ? "Timed out waiting for response" : "Couldn't find host", "failed");
}

void TFrmSMTP::DeliveryTimerTimer() {
    if (!streaming_) {
        DeliveryTimer->stop();
        return;
    }
    const std::int64_t pending = SMTPClient.PendingOutput();
    const std::int64_t done = std::clamp<std::int64_t>(relayQueued_ - pending, 0, streamSize_);
    long percent = 1;
    if (OutboxTotalBytes > 0)
        percent = std::min<long>(100, std::lround(100.0 * static_cast<double>(done + RelaySentBytes) /
                                                   static_cast<double>(OutboxTotalBytes)));
    events::Get().Status("Sending message " + std::to_string(RelayMessageNumber) + " (" +
                         servers::FormatByteSize(OutboxTotalBytes) + ", " + std::to_string(percent) + "%)",
                     true);
    // A slow line that still moves is not a silent provider.
    if (pending != lastPending_ && pending > 0) TimeOut->start();
    lastPending_ = pending;
}

void TFrmSMTP::SMTPClientError(int code, const std::string& text) {
    if (!delivering_) return;
    RetryTimer->stop();
    EndRunFailed("SMTP delivery error code " + std::to_string(code) + (text.empty() ? std::string() : ": " + text),
                 "failed");
}

void TFrmSMTP::SMTPClientDisconnect() {
    if (!delivering_) return;
    if (RetryTimer->isActive()) {
        SetDeliveryLabel("failed", true);
        RelayLog("Conenction seems to have failed - check host");
        runFailure_ = std::string(kMailNotSent) + "the connection failed - check host";
    } else if (!RelayConversationOver()) {
        // Gone in the middle of the conversation; after QUIT it may go as it likes.
        SetDeliveryLabel("failed", true);
        runFailure_ = std::string(kMailNotSent) + "the server closed the connection";
    } else {
        // Gone after QUIT with nothing said after the last message's "2".
        ConfirmSent();
    }
    RetryTimer->stop();
    RelayLog("Disconnected");
    EndDeliveryRun();
}

void TFrmSMTP::EndDeliveryRun() {
    if (!delivering_) return;
    delivering_ = false;
    events::Get().LabelLook(events::Label::LastDelivery, events::Look::NotBusy);
    RetryTimer->stop();
    TimeOut->stop();
    DeliveryTimer->stop();
    streaming_ = false;
    StopRelayStream();
    rsetSent_ = false;
    if (!unconfirmed_.empty()) {
        // Sent again rather than lost: the provider may have kept it.
        RelayLog("The \"2\" to the end of " + unconfirmed_ +
                 " was not borne out by the reply after it: the message stays queued");
        unconfirmed_.clear();
    }

    const std::string out = smtp::StoreFolder(smtp::FolderOut);
    for (const auto& name : smtp::ListFiles(out, smtp::StateFailed)) {
        ProcessFailedMessage(out + name);
        MarkDeliveryFailed();
    }
    // The run's marks and erased records reach the file once per run
    // instead of with a rewrite of the whole file per message; one sync of
    // out/ before it makes the run's removals and renames durable first.
    if (!smtp::FlushPorts(out)) RelayLog("Could not write ports.dat");
    if (SMTPClient.Active()) SMTPClient.Abort();
    events::Get().Status("Idle", false);
    {
        static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        const platform::LocalTime now = platform::NowLocal();
        events::Get().LabelText(events::Label::LastDelivery, platform::TwoDigits(now.day) + "-" + months[(now.month + 11) % 12] +
                                                                 " " + platform::TwoDigits(now.hour) + ":" + platform::TwoDigits(now.minute));
    }

    if (!purgedDeletedOnce_) {
        purgedDeletedOnce_ = true;
        const std::string deleted = smtp::StoreFolder(smtp::FolderDeleted);
        const auto limit = platform::Now() - std::chrono::hours(72);
        auto files = smtp::ListFiles(deleted, smtp::MailboxSuffix);
        int removed = 0, examined = 0;
        for (const auto& name : files) {
            ++examined;
            platform::SystemTime when;
            if (platform::GetFileTime(deleted + name, when) && when < limit && Fs().Unlink(deleted + name).ok())
                ++removed;
            events::Get().StatusLine("Deleting spam: " + std::to_string(removed) + "/" + std::to_string(examined),
                                     true);
        }
    }

    if (FrmServers) FrmServers->RefreshMailCounts(false, true);
    // The shell's share: controls back, the line hung up unless it is to
    // stay up, status "Idle", the next alarm armed.
    events::Get().CycleEnded();
    if (!runFailure_.empty()) {
        events::Get().Status(runFailure_, false);
        runFailure_.clear();
    }
}
