// Queue ids and Message-IDs of mail received by the SMTP server, and the end
// marker rule applied before a stored message is sent.
#include "transport/smtp.h"

#include "platform/files.h"

#include <cstdio>
#include <vector>

std::string TFrmSMTP::MakeQueueId(const std::string& firstChunk) {
    size_t lt = firstChunk.find('<');
    std::string text = firstChunk.substr(lt == std::string::npos ? 0 : lt + 1, 50);
    size_t gt = text.find('>');
    if (gt != std::string::npos) text.resize(gt);
    std::string id;
    for (char c : text)
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) id += c;
    return id + smtp::TimeStamp();
}

bool TFrmSMTP::AddMessageId(const std::string& file) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return false;
    // Only the header is read: the lines that end CR LF up to the first
    // empty one; the body may be of any size.
    std::int64_t pos = 0, lineStart = 0, insertAt = -1;
    std::string head;  // the first bytes of the line being read
    bool prevCr = false, found = false, failed = false;
    std::vector<char> buffer(64 * 1024);
    while (!found && insertAt < 0) {
        size_t n = std::fread(buffer.data(), 1, buffer.size(), f);
        if (n == 0) {
            failed = std::ferror(f) != 0;
            break;
        }
        for (size_t i = 0; i < n && !found && insertAt < 0; ++i, ++pos) {
            const char c = buffer[i];
            if (c == '\n' && prevCr) {
                if (pos - 1 == lineStart) insertAt = lineStart;
                else if (smtp::StartsWithNoCase(head, "message-id:")) found = true;
                lineStart = pos + 1;
                head.clear();
            } else if (head.size() < 16) {
                head += c;
            }
            prevCr = c == '\r';
        }
    }
    std::fclose(f);
    if (failed) return false;
    if (found || insertAt < 0) return true;
    std::string random = std::to_string(smtp::Random(1000000));
    random.insert(0, 6 - random.size(), '0');
    return smtp::InsertIntoFile(file, insertAt, "Message-ID: <" + smtp::DateTimeStamp() + random + ">\r\n");
}

bool TFrmSMTP::SendMessageFile(const std::string& file) {
    std::string text;
    // Most files end as they should: their tail tells, without reading a
    // message that may be very large.
    if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        char tail[6] = {};
        size_t n = 0;
        if (std::fseek(f, -6, SEEK_END) == 0) n = std::fread(tail, 1, 6, f);
        std::fclose(f);
        if (n == 6 && std::string(tail + 1, 5) == smtp::EndMarker) return true;
    }
    if (!platform::ReadFile(file, text)) return false;
    std::string full = smtp::WithEndMarker(text);
    if (full.size() == text.size()) return true;
    return smtp::RewriteFile(file, full);
}
