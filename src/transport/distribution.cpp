// Distribution of fetched messages: the local recipients of mess.txt are
// chosen from envelope headers (pop_hdr.txt), To/Cc addresses, quoted
// display names and the account's default user; each gets a mailbox file
// (written whole and synced, never over another message) and the delivery
// filters. Also the start-up import of message folders of the old layout.
#include "transport/servers.h"

#include "codecs/qev_util.h"
#include "filters/addinrule.h"
#include "filters/forward.h"
#include "filters/holiday.h"
#include "filters/spam.h"
#include "filters/virus.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/committer.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/mail_settings.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QPointer>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <memory>
#include <stdexcept>

#include <sys/stat.h>

namespace {

constexpr size_t kMaxHeaderLines = 299;
// A header line is kept up to this many bytes, and the header as a whole up
// to the second figure; past it each line keeps a standard line's worth.
// Enough for any real header, and it keeps a hostile one from holding the
// event loop while it is scanned.
constexpr size_t kMaxHeaderLineBytes = 64 * 1024;
constexpr size_t kMaxHeaderBytes = 512 * 1024;
constexpr size_t kStandardLineBytes = 998;
constexpr size_t kMaxEnvelopeValue = 255;
constexpr size_t kMaxHeaderValue = 250;
constexpr size_t kMaxStemLetters = 100;

void Trace(const std::string& line) { procs::WriteLog(ProgramDir + "pop.log", line); }

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string From(const std::string& s, size_t oneBased, size_t count = std::string::npos) {
    return s.size() >= oneBased ? s.substr(oneBased - 1, count) : std::string();
}

// The text as lines: CR LF, LF or CR end a line.
std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// TextLines of the text read from in followed by more, line after line
// while take returns true; nothing beyond the last line taken is read. A
// line is handed over with at most limit() bytes, whatever its length.
void ForEachTextLine(std::istream& in, const std::string& more, const std::function<size_t()>& limit,
                     const std::function<bool(const std::string&, bool cut)>& take) {
    std::string line;
    bool cut = false;
    bool cr = false;  // the last character ended a line with CR: an LF now is part of that end
    auto feed = [&](const char* p, size_t n) {
        // The next CR and LF of the piece, each searched for again only once
        // passed: one pass however long the lines, whichever ending they use.
        auto find = [&](char c, size_t from) {
            const void* hit = std::memchr(p + from, c, n - from);
            return hit ? static_cast<size_t>(static_cast<const char*>(hit) - p) : n;
        };
        size_t nextCr = find('\r', 0), nextLf = find('\n', 0);
        size_t i = 0;
        while (i < n) {
            const bool lfOfCrLf = cr && p[i] == '\n';
            cr = false;
            if (lfOfCrLf && ++i == n) break;
            if (nextCr < i) nextCr = find('\r', i);
            if (nextLf < i) nextLf = find('\n', i);
            const size_t end = std::min(nextCr, nextLf);
            const size_t room = limit();
            const size_t keep = line.size() < room ? std::min(end - i, room - line.size()) : 0;
            line.append(p + i, keep);
            if (keep < end - i) cut = true;
            if (end == n) return true;
            cr = p[end] == '\r';
            i = end + 1;
            if (!take(line, cut)) return false;
            line.clear();
            cut = false;
        }
        return true;
    };
    std::vector<char> buffer(1 << 16);
    for (;;) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto n = static_cast<size_t>(in.gcount());
        if (n == 0) break;
        if (!feed(buffer.data(), n)) return;
    }
    if (!feed(more.data(), more.size())) return;
    if (!line.empty()) take(line, cut);
}

// The envelope header names, one per line, lower case with the colon.
std::vector<std::string> EnvelopeHeaderNames() {
    const std::string path = ProgramDir + "pop_hdr.txt";
    std::string text;
    if (!platform::ReadFile(path, text)) {
        text = "envelope-to:\r\ndelivered-to:\r\n";
        platform::WriteFileAtomic(path, text);
    }
    std::vector<std::string> names;
    for (std::string line : TextLines(text)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.erase(0, 1);
        if (!line.empty()) names.push_back(qev_util::LowerCase(line));
    }
    return names;
}

