// Attached files and the Base64 stream filters of the MIME library.
#include "codecs/qevattfile.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "codecs/codectables.h"

namespace {
constexpr int kLineLength = 76;
constexpr std::size_t kBlockSize = 1024;
const char* const kInvalidStreamOperation = "Invalid stream operation";
}  // namespace

// --- TBase64EncodingStream -------------------------------------------------

TBase64EncodingStream::TBase64EncodingStream(std::string& target) : target_(target) {}

TBase64EncodingStream::~TBase64EncodingStream() { Close(); }

void TBase64EncodingStream::Put(char c) {
    if (column_ == kLineLength) {
        target_ += "\r\n";
        column_ = 0;
    }
    target_ += c;
    ++column_;
    ++written_;
}

void TBase64EncodingStream::Write(const void* data, std::size_t count) {
    const auto* p = static_cast<const unsigned char*>(data);
    const std::string_view abc = CodecTables::kBase64Alphabet;
    for (std::size_t i = 0; i < count; ++i) {
        pending_[pendingCount_++] = p[i];
        if (pendingCount_ < 3) continue;
        unsigned b0 = pending_[0], b1 = pending_[1], b2 = pending_[2];
        Put(abc[b0 >> 2]);
        Put(abc[((b0 & 3) << 4) | (b1 >> 4)]);
        Put(abc[((b1 & 15) << 2) | (b2 >> 6)]);
        Put(abc[b2 & 63]);
        pendingCount_ = 0;
    }
}

void TBase64EncodingStream::Close() {
    if (closed_) return;
    closed_ = true;
    const std::string_view abc = CodecTables::kBase64Alphabet;
    unsigned b0 = pending_[0], b1 = pending_[1];
    if (pendingCount_ == 1) {
        Put(abc[b0 >> 2]);
        Put(abc[(b0 & 3) << 4]);
        Put('=');
        Put('=');
    } else if (pendingCount_ == 2) {
        Put(abc[b0 >> 2]);
        Put(abc[((b0 & 3) << 4) | (b1 >> 4)]);
        Put(abc[(b1 & 15) << 2]);
        Put('=');
    }
    pendingCount_ = 0;
}

std::size_t TBase64EncodingStream::Read(void*, std::size_t) { throw qev_util::EStreamError(kInvalidStreamOperation); }
std::int64_t TBase64EncodingStream::Seek(std::int64_t, int) { throw qev_util::EStreamError(kInvalidStreamOperation); }

// --- TBase64DecodingStream -------------------------------------------------

TBase64DecodingStream::TBase64DecodingStream(std::string& target) : target_(target) {}

TBase64DecodingStream::~TBase64DecodingStream() { Close(); }

void TBase64DecodingStream::Write(const void* data, std::size_t count) {
    decoder_.Feed(std::string_view(static_cast<const char*>(data), count), target_);
}

void TBase64DecodingStream::Close() {
    if (closed_) return;
    closed_ = true;
    decoder_.Finish(target_);
}

std::size_t TBase64DecodingStream::Read(void*, std::size_t) { throw qev_util::EStreamError(kInvalidStreamOperation); }
std::int64_t TBase64DecodingStream::Seek(std::int64_t, int) { throw qev_util::EStreamError(kInvalidStreamOperation); }

// --- uudecode --------------------------------------------------------------

