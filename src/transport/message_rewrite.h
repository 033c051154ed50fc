// The two changes a message the SMTP server accepts may get before it is
// stored: a Message-ID header when it has none, and the office's footer.
// Both are found by reading the message once in pieces (it may be very
// large) and go in by streaming it into a new file; nothing here reads
// settings, so the work can run on any thread with what the session
// decided handed to it as plain data.
#pragma once

#include "platform/env.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rewrite {

// Text to put into a message before the byte at offset.
struct Insertion {
    std::int64_t offset = -1;  // none
    std::string text;
    bool Any() const { return offset >= 0; }
};

// The footer memo's lines (footer.dat) and footer.html's lines. An HTML
// footer goes before the first "</BODY>" of a text part: footer.html's
// lines when there are any, else the memo's lines each after "<BR>". A
// text footer (the memo's lines) goes before the first end marker or
// "begin" line, when that line is in a text part whose encoding keeps
// lines as they are; where it would corrupt the body it is left out.
struct Footer {
    std::vector<std::string> lines, htmlLines;
    bool Empty() const { return lines.empty() && htmlLines.empty(); }
};

// Where the footer goes in a message held whole. html: an HTML footer
// where the message has "</BODY>", else a text footer; !html: a text one.
Insertion FooterInText(const std::string& message, const Footer& footer, bool html);
// The same for a message file.
platform::FsStatus FooterInFile(platform::Env& env, const std::string& file, const Footer& footer, bool html,
                                Insertion& where);

// Where line (a whole header line, CR LF included) goes in a message file
// without a Message-ID: before the empty line that ends its header. None
// when the header has one, or never ends.
platform::FsStatus MessageIdInFile(platform::Env& env, const std::string& file, const std::string& line,
                                   Insertion& where);

// target made a copy of source with the insertions in, each at its offset
// in source (two at one offset go in their given order): written to a
// temp file beside target, synced, renamed to target. target may be
// source. The folder is not synced. On failure the temp file is gone and
// target is as it was.
platform::FsStatus WriteWithInsertions(platform::Env& env, const std::string& source, const std::string& target,
                                       std::vector<Insertion> insertions);

// Streams in into out with each insertion put in before the byte at its
// offset (two at one offset in their given order). EINVAL when an offset
// lies past the end: the file is not the one planned for.
platform::FsStatus CopyWithInsertions(platform::SequentialFile& in, platform::WritableFile& out,
                                      std::vector<Insertion> insertions);

}  // namespace rewrite