// The alias table: its owner's, or elink.dat when no one loaded it.
class LinkTable {
public:
    LinkTable() {
        if (tables::Aliases().Table().Active()) {
            table_ = &tables::Aliases().Table();
            return;
        }
        try {
            own_ = std::make_unique<TvdlMemTable>();
            own_->LoadFromBinaryFile(ProgramDir + "elink.dat");
            table_ = own_.get();
        } catch (const std::exception&) {
            table_ = nullptr;
        }
    }
    // The users of every row whose Email equals the address, in the
    // table's order. The table is read once: a message may name a thousand
    // addresses.
    std::vector<std::string> UsersOf(const std::string& address) {
        if (!indexed_) Index();
        auto it = users_.find(address);
        return it == users_.end() ? std::vector<std::string>() : it->second;
    }

private:
    void Index() {
        indexed_ = true;
        if (!table_ || !table_->Active() || !table_->FindField("Email") || !table_->FindField("User")) return;
        int mark = table_->GetBookmark();
        for (table_->First(); !table_->Eof(); table_->Next())
            users_[qev_util::LowerCase(table_->FieldByName("Email").AsString())].push_back(table_->FieldByName("User").AsString());
        if (mark >= 0 && table_->BookmarkValid(mark)) table_->GotoBookmark(mark);
    }

    TvdlMemTable* table_ = nullptr;
    std::unique_ptr<TvdlMemTable> own_;
    bool indexed_ = false;
    std::map<std::string, std::vector<std::string>> users_;
};

// What tells whether a rule changed a file.
struct FileState {
    bool exists = false;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {true, static_cast<std::int64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// The settings' incoming attachment check.
bool IncomingCheckOn() { return mailsettings::Current()->virusCheckIn; }

void AddUnique(std::vector<std::string>& list, const std::string& user) {
    for (const auto& u : list)
        if (qev_util::LowerCase(u) == qev_util::LowerCase(user)) return;
    list.push_back(user);
}

}  // namespace

namespace servers {

bool CopyMessageFile(const std::string& source, const std::string& destination) {
    if (!platform::FileExists(source)) return true;
    return smtp::CopyFileKeepDate(source, destination);
}

FetchedHeader ScanHeader(std::istream& in, const std::string& more) {
    FetchedHeader h;
    std::string previous = "    ";
    size_t headerBytes = 0;
    auto room = [&] { return headerBytes < kMaxHeaderBytes ? kMaxHeaderLineBytes : kStandardLineBytes; };
    ForEachTextLine(in, more, room, [&](const std::string& line, bool cut) {
        if (previous == "Message" || previous.size() < 3 || h.lines.size() >= kMaxHeaderLines) return false;
        headerBytes += line.size();
        h.cut = h.cut || cut;
        const std::string low = qev_util::LowerCase(line);
        if (StartsWith(low, "message-id")) {
            h.messageId = From(line, 12, kMaxHeaderValue);
            h.idLetters.clear();
            for (char c : From(line, 11))
                if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) h.idLetters += c;
        }
        if (StartsWith(low, "from: ")) h.sender = From(line, 7, kMaxHeaderValue);
        else if (StartsWith(low, "rom: ")) h.sender = From(line, 6, kMaxHeaderValue);
        if (StartsWith(low, "subject: ")) h.subject = From(line, 10, kMaxHeaderValue);
        h.lines.push_back(line);
        previous = line;
        return true;
    });
    return h;
}

std::string EnvelopeText(const std::vector<std::string>& headerLines, const std::vector<std::string>& names) {
    // Only a header of one of those names counts, with its folded lines;
    // the same words inside another header's text are just text.
    std::vector<std::pair<std::string, std::string>> fields;  // lower-case name, unfolded value
    for (const auto& line : headerLines) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (!fields.empty() && fields.back().second.size() < kMaxEnvelopeValue)
                fields.back().second += line.substr(0, kMaxEnvelopeValue);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            fields.emplace_back(std::string(), std::string());
            continue;
        }
        std::string name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
        fields.emplace_back(qev_util::LowerCase(name), line.substr(colon + 1, kMaxEnvelopeValue));
    }
    std::string envelope;
    for (const std::string& name : names) {
        Trace(" - Looking for header " + name);
        const std::string bare = qev_util::LowerCase(!name.empty() && name.back() == ':' ? name.substr(0, name.size() - 1) : name);
        for (const auto& [field, text] : fields) {
            if (field != bare) continue;
            std::string value = text.substr(0, kMaxEnvelopeValue);
            Trace(" + Found header " + name + " " + value);
            envelope += value + " ";
            break;
        }
    }
    return envelope;
}

