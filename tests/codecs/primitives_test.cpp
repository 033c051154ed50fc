// The program has one Blowfish and one Base64 encoder; every form built on
// them (stored passwords, AUTH, MIME, the crash library's cipher) must
// keep giving what the independent reference gives.
#include "codecs/auth.h"
#include "codecs/blowfish.h"
#include "codecs/cipher.h"
#include "codecs/codectables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "crypto_reference.h"

namespace {

std::uint32_t LoadBE(const std::string& s, std::size_t at) {
    return std::uint32_t(static_cast<unsigned char>(s[at])) << 24 |
           std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 16 |
           std::uint32_t(static_cast<unsigned char>(s[at + 2])) << 8 | static_cast<unsigned char>(s[at + 3]);
}

std::string StoreBE(std::uint32_t l, std::uint32_t r) {
    std::string out;
    for (std::uint32_t w : {l, r})
        for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(w >> shift);
    return out;
}

CipherBlowfish::TSchedule Keyed(const std::string& key) {
    CipherBlowfish::TSchedule s;
    s.Key(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    return s;
}

TEST(SharedBlowfish, BlockFunctionMatchesTheReferenceAtEveryKeyLength) {
    const auto rows = cryptoref::Reference("ecb");
    ASSERT_GT(rows.size(), 50u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 3u);
        const std::string key = cryptoref::FromHex(row[0]);
        const std::string plain = cryptoref::FromHex(row[1]);
        const std::string cipher = cryptoref::FromHex(row[2]);
        const auto s = Keyed(key);
        std::uint32_t l = LoadBE(plain, 0), r = LoadBE(plain, 4);
        s.Encipher(l, r);
        EXPECT_EQ(StoreBE(l, r), cipher) << row[0];
        s.Decipher(l, r);
        EXPECT_EQ(StoreBE(l, r), plain) << row[0];

        // The stored-password cipher is the same block function behind its
        // key-size rule.
        TBlowfishCipher c;
        c.Init(key.data(), static_cast<int>(key.size() * 8), nullptr);
        std::string out(8, '\0');
        c.EncryptECB(plain.data(), out.data());
        EXPECT_EQ(out, cipher) << row[0];
    }
}

TEST(SharedBlowfish, KeysBeyondTheScheduleAndEmptyKeys) {
    // Only the first 72 key bytes reach the P-array; the crash library
    // passes longer keys whole and relies on that.
    std::string longKey;
    for (int i = 0; i < 100; ++i) longKey += static_cast<char>(i * 7 + 3);
    const auto whole = Keyed(longKey);
    const auto cut = Keyed(longKey.substr(0, 72));
    std::uint32_t l1 = 1, r1 = 2, l2 = 1, r2 = 2;
    whole.Encipher(l1, r1);
    cut.Encipher(l2, r2);
    EXPECT_EQ(l1, l2);
    EXPECT_EQ(r1, r2);

    // An empty key keys nothing in: the expansion runs on pi alone, and
    // two such schedules agree. The password cipher refuses one instead.
    const auto a = Keyed(""), b = Keyed("");
    std::uint32_t la = 0, ra = 0, lb = 0, rb = 0;
    a.Encipher(la, ra);
    b.Encipher(lb, rb);
    EXPECT_EQ(la, lb);
    EXPECT_EQ(ra, rb);
    EXPECT_FALSE(la == 0 && ra == 0);
    TBlowfishCipher c;
    EXPECT_THROW(c.Init("", 0, nullptr), ECipherError);
}

TEST(SharedBlowfish, BurnLeavesNoKeyMaterial) {
    auto s = Keyed("secret key");
    s.Burn();
    for (std::uint32_t p : s.P) EXPECT_EQ(p, 0u);
    for (const auto& box : s.S)
        for (std::uint32_t v : box) ASSERT_EQ(v, 0u);
}

TEST(SharedBase64, EveryEncoderGivesTheReferenceText) {
    const auto rows = cryptoref::Reference("b64");
    ASSERT_GT(rows.size(), 80u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 2u);
        const std::string data = cryptoref::FromHex(row[0]);
        const std::string text = cryptoref::FromHex(row[1]);
        EXPECT_EQ(CodecTables::EncodeBase64(data), text) << data.size();
        EXPECT_EQ(auth::EncodeBase64(data), text) << data.size();
        EXPECT_EQ(CipherBase64::Encode(data), text) << data.size();
    }
}

TEST(SharedBase64, LineBreaksOnlyBetweenWholeLines) {
    struct Case {
        std::size_t bytes, lineLength;
        std::string expected;
    };
    const Case cases[] = {
        {0, 76, ""},
        {57, 76, std::string(76, 'A')},                    // exactly one line: no break
        {58, 76, std::string(76, 'A') + "\r\nAA=="},      // the break comes before the rest
        {6, 4, "AAAA\r\nAAAA"},
        {3, 0, "AAAA"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CodecTables::EncodeBase64(std::string(c.bytes, '\0'), c.lineLength), c.expected)
            << c.bytes << "/" << c.lineLength;
}

}  // namespace
