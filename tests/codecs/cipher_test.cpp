// The cipher library against published vectors and against an independent
// reference (python3 hashlib and python3-cryptography's Blowfish block, with
// the modes built on top of it in tests/codecs/scripts/crypto_reference.py).
#include "codecs/cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include "codecs/crypto_reference.h"

namespace {

using cryptoref::FromHex;

std::string ToHex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

using cryptoref::Reference;

std::string Sha1(const std::string& data, std::size_t chunk = 0) {
    TSha1Hash hash;
    hash.Init();
    if (chunk == 0) {
        hash.UpdateStr(data);
    } else {
        for (std::size_t i = 0; i < data.size(); i += chunk) hash.UpdateStr(data.substr(i, chunk));
    }
    std::string digest(20, '\0');
    hash.Final(digest.data());
    return ToHex(digest);
}

std::string EcbEncrypt(const std::string& key, const std::string& plain) {
    TBlowfishCipher cipher;
    cipher.Init(key.data(), static_cast<int>(key.size() * 8), nullptr);
    std::string out(8, '\0');
    cipher.EncryptECB(plain.data(), out.data());
    std::string back(8, '\0');
    cipher.DecryptECB(out.data(), back.data());
    EXPECT_EQ(ToHex(back), ToHex(plain)) << "decipher of " << ToHex(out);
    return ToHex(out);
}

// ---------------------------------------------------------------- SHA-1

TEST(Sha1, PublishedDigests) {
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        // The digest must not depend on how the data is handed over.
        for (std::size_t chunk : {0, 1, 3, 63, 64, 65}) {
            if (c.text.size() > 100000 && chunk != 0 && chunk < 63) continue;
            EXPECT_EQ(Sha1(c.text, chunk), c.digest) << c.text.size() << " bytes, chunk " << chunk;
        }
    }
    EXPECT_TRUE(TSha1Hash().SelfTest());
}

TEST(Sha1, AgreesWithHashlib) {
    const auto rows = Reference("sha1");
    ASSERT_GE(rows.size(), 130u) << "reference script failed";
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 2u);
        EXPECT_EQ(Sha1(FromHex(row[0])), row[1]) << row[0].size() / 2 << " bytes";
    }
}

TEST(Sha1, RefusesWorkWhenNotInitialised) {
    TSha1Hash hash;
    std::string digest(20, '\0');
    EXPECT_THROW(hash.UpdateStr("x"), EHashError);
    EXPECT_THROW(hash.Final(digest.data()), EHashError);
    hash.Init();
    hash.UpdateStr("abc");
    hash.Final(digest.data());
    // Final leaves nothing behind to continue from.
    EXPECT_FALSE(hash.Initialized());
    try {
        hash.UpdateStr("more");
        ADD_FAILURE() << "no exception";
    } catch (const EHashError& e) {
        EXPECT_STREQ(e.what(), "Hash not initialized");
    }
}

// ---------------------------------------------------------------- Blowfish