namespace qev_util {

bool UUDecodeLines(TLines lines, std::string& out, std::size_t* failedLine) {
    auto value = [](char c) -> int {
        if (c == '`' || c == ' ') return 0;
        if (c >= '!' && c <= '_') return c - ' ';
        return -1;
    };
    bool seenData = false;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        auto fail = [&] {
            if (failedLine) *failedLine = index;
            return false;
        };
        std::string_view line = lines[index];
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (line.empty()) continue;
        // "BEGIN..." could be a data line of 34 bytes; only a line before
        // any data is taken for the begin line.
        if (!seenData && line.size() >= 5 && SameText(line.substr(0, 5), "begin")) continue;
        if (SameText(Trim(line), "end")) continue;
        seenData = true;
        int count = value(line[0]);
        if (count < 0) return fail();
        std::size_t pos = 1;
        while (count > 0) {
            int v[4] = {0, 0, 0, 0};
            for (int k = 0; k < 4; ++k) {
                // Encoders that trim trailing blanks shorten the last group.
                char c = pos < line.size() ? line[pos] : ' ';
                ++pos;
                v[k] = value(c);
                if (v[k] < 0) return fail();
            }
            unsigned char bytes[3] = {static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
                                      static_cast<unsigned char>(((v[1] & 15) << 4) | (v[2] >> 2)),
                                      static_cast<unsigned char>(((v[2] & 3) << 6) | v[3])};
            for (int k = 0; k < 3 && count > 0; ++k, --count) out += static_cast<char>(bytes[k]);
        }
        // At most two characters past the groups (some encoders add a
        // check character), all from the set; anything longer was not a
        // uuencoded line.
        if (line.size() > pos + 2) return fail();
        for (; pos < line.size(); ++pos)
            if (value(line[pos]) < 0) return fail();
    }
    return true;
}

}  // namespace qev_util

// --- TAttachedFile ---------------------------------------------------------

TAttachedFile::TAttachedFile() : Body(std::make_unique<std::string>()) {}

void TAttachedFile::SaveToStream(std::ostream& stream) const {
    if (!Body) throw qev_util::EQevError("AttachedFile.Body = nil");
    stream.write(Body->data(), static_cast<std::streamsize>(Body->size()));
}

const std::string& TAttachedFile::GetBody() const {
    if (!Body) throw qev_util::EQevError("AttachedFile.Body = nil");
    return *Body;
}

void TAttachedFile::EncodeForSending() {
    Cancel = false;
    Base64.clear();
    std::ifstream in(FilePath, std::ios::binary);
    if (!in) throw qev_util::EFOpenError("Cannot open file \"" + FilePath + "\". " + std::strerror(errno));
    std::string bytes;
    std::string encoded;
    {
        TBase64EncodingStream encoder(encoded);
        char block[kBlockSize];
        for (;;) {
            if (Cancel) return;
            in.read(block, kBlockSize);
            std::size_t got = static_cast<std::size_t>(in.gcount());
            encoder.Write(block, got);
            bytes.append(block, got);
            if (got < kBlockSize) break;
        }
        if (in.bad()) throw qev_util::EFOpenError("Cannot read file \"" + FilePath + "\"");
        encoder.Close();
    }
    Base64 = qev_util::SplitLines(encoded);
    if (!Body) Body = std::make_unique<std::string>();
    *Body = std::move(bytes);
}

void TAttachedFile::DecodeBase64(qev_util::TLines lines) {
    if (!Body) Body = std::make_unique<std::string>();
    Body->clear();
    TBase64DecodingStream decoder(*Body);
    for (const std::string& line : lines) decoder.Write(line);
    decoder.Close();
}

void TAttachedFile::DecodeUU(qev_util::TLines lines) {
    std::string out;
    if (!qev_util::UUDecodeLines(lines, out)) throw qev_util::EQevError("Oops...");
    if (!Body) Body = std::make_unique<std::string>();
    *Body = std::move(out);
}

// --- TAttachedFiles --------------------------------------------------------

TAttachedFile& TAttachedFiles::AddFile(const std::string& path) {
    TAttachedFile& f = Add();
    std::size_t slash = path.find_last_of('/');
    f.FileName = slash == std::string::npos ? path : path.substr(slash + 1);
    f.FilePath = path;
    f.ContentType = qev_util::ContentTypeOfExtension(path);
    return f;
}

TAttachedFile& TAttachedFiles::Add() {
    items_.push_back(std::make_unique<TAttachedFile>());
    return *items_.back();
}
