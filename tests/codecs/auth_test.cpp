// The authentication codecs against the RFC vectors (4648, 1321, 2202, 2195,
// 4616) and against python3's base64, hashlib and hmac on random inputs.
#include "codecs/auth.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
#include "codecs/crypto_reference.h"

namespace {

using namespace std::string_literals;

using cryptoref::FromHex;

using cryptoref::Reference;

TEST(AuthBase64, Rfc4648Vectors) {
    const char* vectors[][2] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                                {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(auth::EncodeBase64(v[0]), v[1]);
        EXPECT_EQ(auth::DecodeBase64(v[1]), v[0]);
    }
    // Every byte value survives, including NUL and the high half.
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(auth::DecodeBase64(auth::EncodeBase64(all)), all);
}

TEST(AuthBase64, DecoderSkipsForeignCharactersAndStopsAtPad) {
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QUI", "AB"},             // no pad: what whole bytes there are
        {"QUJDR", "ABC"},          // a single trailing symbol holds no byte
        {"Q", ""},
        {"Zm9v\r\nYmFy", "foobar"},  // a line break inside the data
        {"Zm9v YmFy\t", "foobar"},
        {"QQ==QUJD", "A"},         // nothing after the pad
        {"=QUJD", ""},
        {"\x01\x7f\x80\xff" "QUJD", "ABC"},
        {"Q\0UJD"s, "ABC"},
        {"*.!QU~JD", "ABC"},
    };
    for (const auto& c : cases) EXPECT_EQ(auth::DecodeBase64(c.text), c.bytes) << c.text;
}

TEST(AuthBase64, CustomAlphabetAndTable) {
    // A URL-safe alphabet with "." as its pad, and the table to read it.
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";
    std::string table(96, '@');
    for (int v = 0; v < 64; ++v) table[static_cast<unsigned char>(alphabet[v]) - 33] = static_cast<char>(v);
    const std::string data = "\xfb\xff\xfe\x01";
    EXPECT_EQ(auth::EncodeBase64WithAlphabet(data, alphabet), "-__-AQ..");
    EXPECT_EQ(auth::DecodeBase64WithTable("-__-AQ..", table), data);

    EXPECT_THROW(auth::EncodeBase64WithAlphabet("x", alphabet.substr(0, 64)), std::invalid_argument);
    // A short table must never be read past its end.
    EXPECT_EQ(auth::DecodeBase64WithTable("QUJD~~~~", auth::Base64DecodeTable.substr(0, 40)), "");
    EXPECT_EQ(auth::DecodeBase64WithTable("QUJD", ""), "");
}

TEST(AuthPlain, SplitsAsRfc4616) {
    const struct {
        std::string decoded, user, password, authzid;
    } cases[] = {
        {"\0tim\0tanstaaftanstaaf"s, "tim", "tanstaaftanstaaf", ""},
        {"admin\0tim\0secret"s, "tim", "secret", "admin"},
        {"\0\0"s, "", "", ""},
        {"\0tim\0"s, "tim", "", ""},
        {"\0user with space\0p@ss w=rd"s, "user with space", "p@ss w=rd", ""},
        // Malformed: fewer than two NULs, or a NUL inside the password.
        {"", "", "", ""},
        {"x", "", "", ""},
        {"\0"s, "", "", ""},
        {"\0timsecret"s, "", "", ""},
        {"\0tim\0sec\0ret"s, "", "", ""},
    };
    for (const auto& c : cases) {
        std::string user = "stale", password = "stale", authzid = "stale";
        auth::SplitPlainCredentials(c.decoded, user, password, &authzid);
        EXPECT_EQ(user, c.user) << c.decoded.size() << "-byte input";
        EXPECT_EQ(password, c.password) << c.decoded.size() << "-byte input";
        EXPECT_EQ(authzid, c.authzid) << c.decoded.size() << "-byte input";
        std::string user2, password2;
        auth::SplitPlainCredentials(c.decoded, user2, password2);
        EXPECT_EQ(user2, c.user);
        EXPECT_EQ(password2, c.password);
    }
}

TEST(AuthDigest, Rfc1321Suite) {
    const char* vectors[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : vectors) {
        const std::string digest = auth::MD5Digest(v[0]);
        EXPECT_EQ(digest.size(), 16u);
        EXPECT_EQ(auth::DigestToHex(digest), v[1]) << v[0];
    }
}

TEST(AuthDigest, Rfc2202HmacMd5) {
    const struct {
        std::string key, text;
        const char* mac;
    } cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const auto& c : cases) EXPECT_EQ(auth::DigestToHex(auth::HmacMD5(c.text, c.key)), c.mac) << c.text;
}

TEST(AuthDigest, KeyLongerThanABlockIsHashedFirst) {
    const std::string text = "text";
    const std::string key64(64, 'k'), key65(65, 'k');
    EXPECT_EQ(auth::HmacMD5(text, key65), auth::HmacMD5(text, auth::MD5Digest(key65)));
    EXPECT_NE(auth::HmacMD5(text, key64), auth::HmacMD5(text, auth::MD5Digest(key64)));
}

TEST(AuthDigest, Rfc2195CramMd5Example) {
    const std::string challenge =
        auth::DecodeBase64("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
    const std::string answer = "tim " + auth::DigestToHex(auth::HmacMD5(challenge, "tanstaaftanstaaf"));
    EXPECT_EQ(answer, "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(auth::EncodeBase64(answer), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(AuthDigest, AgreesWithPythonOnRandomInputs) {
    const auto rows = Reference("auth");
    ASSERT_EQ(rows.size(), 180u) << "reference script failed";
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 4u);
        const std::string data = FromHex(row[1]), key = FromHex(row[2]), expected = row[3];
        if (row[0] == "md5") {
            EXPECT_EQ(auth::DigestToHex(auth::MD5Digest(data)), expected) << data.size() << " bytes";
        } else if (row[0] == "hmac") {
            EXPECT_EQ(auth::DigestToHex(auth::HmacMD5(data, key)), expected)
                << data.size() << " bytes, key " << key.size();
        } else {
            const std::string text = FromHex(expected);
            EXPECT_EQ(auth::EncodeBase64(data), text) << data.size() << " bytes";
            EXPECT_EQ(auth::DecodeBase64(text), data) << data.size() << " bytes";
        }
    }
}

}  // namespace
