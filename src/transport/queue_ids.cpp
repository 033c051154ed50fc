// Queue ids and Message-IDs of mail received by the SMTP server, and the end
// marker rule applied before a stored message is sent.
#include "transport/smtp.h"

#include "platform/env.h"
#include "platform/files.h"
#include "transport/message_rewrite.h"

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

std::string TFrmSMTP::NewMessageIdLine() {
    std::string random = std::to_string(smtp::Random(1000000));
    random.insert(0, 6 - random.size(), '0');
    return "Message-ID: " + smtp::GeneratedMessageId(smtp::DateTimeStamp() + random) + "\r\n";
}

bool TFrmSMTP::AddMessageId(const std::string& file) {
    rewrite::Insertion where;
    if (!rewrite::MessageIdInFile(*platform::Env::Current(), file, NewMessageIdLine(), where).ok()) return false;
    return !where.Any() || smtp::InsertIntoFile(file, where.offset, where.text);
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