std::string ToCcText(const std::vector<std::string>& headerLines) {
    std::string text;
    bool inBlock = false;
    for (const auto& line : headerLines) {
        std::string low = qev_util::LowerCase(line);
        if (StartsWith(low, "to:") || StartsWith(low, "cc:")) inBlock = true;
        else if (low.find(':') != std::string::npos) inBlock = false;
        if (low.find("reply-to:") != std::string::npos) inBlock = false;
        if (inBlock) text += line + " ";
    }
    return text;
}


std::vector<std::string> ExtractAddresses(const std::string& text, size_t limit, bool* cut) {
    static const std::string delimiters = std::string("\t\n\r ,;<>");
    auto delimiter = [](char c) { return delimiters.find(c) != std::string::npos; };
    std::vector<std::string> addresses;
    std::string trace;  // pop.log gets every address on a line of its own, in one write
    if (cut) *cut = false;
    // One pass: each address starts after the end of the one before it.
    size_t from = 0, at;
    while ((at = text.find('@', from)) != std::string::npos) {
        if (addresses.size() == limit) {
            if (cut) *cut = true;
            break;
        }
        size_t left = at;
        while (left > from && !delimiter(text[left - 1])) --left;
        size_t right = at + 1;
        while (right < text.size() && !delimiter(text[right])) ++right;
        std::string address = qev_util::LowerCase(text.substr(left, right - left));
        trace += (trace.empty() ? " " : "\r\n ") + address;
        addresses.push_back(std::move(address));
        from = right;
    }
    if (!trace.empty()) Trace(trace);
    return addresses;
}

std::vector<std::string> ExtractQuotedNames(const std::string& text, size_t limit, bool* cut) {
    std::vector<std::string> names;
    if (cut) *cut = false;
    size_t from = 0, open;
    while ((open = text.find('"', from)) != std::string::npos) {
        size_t close = text.find('"', open + 1);
        if (close == std::string::npos) break;
        if (names.size() == limit) {
            if (cut) *cut = true;
            break;
        }
        names.push_back(qev_util::LowerCase(text.substr(open + 1, close - open - 1)));
        from = close + 1;
    }
    return names;
}

int ImportRawMessages() {
    namespace fs = std::filesystem;
    int imported = 0;
    std::error_code ec;
    std::string inFolder = smtp::StoreFolder(smtp::FolderIn);
    for (const auto& entry : fs::directory_iterator(ProgramDir, ec)) {
        std::error_code e2;
        if (!entry.is_directory(e2)) continue;
        const std::string name = entry.path().filename().string();
        size_t sep = name.find('_');
        if (sep == std::string::npos || !platform::MatchesMask(name, "*_*")) continue;
        const std::string raw = entry.path().string() + "/raw.dat";
        if (!platform::FileExists(raw)) continue;
        std::string user = name.substr(0, sep), stamp = name.substr(sep + 1);
        std::string content;
        // The folder goes only once its message is safely in the mailbox;
        // an existing mailbox file of that name is never replaced.
        if (!settings::IsSafeUserName(user) || stamp.empty() || !platform::ReadFile(raw, content)) continue;
        if (smtp::WriteNewFile(inFolder, user + "_", stamp, smtp::MailboxSuffix, content).empty()) continue;
        fs::remove_all(entry.path(), e2);
        ++imported;
    }
    return imported;
}

}  // namespace servers

// --- recipients -----------------------------------------------------------------

bool TFrmServers::IsSeen(const std::string& messageId, const std::string& user) {
    if (messageId.size() <= 3 || !TblID.Active()) return false;
    return TblID.FindKey({qev_util::LowerCase(user) + " " + messageId});
}

void TFrmServers::MarkSeen(const std::string& messageId, const std::string& user) {
    if (messageId.size() <= 3 || !TblID.Active() || IsSeen(messageId, user)) return;
    TblID.Append();
    TblID.FieldByName("ID").SetAsString(qev_util::LowerCase(user) + " " + messageId);
    TblID.Post();
}

