// Attached files of a MIME message and the Base64 stream filters that
// encode them for sending and decode them on receipt. All work happens in
// memory: no temporary files, no waiting on other events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/codectables.h"
#include "codecs/qev_util.h"

// Write-only filter: bytes written come out Base64-encoded in the target,
// CRLF after every 76 characters. The last group is written by Close (or
// on destruction).
class TBase64EncodingStream {
public:
    explicit TBase64EncodingStream(std::string& target);
    ~TBase64EncodingStream();
    TBase64EncodingStream(const TBase64EncodingStream&) = delete;
    TBase64EncodingStream& operator=(const TBase64EncodingStream&) = delete;

    void Write(const void* data, std::size_t count);
    void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
    void Close();
    // Characters of Base64 written so far (the only position it knows).
    std::int64_t Position() const { return written_; }
    // Reading and seeking are not possible: "Invalid stream operation".
    [[noreturn]] std::size_t Read(void* data, std::size_t count);
    [[noreturn]] std::int64_t Seek(std::int64_t offset, int origin);

private:
    void Put(char c);
    std::string& target_;
    unsigned char pending_[3] = {0, 0, 0};
    int pendingCount_ = 0;
    int column_ = 0;
    std::int64_t written_ = 0;
    bool closed_ = false;
};

// Write-only filter: Base64 text written comes out decoded in the target;
// line breaks (and anything else outside the alphabet) are skipped.
class TBase64DecodingStream {
public:
    explicit TBase64DecodingStream(std::string& target);
    ~TBase64DecodingStream();
    TBase64DecodingStream(const TBase64DecodingStream&) = delete;
    TBase64DecodingStream& operator=(const TBase64DecodingStream&) = delete;

    void Write(const void* data, std::size_t count);
    void Write(std::string_view text) { Write(text.data(), text.size()); }
    void Close();
    [[noreturn]] std::size_t Read(void* data, std::size_t count);
    [[noreturn]] std::int64_t Seek(std::int64_t offset, int origin);

private:
    std::string& target_;
    CodecTables::TBase64Decoder decoder_;
    bool closed_ = false;
};

namespace qev_util {
// uudecodes the data lines of a block (a leading "begin" line and the
// "end" line carry no data and are skipped). False when a line holds a
// character outside the uuencode set; out then holds what decoded before
// it and *failedLine (when given) is that line's index.
bool UUDecodeLines(TLines lines, std::string& out, std::size_t* failedLine = nullptr);
}  // namespace qev_util

class TAttachedFile {
public:
    TAttachedFile();

    std::string FileName;     // without folder
    std::string FilePath;     // the source file, for sending
    std::string ContentType;
    qev_util::TStrings Base64;  // the file as Base64 lines, filled by EncodeForSending
    std::unique_ptr<std::string> Body;  // the raw bytes
    bool Cancel = false;      // stops EncodeForSending between blocks

    // Copies Body from its start into the stream; "AttachedFile.Body = nil"
    // when there is no body.
    void SaveToStream(std::ostream& stream) const;
    const std::string& GetBody() const;

    // Reads FilePath in blocks of 1024 bytes through a Base64 encoder into
    // Base64 and loads Body from it. EFOpenError when it cannot be read.
    void EncodeForSending();

    // Decoding of a received part into Body.
    void DecodeBase64(qev_util::TLines lines);
    // "Oops..." when a line holds a character outside the uuencode set.
    void DecodeUU(qev_util::TLines lines);
};

class TAttachedFiles {
public:
    // FileName is the path's file-name part, the content type comes from
    // its extension.
    TAttachedFile& AddFile(const std::string& path);
    TAttachedFile& Add();
    TAttachedFile& GetItem(std::size_t index) { return *items_.at(index); }
    const TAttachedFile& GetItem(std::size_t index) const { return *items_.at(index); }
    TAttachedFile& operator[](std::size_t index) { return GetItem(index); }
    const TAttachedFile& operator[](std::size_t index) const { return GetItem(index); }
    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    void Clear() { items_.clear(); }

private:
    std::vector<std::unique_ptr<TAttachedFile>> items_;
};