TEST(Blowfish, PublishedEcbVectors) {
    const char* vectors[][3] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
        {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
        {"1111111111111111", "0123456789abcdef", "7d0cc630afda1ec7"},
        {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
        {"7ca110454a1a6e57", "01a1d6d039776742", "59c68245eb05282b"},
        {"0131d9619dc1376e", "5cd54ca83def57da", "b1b8cc0b250f09a0"},
        {"07a1133e4a0b2686", "0248d43806f67172", "1730e5778bea1da4"},
        {"3849674c2602319e", "51454b582ddf440a", "a25e7856cf2651eb"},
        {"04b915ba43feb5b6", "42fd443059577fa2", "353882b109ce8f1a"},
        {"0113b970fd34f2ce", "059b5e0851cf143a", "48f4d0884c379918"},
        {"0170f175468fb5e6", "0756d8e0774761d2", "432193b78951fc98"},
        {"43297fad38e373fe", "762514b829bf486a", "13f04154d69d1ae5"},
        {"07a7137045da2a16", "3bdd119049372802", "2eedda93ffd39c79"},
        {"04689104c2fd3b2f", "26955f6835af609a", "d887e0393c2da6e3"},
        {"37d06bb516cb7546", "164d5e404f275232", "5f99d04f5b163969"},
        {"1f08260d1ac2465e", "6b056e18759f5cca", "4a057a3b24d3977b"},
        {"584023641aba6176", "004bd6ef09176062", "452031c1e4fada8e"},
        {"025816164629b007", "480d39006ee762f2", "7555ae39f59b87bd"},
        {"49793ebc79b3258f", "437540c8698f3cfa", "53c55f9cb49fc019"},
        {"4fb05e1515ab73a7", "072d43a077075292", "7a8e7bfa937e89a3"},
        {"49e95d6d4ca229bf", "02fe55778117f12a", "cf9c5d7a4986adb5"},
        {"018310dc409b26d6", "1d9d5c5018f728c2", "d1abb290658bc778"},
        {"1c587f1c13924fef", "305532286d6f295a", "55cb3774d13ef201"},
        {"0101010101010101", "0123456789abcdef", "fa34ec4847b268b2"},
        {"1f1f1f1f0e0e0e0e", "0123456789abcdef", "a790795108ea3cae"},
        {"e0fee0fef1fef1fe", "0123456789abcdef", "c39e072d9fac631d"},
        {"0000000000000000", "ffffffffffffffff", "014933e0cdaff6e4"},
        {"ffffffffffffffff", "0000000000000000", "f21e9a77b71c49bc"},
        {"0123456789abcdef", "0000000000000000", "245946885754369a"},
        {"fedcba9876543210", "ffffffffffffffff", "6b5c5a9c5d9e0a5a"},
    };
    for (const auto& v : vectors)
        EXPECT_EQ(EcbEncrypt(FromHex(v[0]), FromHex(v[1])), v[2]) << "key " << v[0];
    EXPECT_TRUE(TBlowfishCipher().SelfTest());
}

TEST(Blowfish, PublishedVariableKeyVectors) {
    // Keys of 1 to 24 bytes, each a prefix of one long key, all enciphering
    // the same block.
    const std::string longKey = FromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f0011223344556677");
    const char* expected[] = {
        "f9ad597c49db005e", "e91d21c1d961a6d6", "e9c2b70a1bc65cf3", "be1e639408640f05",
        "b39e44481bdb1e6e", "9457aa83b1928c0d", "8bb77032f960629d", "e87a244e2cc85e82",
        "15750e7a4f4ec577", "122ba70b3ab64ae0", "3a833c9affc537f6", "9409da87a90f6bf2",
        "884f80625060b8b4", "1f85031c19e11968", "79d9373a714ca34f", "93142887ee3be15c",
        "03429e838ce2d14b", "a4299e27469ff67b", "afd5aed1c1bc96a8", "10851c0e3858da9f",
        "e6f51ed79b9db21f", "64a6e14afd36b46f", "80c7d7d45a5479ad", "05044b62fa52d080",
    };
    for (std::size_t len = 1; len <= 24; ++len)
        EXPECT_EQ(EcbEncrypt(longKey.substr(0, len), FromHex("fedcba9876543210")), expected[len - 1])
            << len << "-byte key";
}

TEST(Blowfish, KeySizeLimits) {
    const std::string key(64, '\x5a');
    const struct {
        int bits;
        bool ok;
    } cases[] = {{0, false}, {-8, false}, {4, false}, {12, false}, {8, true},
                 {64, true}, {160, true}, {448, true}, {452, false}, {456, false}};
    for (const auto& c : cases) {
        TBlowfishCipher cipher;
        if (c.ok) {
            EXPECT_NO_THROW(cipher.Init(key.data(), c.bits, nullptr)) << c.bits;
            EXPECT_TRUE(cipher.Initialized());
        } else {
            try {
                cipher.Init(key.data(), c.bits, nullptr);
                ADD_FAILURE() << c.bits << " bits accepted";
            } catch (const ECipherError& e) {
                EXPECT_STREQ(e.what(), "Invalid key size") << c.bits;
            }
            EXPECT_FALSE(cipher.Initialized()) << c.bits;
        }
    }
}

TEST(Blowfish, EveryOperationNeedsAKey) {
    TBlowfishCipher cipher;
    char block[8] = {};
    const std::string key = "12345678";
    const std::function<void()> operations[] = {
        [&] { cipher.EncryptECB(block, block); },       [&] { cipher.DecryptECB(block, block); },
        [&] { cipher.Encrypt(block, block, 8); },       [&] { cipher.Decrypt(block, block, 8); },
        [&] { cipher.EncryptCFB8bit(block, block, 1); }, [&] { cipher.DecryptCTR(block, block, 8); },
        [&] { cipher.EncryptString("x"); },             [&] { cipher.Reset(); },
    };
    for (int round = 0; round < 2; ++round) {
        // Once before any key, once after Burn.
        for (const auto& op : operations) {
            try {
                op();
                ADD_FAILURE() << "no exception in round " << round;
            } catch (const ECipherBlockError& e) {
                EXPECT_STREQ(e.what(), "Cipher not initialized");
            }
        }
        cipher.Init(key.data(), 64, nullptr);
        EXPECT_NO_THROW(cipher.Encrypt(block, block, 8));
        cipher.Burn();
        EXPECT_FALSE(cipher.Initialized());
    }
}

// ---------------------------------------------------------------- modes

TEST(BlockModes, AgreeWithIndependentReference) {
    const auto rows = Reference("modes");
    ASSERT_EQ(rows.size(), 200u) << "reference script failed";
    const std::map<std::string, TCipherMode> modes = {{"cbc", cmCBC},
                                                      {"cfb8", cmCFB8bit},
                                                      {"cfbblock", cmCFBblock},
                                                      {"ofb", cmOFB},
                                                      {"ctr", cmCTR}};
    std::mt19937 rng(7);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 5u);
        const std::string key = FromHex(row[1]), iv = FromHex(row[2]);
        const std::string plain = FromHex(row[3]), expected = FromHex(row[4]);
        SCOPED_TRACE(row[0] + " key " + row[1] + " data " + std::to_string(plain.size()));

        TBlowfishCipher cipher;
        cipher.CipherMode = modes.at(row[0]);
        cipher.Init(key.data(), static_cast<int>(key.size() * 8), iv.data());
        std::string out(plain.size(), '\0');
        cipher.Encrypt(plain.data(), out.data(), plain.size());
        EXPECT_EQ(ToHex(out), ToHex(expected));

        // Deciphering in place from the start of the chain gives the data.
        cipher.Reset();
        std::string back = out;
        cipher.Decrypt(back.data(), back.data(), back.size());
        EXPECT_EQ(ToHex(back), ToHex(plain));

        // The chain carries over between calls: the same data handed over
        // in pieces (whole blocks, except for the byte-wise mode) enciphers
        // alike.
        cipher.Reset();
        std::string pieces(plain.size(), '\0');
        const std::size_t unit = row[0] == "cfb8" ? 1 : 8;
        for (std::size_t pos = 0; pos < plain.size();) {
            std::size_t n = unit * (1 + rng() % 3);
            n = std::min(n, plain.size() - pos);
            cipher.Encrypt(plain.data() + pos, pieces.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(ToHex(pieces), ToHex(expected));
    }
}

TEST(BlockModes, MissingIvIsTheEncryptedZeroBlock) {
    const std::string key = FromHex("0123456789abcdeffedcba9876543210");
    TBlowfishCipher cipher;
    cipher.Init(key.data(), 128, nullptr);
    std::string iv(8, '\0'), zero(8, '\0'), expected(8, '\0');
    cipher.GetIV(iv.data());
    cipher.EncryptECB(zero.data(), expected.data());
    EXPECT_EQ(ToHex(iv), ToHex(expected));
}

TEST(BlockModes, CounterCarriesAcrossBytes) {
    // From ...ff ff the counter must roll into the byte before, and from
    // all ones it wraps to zero.
    const std::string key = "counter!";
    const char* ivs[] = {"00000000000000ff", "000000000000ffff", "ffffffffffffffff"};
    const char* next[] = {"0000000000000100", "0000000000010000", "0000000000000000"};
    for (int i = 0; i < 3; ++i) {
        const std::string iv = FromHex(ivs[i]);
        TBlowfishCipher cipher;
        cipher.CipherMode = cmCTR;
        cipher.Init(key.data(), 64, iv.data());
        std::string data(8, '\0');
        cipher.Encrypt(data.data(), data.data(), 8);
        std::string cv(8, '\0');
        cipher.GetIV(cv.data());
        EXPECT_EQ(ToHex(cv), next[i]);
    }
}

// ---------------------------------------------------------------- strings and pass phrases

TEST(CipherStrings, PassPhraseKeyIsTheWholeDigest) {
    const std::string phrase = "a pass phrase";
    TSha1Hash hash;
    hash.Init();
    hash.UpdateStr(phrase);
    std::string digest(20, '\0');
    hash.Final(digest.data());

    TBlowfishCipher byPhrase, byKey;
    byPhrase.InitStr(phrase, &TSha1Hash::Create);
    byKey.Init(digest.data(), 160, nullptr);
    const std::string text = "Some text to encipher, longer than one block.";
    EXPECT_EQ(byPhrase.EncryptString(text), byKey.EncryptString(text));

    // Re-keying an initialised cipher starts afresh.
    byPhrase.InitStr(phrase, &TSha1Hash::Create);
    byKey.Reset();
    EXPECT_EQ(byPhrase.EncryptString(text), byKey.EncryptString(text));
}

// A hash class that cannot say how long its digest is.
class SizelessHash : public THashAlgo {
public:
    static std::unique_ptr<THashAlgo> Create() { return std::make_unique<SizelessHash>(); }
    void Init() override { initialized_ = true; }
    void Final(void*) override { Burn(); }
    void Update(const void*, std::size_t) override {}
};

TEST(CipherStrings, PassPhraseNeedsADigest) {
    TBlowfishCipher cipher;
    cipher.Init("previous", 64, nullptr);
    try {
        cipher.InitStr("phrase", &SizelessHash::Create);
        ADD_FAILURE() << "no exception";
    } catch (const ECipherError& e) {
        EXPECT_STREQ(e.what(), "Unable to allocate sufficient memory for hash digest");
    }
    // The old key is gone either way.
    EXPECT_FALSE(cipher.Initialized());
}

TEST(CipherStrings, StringsUseByteFeedbackWhateverTheMode) {
    const std::string key = "string key";
    TBlowfishCipher a, b;
    a.CipherMode = cmCBC;
    b.CipherMode = cmCFB8bit;
    a.Init(key.data(), 80, nullptr);
    b.Init(key.data(), 80, nullptr);
    const std::string text = "12345678901";
    const std::string sealed = a.EncryptString(text);
    std::string raw = text;
    b.Encrypt(raw.data(), raw.data(), raw.size());
    EXPECT_EQ(sealed, CipherBase64::Encode(raw));

    // Two calls continue one chain; Reset goes back to its start.
    a.Reset();
    const std::string first = a.EncryptString(text.substr(0, 5));
    const std::string second = a.EncryptString(text.substr(5));
    EXPECT_EQ(CipherBase64::Decode(first) + CipherBase64::Decode(second), raw);
    a.Reset();
    EXPECT_EQ(a.DecryptString(sealed), text);
}

// ---------------------------------------------------------------- Base64

TEST(CipherBase64, Rfc4648Vectors) {
    const char* vectors[][2] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                                {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(CipherBase64::Encode(v[0]), v[1]);
        EXPECT_EQ(CipherBase64::Decode(v[1]), v[0]);
    }
}

TEST(CipherBase64, DecoderToleratesDamagedText) {
    const struct {
        const char* text;
        const char* bytes;
    } cases[] = {
        {"Zm9v\r\nYmFy", "foobar"},  // a wrapped line
        {" Zm9v YmFy ", "foobar"},
        {"Zm9vYg", "foo"},           // a trailing part group is ignored
        {"Zm9vY", "foo"},
        {"Zg==Zm9v", "f"},           // the pad ends the data
        {"==Zm", ""},                // a pad where no byte can be complete
        {"Z===", ""},
        {"\x80\xff~`Zm9v", "foo"},   // bytes outside the alphabet never index a table
    };
    for (const auto& c : cases) EXPECT_EQ(CipherBase64::Decode(c.text), c.bytes) << c.text;
}

TEST(CipherBase64, RoundTripsEveryLength) {
    std::mt19937 rng(42);
    for (std::size_t n = 0; n < 200; ++n) {
        std::string data(n, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        const std::string text = CipherBase64::Encode(data);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(CipherBase64::Decode(text), data) << n;
    }
}

}  // namespace