std::vector<std::string> TFrmServers::SelectRecipients(const std::vector<std::string>& headerLines,
                                                       const std::string& messageId) {
    Trace("++ Examining who " + messageId + " is intended for...");
    std::vector<std::string> recipients;
    LinkTable links;
    auto lookUp = [&](const std::vector<std::string>& keys, const char* how) {
        for (const auto& key : keys)
            for (const auto& user : links.UsersOf(key)) {
                AddUnique(recipients, user);
                Trace("**** TW user " + user + " selected as recipient from " + how);
            }
    };

    // Envelope headers first: they name the mailbox the provider delivered to.
    const std::string envelope = servers::EnvelopeText(headerLines, EnvelopeHeaderNames());
    // Only so many addresses of a message are looked up, whatever it lists.
    size_t budget = servers::kMaxAddressesPerMessage;
    bool cutNoted = false;
    auto considered = [&](const std::vector<std::string>& found, bool more) {
        budget -= found.size();
        if (more && !cutNoted) {
            cutNoted = true;
            Trace("++ " + messageId + " names more than " + std::to_string(servers::kMaxAddressesPerMessage) +
                  " addresses: the rest are not considered");
        }
        return found;
    };
    bool more = false;
    Trace("***** envelope list from headers: " + envelope + " converted to list:");
    std::vector<std::string> found = servers::ExtractAddresses(envelope, budget, &more);
    lookUp(considered(found, more), "address");

    const std::string toList = servers::ToCcText(headerLines);
    if (recipients.empty()) {
        Trace("***** to: list from headers: " + toList + " converted to list:");
        found = servers::ExtractAddresses(toList, budget, &more);
        lookUp(considered(found, more), "address");
    }
    found = servers::ExtractQuotedNames(toList, budget, &more);
    lookUp(considered(found, more), "name");

    noRecipient_ = recipients.empty() && AccountDefaultUser.empty();
    if (recipients.empty() && !AccountDefaultUser.empty()) {
        recipients.push_back(AccountDefaultUser);
        Trace("**** TW user " + AccountDefaultUser + " selected as default user");
    }

    // A second copy of a message (the same Message-ID) is not delivered
    // again to a user who has it; others it names still get theirs.
    std::vector<std::string> fresh;
    for (const auto& user : recipients)
        if (!IsSeen(messageId, user)) fresh.push_back(user);
    if (fresh.size() < recipients.size())
        Trace("++ Already received " + messageId + ", ignoring...");
    return fresh;
}

// --- the message ---------------------------------------------------------------

