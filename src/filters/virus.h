// Attachment check: attachments whose names match the risky patterns of
// [Virus] (File1..FileCount) are defused in delivered messages by changing
// the last character of the name to "_", and the recipient is told which
// files were changed. For mail that local users send, a chosen local user is
// warned instead; the sent message itself is left alone.
//
// Entry points of the delivery chain:
//   virus::CheckIncomingAttachments(msgFile, user, spamLevel)
//       after the rules, when the settings' incoming check (CHBInVirus) is
//       ticked and the mailbox file still exists. spamLevel: 0 filed in the
//       inbox, 1/2 filed as spam; SMTP local delivery and release of held
//       spam pass 1, so only fetched inbox mail can be moved to Spam1.
//   virus::NotifyOutgoingRisk(sender, attachmentNames)
//       for each message a local user sends through the SMTP server, with
//       the names of its attachments (details::SplitMessageParts).
// Both write their notices into the mailbox folders and report nothing.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace virus {

// Rewrites msgFile with every risky attachment name defused; with a risky
// name found, writes the "Virus Possibility" notice for user. When the
// message was filed in the inbox (spamLevel 0) and the settings move
// possible virus mail to spam, the message and its notice go to Spam1.
// Returns true when a risky name was found. A file that cannot be rewritten
// stays as it was.
bool CheckIncomingAttachments(const std::string& msgFile, const std::string& user, int spamLevel);
// Whether CheckIncomingAttachments would find or change anything in the
// text of msgFile followed by tail; true as well when it cannot be read.
// Writes nothing and touches no table: it may run on any thread.
bool NeedsDefusing(const std::string& msgFile, const std::string& tail);

// Warns the user chosen in the settings (CBXOutWarn) when a local user sends
// at least one risky attachment; the warning lists every attachment. Returns
// true when a warning was written.
bool NotifyOutgoingRisk(const std::string& sender, const std::vector<std::string>& attachmentNames);

// True when any pattern of [Virus] matches the name. The patterns are read
// from the settings file on every call; FileCount absent means no pattern.
bool IsRiskyName(const std::string& name);

// Whole-name match ignoring case: "?" one character, "*" any run.
bool WildcardMatch(const std::string& name, const std::string& pattern);

// "(95%)" .. "(20%)": a rough likelihood that the file carries a virus.
std::string RiskLabel(const std::string& name, bool isApplication);

// The text with every occurrence of character replaced.
std::string StripChar(const std::string& text, char character, const std::string& replacement);

// The work of DefuseText on a message that arrives in pieces of any size,
// holding no more than one header block (bounded by kMaxHeld) and one line:
// the result goes to sink as it is made and is the same, byte for byte, as
// DefuseText's for any way of cutting the text. A header block or line
// longer than kMaxHeld is judged in pieces of about that size.
class DefuseStream {
public:
    using Sink = std::function<bool(const char*, size_t)>;
    static constexpr size_t kMaxHeld = 1 << 20;

    DefuseStream(std::vector<std::string>& notice, Sink sink);
    void Feed(const char* data, size_t size);
    // Ends the text; false when the sink failed at any point.
    bool Finish();
    // Whether anything was written other than as it came in.
    bool Changed() const { return changed_; }

    // A header field of a part: its name and the indexes of its lines.
    struct Field {
        std::string name;  // lower case
        std::size_t first, last;
    };

private:
    void TakeLine(const std::string& raw);
    bool EndBlock();
    void Emit(const std::string& text, const std::string& ending);

    std::vector<std::string>& notice_;
    Sink sink_;
    std::string partial_;
    bool inHeader_ = true;
    std::vector<std::pair<std::string, std::string>> block_;  // text, line end
    std::vector<Field> fields_;
    size_t held_ = 0;
    std::string lastName_;
    bool changed_ = false;
    bool ok_ = true;
};

// The message text with its risky names defused (the work of
// CheckIncomingAttachments without the files); notice receives one line per
// defused file. Exposed for the tests.
std::string DefuseText(const std::string& text, std::vector<std::string>& notice);

}  // namespace virus
