// The one road from a stored message to the wire: whatever bytes a stored
// message holds, a reader of the wire text finds exactly one end marker, at
// its end, and every line ends CR LF; the result does not depend on how the
// file was cut into chunks.
#include "transport/store.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What a receiver makes of a wire text: the lines up to the first "." line,
// and whether anything followed it.
struct Reading {
    int endMarkers = 0;
    bool bareBreak = false;
    bool textAfterEnd = false;
};

Reading Read(const std::string& wire) {
    Reading r;
    size_t pos = 0;
    while (pos < wire.size()) {
        size_t crlf = wire.find("\r\n", pos);
        if (crlf == std::string::npos) {
            r.textAfterEnd = r.textAfterEnd || r.endMarkers > 0;
            break;
        }
        std::string line = wire.substr(pos, crlf - pos);
        if (line.find_first_of("\r\n") != std::string::npos) r.bareBreak = true;
        if (r.endMarkers > 0) r.textAfterEnd = true;
        if (line == ".") ++r.endMarkers;
        pos = crlf + 2;
    }
    return r;
}

std::string ByteByByte(const std::string& stored, long top = -1) {
    smtp::WireWriter w(top);
    std::string out;
    for (char c : stored) w.Feed(&c, 1, out);
    w.Finish(out);
    return out;
}

TEST(WireText, StoredMessagesGoOutWithExactlyOneEnd) {
    struct Case {
        const char* name;
        std::string stored, wire;
    } cases[] = {
        {"stored form", "A: 1\r\n\r\nbody\r\n..dot\r\n.\r\n", "A: 1\r\n\r\nbody\r\n..dot\r\n.\r\n"},
        {"empty message as DATA stores it", ".\r\n", ".\r\n"},
        {"empty file", "", ".\r\n"},
        {"no final CR LF", "A: 1\r\n\r\nbody", "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"CR LF but no end marker", "A: 1\r\n\r\nbody\r\n", "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"last dot line without CR LF", "a\r\n.", "a\r\n.\r\n"},
        {"dot then bare LF", "a\r\n.\nMAIL FROM:<x>\r\n.\r\n", "a\r\n..\r\nMAIL FROM:<x>\r\n.\r\n"},
        {"dot then bare CR", "a\r\n.\rMAIL FROM:<x>\r\n.\r\n", "a\r\n..\r\nMAIL FROM:<x>\r\n.\r\n"},
        {"bare LF then dot", "a\n.\r\nRSET\r\n.\r\n", "a\r\n..\r\nRSET\r\n.\r\n"},
        {"bare CR then dot", "a\r.\r\nRSET\r\n.\r\n", "a\r\n..\r\nRSET\r\n.\r\n"},
        {"text after the end marker is not sent", "a\r\n.\r\nRSET\r\n", "a\r\n.\r\n"},
        {"bare CR at the very end", "a\r", "a\r\n.\r\n"},
        {"dot and bare CR at the very end", "a\r\n.\r", "a\r\n..\r\n.\r\n"},
        {"stuffed dot line kept", "..\r\n.\r\n", "..\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(smtp::WireText(c.stored), c.wire) << c.name;
        EXPECT_EQ(ByteByByte(c.stored), c.wire) << c.name;
        Reading r = Read(c.wire);
        EXPECT_EQ(r.endMarkers, 1) << c.name;
        EXPECT_FALSE(r.bareBreak) << c.name;
        EXPECT_FALSE(r.textAfterEnd) << c.name;
    }
}

TEST(WireText, NoByteSequenceEndsTheTransferEarly) {
    // Every short string over the bytes that matter, as a stored body.
    const char alphabet[] = {'\r', '\n', '.', 'x'};
    std::string s;
    for (int len = 1; len <= 6; ++len) {
        int total = 1;
        for (int i = 0; i < len; ++i) total *= 4;
        for (int n = 0; n < total; ++n) {
            s.clear();
            for (int i = 0, v = n; i < len; ++i, v /= 4) s += alphabet[v % 4];
            const std::string stored = "A: 1\r\n\r\n" + s;
            const std::string wire = smtp::WireText(stored);
            Reading r = Read(wire);
            ASSERT_EQ(r.endMarkers, 1) << testing::PrintToString(stored);
            ASSERT_FALSE(r.bareBreak) << testing::PrintToString(stored);
            ASSERT_FALSE(r.textAfterEnd) << testing::PrintToString(stored);
            ASSERT_EQ(ByteByByte(stored), wire) << testing::PrintToString(stored);
        }
    }
}

TEST(WireText, TopFormStopsAfterTheAskedBodyLines) {
    const std::string msg = "A: 1\nB: 2\r\n\r\nl1\r\n..l2\rl3\r\n.\r\n";
    struct Case {
        long lines;
        std::string wire;
    } cases[] = {
        {0, "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {2, "A: 1\r\nB: 2\r\n\r\nl1\r\n..l2\r\n.\r\n"},
        {99, "A: 1\r\nB: 2\r\n\r\nl1\r\n..l2\r\nl3\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(smtp::WireText(msg, c.lines), c.wire) << c.lines;
        EXPECT_EQ(ByteByByte(msg, c.lines), c.wire) << c.lines;
    }
    // A message without body gets the empty line that ends a header.
    EXPECT_EQ(smtp::WireText(".\r\n", 3), "\r\n.\r\n");
}

TEST(WireText, EmptyMessageCountsAsEnded) {
    EXPECT_EQ(smtp::WithEndMarker(".\r\n"), ".\r\n");
    EXPECT_EQ(smtp::WithEndMarker(""), "\r\n.\r\n");
}

}  // namespace