void TFrmServers::MoveTempMessage(std::function<void(const std::string& failure)> done,
                                  std::function<bool()> keep) {
    const std::string messPath = ProgramDir + "mess.txt";
    // The message may be far larger than we care to hold: each copy is
    // streamed from mess.txt with the end marker it lacks appended, and only
    // its header is read here. A message of a few bytes is simply read.
    std::int64_t size = 0;
    std::string small, append;
    std::ifstream in(messPath, std::ios::binary);
    if (!in || !platform::FileSize(messPath, size)) throw std::runtime_error("mess.txt could not be read");
    const std::string marker = smtp::EndMarker;
    if (size <= static_cast<std::int64_t>(marker.size())) {
        if (!platform::ReadFile(messPath, small)) throw std::runtime_error("mess.txt could not be read");
        // An empty message is kept as one empty line, so that its stored end
        // marker cannot be mistaken for text.
        if (small == ".\r\n") small = std::string("\r\n") + smtp::EndMarker;
        small = smtp::WithEndMarker(small);
    } else {
        std::string last(marker.size(), '\0');
        in.seekg(size - static_cast<std::int64_t>(marker.size()));
        if (!in.read(last.data(), static_cast<std::streamsize>(last.size())))
            throw std::runtime_error("mess.txt could not be read");
        if (last != marker) append = marker;
        in.seekg(0);
    }

    // 1. Header scan.
    std::istringstream smallIn(small);
    std::istream& text = small.empty() ? static_cast<std::istream&>(in) : smallIn;
    servers::FetchedHeader scanned = servers::ScanHeader(text, append);
    std::vector<std::string>& headerLines = scanned.lines;
    const std::string& messageId = scanned.messageId;
    const std::string& idLetters = scanned.idLetters;
    const std::string& sender = scanned.sender;
    const std::string& subject = scanned.subject;
    if (scanned.cut) Trace("++ header lines of " + messageId + " were too long: only their start is considered");

    // 2. The stem the recipients' files share.
    const std::string stem = idLetters.substr(0, kMaxStemLetters) + smtp::TimeStamp();

    // 3. Recipients.
    std::vector<std::string> recipients = SelectRecipients(headerLines, messageId);
    if (noRecipient_)
        throw std::runtime_error("no local recipient and no default user");

    // 4. Where each recipient's copy goes. The copies are made together,
    // off the event loop; the spam check of each comes before any of them.
    struct Recipient {
        std::string user;
        int level = spam::NotSpam;
        int held = 0;
    };
    struct Delivery {
        commit::MailboxCopies files;
        std::vector<Recipient> recipients;  // one per copy
        std::vector<std::string> headerLines;
        std::string messageId;
        // The attachment check of the source found nothing to do, so a copy
        // no rule changed needs none.
        bool checkedClean = false;
    };
    auto delivery = std::make_shared<Delivery>();
    delivery->files.source = small.empty() ? messPath : std::string();
    delivery->files.content = small;
    delivery->files.append = append;
    delivery->files.stem = stem;
    delivery->files.suffix = smtp::MailboxSuffix;
    int heldBefore = 0;  // copies of this message bound for the spam folders so far
    for (const auto& user : recipients) {
        if (!settings::IsSafeUserName(user)) {
            Trace("**** TW user " + user + " cannot have a mailbox: not delivered");
            continue;
        }
        int held = 0;
        spam::TSpamFilter* const spamFilter = spam::Filter();
        const int level = spamFilter ? spamFilter->CheckSpam(user, sender, subject, held) : spam::NotSpam;
        // Counted as if the earlier recipients' copies were held already.
        held += heldBefore;
        const char* folder = smtp::FolderIn;
        if (level == spam::PossibleSpam || level == spam::ProbableSpam) {
            folder = level == spam::PossibleSpam ? smtp::FolderSpam1 : smtp::FolderSpam2;
            procs::DebugTrace("POP", sender, user,
                              level == spam::PossibleSpam ? "Marked as possible spam" : "Marked as probable spam");
            ++heldBefore;
        }
        delivery->files.copies.push_back({smtp::StoreFolder(folder), user + "_", std::string()});
        delivery->recipients.push_back({user, level, held});
    }
    delivery->headerLines = std::move(headerLines);
    delivery->messageId = messageId;

    // 5. Once every copy is on disk: the delivery filters, each recipient
    // in turn, then mess.txt goes.
    QPointer<TFrmServers> self(this);
    auto filter = [self, delivery, messPath, done = std::move(done), keep = std::move(keep)](platform::FsStatus status) {
        if (!self) return;
        auto& copies = delivery->files.copies;
        if (!status.ok()) {
            const auto failed = delivery->files.failed;
            done("mailbox file of " + (failed ? delivery->recipients[*failed].user : std::string("a recipient")) +
                 " could not be written");
            return;
        }
        if (keep && !keep()) {
            for (auto& copy : copies) platform::Env::Current()->Unlink(copy.path);
            done("no longer wanted");
            return;
        }
        try {
            for (size_t i = 0; i < copies.size(); ++i) {
                const std::string& file = copies[i].path;
                const Recipient& r = delivery->recipients[i];
                self->MarkSeen(delivery->messageId, r.user);
                // Rules first; what a rule moved or deleted gets nothing more.
                const FileState before = StateOf(file);
                AddInRule::ApplyRules(file, r.user, r.level, true, delivery->headerLines);
                // Risky attachments are defused in spam as well: released
                // spam reaches the mailbox without another check.
                const bool unchanged = delivery->checkedClean && before.exists && StateOf(file) == before;
                if (platform::FileExists(file) && IncomingCheckOn() && !unchanged)
                    virus::CheckIncomingAttachments(file, r.user, r.level);
                if (!platform::FileExists(file)) continue;
                self->QueueNewMailAlert(r.user);
                if (r.level != spam::NotSpam) {
                    spam::TSpamFilter* const spamFilter = spam::Filter();
                    if (spamFilter && spamFilter->ReportEveryDue(r.held)) spamFilter->SendSpamReport();
                } else {
                    holiday::AutoRespond(holiday::GetRecipientHeader(delivery->headerLines), r.user, file, false);
                    // Last: it may remove the user's own copy.
                    forward::ForwardMessage(r.user, file);
                }
            }
        } catch (const std::exception& e) {
            done(e.what());
            return;
        }
        platform::Env::Current()->Unlink(messPath);
        done(std::string());
    };
    // A large message is read through for the attachment check here, off
    // the event loop, rather than once per copy in the filters.
    const bool precheck = IncomingCheckOn() && !delivery->files.source.empty();
    Commits().Submit([delivery, precheck](commit::Committer& committer) {
        platform::FsStatus s = commit::StoreMailboxCopies(committer, delivery->files);
        if (s.ok() && precheck)
            delivery->checkedClean = !virus::NeedsDefusing(delivery->files.source, delivery->files.append);
        return s;
    }, std::move(filter));
}
