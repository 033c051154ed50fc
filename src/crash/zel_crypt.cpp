// Blowfish string cipher and Base64 encoder of the crash library.
#include "zel_crypt.h"

#include <cstring>

#include "codecs/blowfish.h"
#include "codecs/codectables.h"

namespace zelCrypt {

namespace {

// The shared block function, keyed for one call and burnt after it.
struct Blowfish {
    CipherBlowfish::TSchedule schedule;

    explicit Blowfish(std::string_view key) {
        schedule.Key(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    }
    ~Blowfish() { schedule.Burn(); }
    Blowfish(const Blowfish&) = delete;
    Blowfish& operator=(const Blowfish&) = delete;

    void Encrypt(std::uint32_t& l, std::uint32_t& r) const { schedule.Encipher(l, r); }
    void Decrypt(std::uint32_t& l, std::uint32_t& r) const { schedule.Decipher(l, r); }
};

std::uint32_t Load(const unsigned char* p, bool bigEndian) {
    if (bigEndian)
        return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

void Store(unsigned char* p, std::uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        int shift = bigEndian ? 24 - 8 * i : 8 * i;
        p[i] = static_cast<unsigned char>(v >> shift);
    }
}

}  // namespace

void CryptBlocks(std::string& text, std::string_view key, bool encrypt, bool bigEndian,
                 std::uint64_t iv) {
    Blowfish bf(key);
    std::size_t blocks = text.size() / 8;
    unsigned char* data = reinterpret_cast<unsigned char*>(text.data());
    unsigned char counter[8];
    for (int i = 0; i < 8; ++i) counter[i] = static_cast<unsigned char>(iv >> (8 * i));
    for (std::size_t b = 0; b < blocks; ++b) {
        unsigned char* block = data + 8 * b;
        if (iv == 0) {
            std::uint32_t l = Load(block, bigEndian), r = Load(block + 4, bigEndian);
            if (encrypt) bf.Encrypt(l, r);
            else bf.Decrypt(l, r);
            Store(block, l, bigEndian);
            Store(block + 4, r, bigEndian);
            continue;
        }
        for (int i = 7; i >= 0; --i)
            if (++counter[i] != 0) break;
        std::uint32_t l = Load(counter, true), r = Load(counter + 4, true);
        if (encrypt) bf.Encrypt(l, r);
        else bf.Decrypt(l, r);
        unsigned char stream[8];
        Store(stream, l, true);
        Store(stream + 4, r, true);
        for (int i = 0; i < 8; ++i) block[i] ^= stream[i];
    }
}

void EncryptStr(std::string& text, std::string_view key) { CryptBlocks(text, key, true, false); }

void DecryptStr(std::string& text, std::string_view key) { CryptBlocks(text, key, false, false); }

void DecryptStrIv(std::string& text, std::string_view key, std::uint64_t iv) {
    if (iv != 0) CryptBlocks(text, key, true, true, iv);
    else CryptBlocks(text, key, false, true);
    if (text.empty()) return;
    unsigned n = static_cast<unsigned char>(text.back());
    // A pad can only be as long as the text that carries it.
    if (n < 1 || n > 8 || n > text.size()) return;
    for (unsigned i = 2; i <= n; ++i)
        if (static_cast<unsigned char>(text[text.size() - i]) != n) return;
    text.resize(text.size() - n);
}

void Base64Encode(const void* buffer, std::size_t length, std::string& text) {
    text = CodecTables::EncodeBase64(std::string_view(static_cast<const char*>(buffer), length));
}

std::string Base64EncodeStr(std::string_view text) {
    std::string out;
    Base64Encode(text.data(), text.size(), out);
    return out;
}

std::uint32_t SwapBytes(std::uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

}  // namespace zelCrypt
