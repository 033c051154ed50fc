// The crash library's string cipher and Base64 against python3's
// cryptography and base64 modules.
#include <random>

#include "crash/zel_crypt.h"
#include "crash_test_util.h"

using namespace crashtest;

namespace {

// Reads lines "key text iv" (hex; iv as 16 hex digits of the 64-bit value)
// and prints, per line: the little-endian-word ECB encryption, the
// published-order ECB decryption and the counter keystream applied to text.
const char* kBlowfishRef = R"PY(
import sys, warnings
warnings.simplefilter("ignore")
try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import Blowfish
except ImportError:
    from cryptography.hazmat.primitives.ciphers.algorithms import Blowfish
from cryptography.hazmat.primitives.ciphers import Cipher, modes
def swap_words(b):
    return b"".join(b[i:i+4][::-1] for i in range(0, len(b), 4))
for line in open(sys.argv[1]):
    key, text, iv = [bytes.fromhex(x) if i < 2 else int(x, 16) for i, x in enumerate(line.split())]
    whole = len(text) // 8 * 8
    head, tail = text[:whole], text[whole:]
    ecb = Cipher(Blowfish(key), modes.ECB())
    le = swap_words(ecb.encryptor().update(swap_words(head))) + tail
    be = ecb.decryptor().update(head) + tail
    ctr_bytes = bytearray(iv.to_bytes(8, "little"))
    n = (int.from_bytes(ctr_bytes, "big") + 1) % (1 << 64)
    # Counter mode built from single-block encryptions (the backend has no
    # Blowfish counter mode of its own).
    enc = ecb.encryptor()
    stream = b"".join(enc.update(((n + i) % (1 << 64)).to_bytes(8, "big")) for i in range(whole // 8))
    ctr = bytes(a ^ b for a, b in zip(head, stream)) + tail
    print(le.hex() or "-", be.hex() or "-", ctr.hex() or "-")
)PY";

std::string Random(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::string StripPad(std::string s) {
    if (s.empty()) return s;
    unsigned n = static_cast<unsigned char>(s.back());
    if (n < 1 || n > 8 || n > s.size()) return s;
    for (unsigned i = 2; i <= n; ++i)
        if (static_cast<unsigned char>(s[s.size() - i]) != n) return s;
    s.resize(s.size() - n);
    return s;
}

std::string Field(const std::string& f) { return f == "-" ? std::string() : FromHex(f); }

}  // namespace

TEST(ZelCrypt, AllFormsMatchTheReferenceCipher) {
    TempDir dir;
    std::mt19937 rng(99);
    struct Input {
        std::string key, text;
        std::uint64_t iv;
    };
    std::vector<Input> inputs;
    const std::size_t keyLengths[] = {4, 5, 8, 16, 31, 56};
    const std::size_t textLengths[] = {0, 7, 8, 12, 16, 63, 200};
    for (std::size_t k : keyLengths)
        for (std::size_t t : textLengths) {
            std::uint64_t iv = (std::uint64_t(rng()) << 32) | rng();
            inputs.push_back({Random(rng, k), Random(rng, t), iv});
        }
    // Counter carries: a low half of all ones, and the whole value all ones
    // (wraps to zero).
    inputs.push_back({"carry", Random(rng, 40), 0x00000000FFFFFFFFull});
    inputs.push_back({"wrap", Random(rng, 40), ~0ull});
    inputs.push_back({"small", Random(rng, 24), 0x12345678ull});

    std::string lines;
    for (const auto& in : inputs) {
        char iv[17];
        snprintf(iv, sizeof iv, "%016llx", static_cast<unsigned long long>(in.iv));
        lines += ToHex(in.key) + " " + (in.text.empty() ? "" : ToHex(in.text)) + " " + iv + "\n";
    }
    // An empty text needs a placeholder column for python's split.
    for (std::size_t p = 0; (p = lines.find("  ", p)) != std::string::npos;) lines.replace(p, 2, " - ");
    WriteFile(dir.File("in.txt"), lines);
    bool ok = false;
    std::string out = RunPython(dir, std::string(kBlowfishRef).replace(
        std::string(kBlowfishRef).find("bytes.fromhex(x)"), 16, "(bytes.fromhex(x) if x != '-' else b'')"),
        dir.File("in.txt"), &ok);
    ASSERT_TRUE(ok) << out;

    std::istringstream ref(out);
    for (const auto& in : inputs) {
        std::string le, be, ctr;
        ASSERT_TRUE(ref >> le >> be >> ctr);
        std::string what = "key " + std::to_string(in.key.size()) + " text " + std::to_string(in.text.size());

        std::string t = in.text;
        zelCrypt::EncryptStr(t, in.key);
        EXPECT_EQ(ToHex(t), ToHex(Field(le))) << what;
        zelCrypt::DecryptStr(t, in.key);
        EXPECT_EQ(t, in.text) << what;

        t = in.text;
        zelCrypt::DecryptStrIv(t, in.key, 0);
        EXPECT_EQ(ToHex(t), ToHex(StripPad(Field(be)))) << what;

        t = in.text;
        zelCrypt::DecryptStrIv(t, in.key, in.iv);
        EXPECT_EQ(ToHex(t), ToHex(StripPad(Field(ctr)))) << what << " iv " << in.iv;
    }
}

TEST(ZelCrypt, PadRemovalAfterDeciphering) {
    // The counter form is its own inverse apart from the pad removal: a
    // text enciphered in counter form deciphers to exactly what went in.
    const std::uint64_t iv = 0x4D2A11C3u;
    auto roundTrip = [&](const std::string& plain) {
        std::string t = plain;
        zelCrypt::CryptBlocks(t, "account", true, true, iv);
        zelCrypt::DecryptStrIv(t, "account", iv);
        return t;
    };
    struct Case {
        const char* what;
        std::string plain, result;
    } cases[] = {
        {"three bytes of 3 go", std::string("abcde\3\3\3", 8), "abcde"},
        {"a pad counts only at the end", std::string(8, '\x08') + std::string(8, 'z'), std::string(8, '\x08') + std::string(8, 'z')},
        {"a full pad block goes", std::string(8, 'z') + std::string(8, '\x08'), std::string(8, 'z')},
        {"a last byte of 9 stays", std::string("abcdefg\x09", 8), std::string("abcdefg\x09", 8)},
        {"a broken run stays", std::string("abcde\3\2\3", 8), std::string("abcde\3\2\3", 8)},
        {"a last byte of 0 stays", std::string("abcdefg\0", 8), std::string("abcdefg\0", 8)},
        {"one byte of 1 goes", std::string("abcdefg\1", 8), "abcdefg"},
    };
    for (const auto& c : cases) EXPECT_EQ(ToHex(roundTrip(c.plain)), ToHex(c.result)) << c.what;

    // Only whole blocks are deciphered: of 12 bytes the last 4 stay.
    std::string t = "0123456789AB";
    zelCrypt::DecryptStrIv(t, "host", iv);
    EXPECT_EQ(t.substr(8), "89AB");
    EXPECT_NE(t.substr(0, 8), "01234567");

    // A pad value longer than the text that carries it cannot be a pad.
    for (std::string s : {std::string("\x05"), std::string("\x03\x03")}) {
        std::string before = s;
        zelCrypt::DecryptStrIv(s, "k", iv);
        EXPECT_EQ(s, before);
    }
}

TEST(ZelCrypt, KeysOfAnyLength) {
    // Keys beyond the 56 bytes some implementations stop at still work, an
    // empty key does not hang or crash, and different keys differ.
    const std::string plain = "The quick brown fox jumps over!!";
    std::vector<std::string> keys = {"", "k", std::string(72, 'x'), std::string(72, 'x') + "tail", std::string(100, 'y')};
    std::vector<std::string> ciphers;
    for (const auto& key : keys) {
        std::string t = plain;
        zelCrypt::EncryptStr(t, key);
        EXPECT_NE(t, plain);
        ciphers.push_back(t);
        zelCrypt::DecryptStr(t, key);
        EXPECT_EQ(t, plain);
    }
    EXPECT_NE(ciphers[0], ciphers[1]);
    // Only 72 key bytes reach the P-array.
    EXPECT_EQ(ciphers[2], ciphers[3]);
}

TEST(ZelCrypt, Base64MatchesPython) {
    TempDir dir;
    std::mt19937 rng(5);
    std::string lines;
    std::vector<std::string> inputs;
    for (std::size_t n = 0; n < 40; ++n) inputs.push_back(Random(rng, n));
    inputs.push_back(std::string("\xff\xfe\xfd", 3));
    for (const auto& in : inputs) lines += (in.empty() ? "-" : ToHex(in)) + "\n";
    WriteFile(dir.File("in.txt"), lines);
    bool ok = false;
    std::string out = RunPython(dir,
        "import sys,base64\nfor l in open(sys.argv[1]):\n"
        " l=l.strip(); print(base64.b64encode(b'' if l=='-' else bytes.fromhex(l)).decode() or '-')\n",
        dir.File("in.txt"), &ok);
    ASSERT_TRUE(ok);
    std::istringstream ref(out);
    for (const auto& in : inputs) {
        std::string expect;
        ref >> expect;
        if (expect == "-") expect.clear();
        EXPECT_EQ(zelCrypt::Base64EncodeStr(in), expect) << in.size();
    }
    EXPECT_EQ(zelCrypt::SwapBytes(0x12345678u), 0x78563412u);
}
