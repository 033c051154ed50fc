// Quoted-printable, Base64 (tables and stream filters), uudecode and the
// binary digit helpers.
#include <gtest/gtest.h>

#include <random>

#include "codecs/codectables.h"
#include "codecs/codecutils.h"
#include "codecs/qevattfile.h"
#include "mime_testutil.h"

namespace {

TEST(CodecTables, QuotedPrintableDecoding) {
    struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"a=3Db", "a=b"},
        {"a_b", "a_b"},                       // "_" is a space only in encoded words
        {"caf=E9", "caf\xE9"},
        {"caf=e9", "caf\xE9"},
        {"soft=\r\nbreak", "softbreak"},
        {"soft=\nbreak", "softbreak"},
        {"5 =ZZ 6", "5 =ZZ 6"},               // not an escape: kept as written
        {"=4", "=4"},
        {"end=", "end"},
        {"line1\r\nline2", "line1\r\nline2"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CodecTables::DecodeQuotedPrintable(c.in), c.out) << c.in;
}

TEST(CodecTables, Base64MatchesKnownVectorsAndRoundTrips) {
    struct {
        std::string plain, encoded;
    } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        EXPECT_EQ(CodecTables::EncodeBase64(c.plain), c.encoded);
        EXPECT_EQ(CodecTables::DecodeBase64(c.encoded), c.plain);
    }
    // Line breaks and blanks inside the data do not misalign the groups;
    // an unpadded tail keeps its bytes.
    EXPECT_EQ(CodecTables::DecodeBase64("Zm9v\r\nYmFy"), "foobar");
    EXPECT_EQ(CodecTables::DecodeBase64("Zm 9v Ym E"), "fooba");
    EXPECT_EQ(CodecTables::DecodeBase64("Z"), "");

    std::mt19937 gen(7);
    for (int n : {1, 2, 3, 57, 58, 59, 1000}) {
        std::string bytes;
        for (int i = 0; i < n; ++i) bytes += static_cast<char>(gen());
        std::string wrapped = CodecTables::EncodeBase64(bytes, 76);
        for (const auto& line : qev_util::SplitLines(wrapped)) EXPECT_LE(line.size(), 76u);
        EXPECT_EQ(wrapped.substr(wrapped.size() - 2) == "\r\n", false);
        EXPECT_EQ(CodecTables::DecodeBase64(wrapped), bytes);
    }
}

TEST(CodecTables, EncodingStreamWritesLinesOf76AndTheLastGroup) {
    // Bytes arriving in odd pieces give the same text as one write.
    std::string bytes;
    for (int i = 0; i < 1024; ++i) bytes += static_cast<char>(i * 31);
    std::string target;
    {
        TBase64EncodingStream enc(target);
        for (std::size_t i = 0; i < bytes.size(); i += 5) enc.Write(bytes.substr(i, 5));
        EXPECT_EQ(enc.Position(), 1364);  // 341 whole groups so far
    }  // destruction writes the last group
    EXPECT_EQ(target, CodecTables::EncodeBase64(bytes, 76));
    EXPECT_EQ(target.substr(target.size() - 2), "==");
    EXPECT_EQ(target.substr(0, 76).find('\r'), std::string::npos);
    EXPECT_EQ(target.substr(76, 2), "\r\n");
    TBase64EncodingStream enc(target);
    char c;
    EXPECT_THROW(enc.Read(&c, 1), qev_util::EStreamError);
    EXPECT_THROW(enc.Seek(0, 0), qev_util::EStreamError);
}

TEST(CodecTables, DecodingStreamHandlesPiecesPadsAndLineBreaks) {
    struct {
        std::vector<std::string> pieces;
        std::string out;
    } cases[] = {
        {{"Zm9v", "YmFy"}, "foobar"},
        {{"Zm", "9vY", "g=="}, "foob"},
        {{"Zm9vYmE=\r\n"}, "fooba"},
        {{"Zm9v\r", "\nYg"}, "foob"},
        {{"====Zm9v"}, "foo"},  // a group of pads gives nothing
    };
    for (const auto& c : cases) {
        std::string target;
        TBase64DecodingStream dec(target);
        for (const auto& p : c.pieces) dec.Write(p);
        dec.Close();
        EXPECT_EQ(target, c.out);
    }
    std::string t;
    TBase64DecodingStream dec(t);
    char buf[1];
    EXPECT_THROW(dec.Read(buf, 1), qev_util::EStreamError);
}

TEST(CodecTables, UUDecode) {
    // "Cat" and a line of 45 bytes as written by uuencode(1).
    std::string out;
    ASSERT_TRUE(qev_util::UUDecodeLines(std::vector<std::string>{"begin 644 cat.txt", "#0V%T", "`", "end"}, out));
    EXPECT_EQ(out, "Cat");
    out.clear();
    // Trailing blanks trimmed away by a mailer still decode as zeros.
    ASSERT_TRUE(qev_util::UUDecodeLines(std::vector<std::string>{"\"``"}, out));
    EXPECT_EQ(out, std::string(2, '\0'));
    out.clear();
    EXPECT_FALSE(qev_util::UUDecodeLines(std::vector<std::string>{"#0v%t"}, out));  // lower case is not in the set
    TAttachedFile f;
    EXPECT_THROW(f.DecodeUU(std::vector<std::string>{"hello world"}), qev_util::EQevError);
}

TEST(CodecUtils, BinaryDigits) {
    struct {
        std::uint32_t value;
        int digits;
        const char* text;
    } cases[] = {{0, 0, "0"}, {0, 4, "0000"}, {5, 0, "101"}, {5, 8, "00000101"}, {255, 4, "11111111"}};
    for (const auto& c : cases) {
        EXPECT_EQ(CodecUtils::IntToBin(c.value, c.digits), c.text);
        EXPECT_EQ(CodecUtils::BinToInt(c.text), c.value);
    }
    EXPECT_EQ(CodecUtils::BinToInt("102"), 2u);
}

}  // namespace
