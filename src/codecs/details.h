// Stored-message helpers: read message files of the mail store (raw text
// as received, dot-stuffed, ending with "\r\n.\r\n") for the message lists,
// the attachment checks, the web pages and the message browser, without
// the caller parsing MIME itself. No state is kept between calls.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace details {

// A message file that exists but cannot be read. A file that is missing
// (or vanished meanwhile) is not an error: it gives empty results.
class EInOutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads a stored message as its real text: dot-stuffing undone, the end
// marker and anything after it dropped, lines ending in CRLF. False when
// the file does not exist.
bool LoadStoredMessage(const std::string& fileName, std::string& text);

// Scans the header block (at most 100 lines) for the first From, To,
// Subject and Date (decoded to UTF-8), the "X-AttachmentCount:" value
// (-1 when absent, 0 when not a number) and every "X-Attachment:" name,
// which are added to Attachments.
void ReadMessageHeaders(const std::string& fileName, std::string& From, std::string& To, std::string& Subject,
                        std::string& Date, int& AttachmentCount, std::vector<std::string>& Attachments);

// The names of a message's attachments: its "X-Attachment:" headers when it
// has an "X-AttachmentCount:" header, else those plus the names of
// uuencoded blocks and of name= parameters, without duplicates.
std::vector<std::string> SplitMessageParts(const std::string& fileName);

// The body to show: the HTML body when the message has one (IsHtml), else
// the plain-text part. Empty when the file does not exist.
void GetMessageBody(const std::string& fileName, bool& IsHtml, std::string& Body);

// The bytes of the attachment named AttachmentName (as it was placed in a
// web link, %xx escapes included), or a message text for the user.
void DecodeAttachment(const std::string& fileName, const std::string& AttachmentName, std::string& Data);

// "%xx" escapes (either case of hex digits) decoded once; "%00" is kept.
std::string UnescapeName(const std::string& name);

}  // namespace details
