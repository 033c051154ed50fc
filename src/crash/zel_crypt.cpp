// Blowfish string cipher and Base64 encoder of the crash library.
#include "zel_crypt.h"

#include <cstring>

#include "codecs/cipher_blowfish_tables.h"

namespace zelCrypt {

namespace {

struct Blowfish {
    std::uint32_t P[18];
    std::uint32_t S[4][256];

    std::uint32_t F(std::uint32_t x) const {
        return ((S[0][x >> 24] + S[1][(x >> 16) & 0xFF]) ^ S[2][(x >> 8) & 0xFF]) + S[3][x & 0xFF];
    }

    void Encrypt(std::uint32_t& l, std::uint32_t& r) const {
        for (int i = 0; i < 16; i += 2) {
            l ^= P[i];
            r ^= F(l);
            r ^= P[i + 1];
            l ^= F(r);
        }
        l ^= P[16];
        r ^= P[17];
        std::swap(l, r);
    }

    void Decrypt(std::uint32_t& l, std::uint32_t& r) const {
        for (int i = 17; i > 1; i -= 2) {
            l ^= P[i];
            r ^= F(l);
            r ^= P[i - 1];
            l ^= F(r);
        }
        l ^= P[1];
        r ^= P[0];
        std::swap(l, r);
    }

    explicit Blowfish(std::string_view key) {
        std::memcpy(P, CipherBlowfish::InitialP, sizeof P);
        std::memcpy(S, CipherBlowfish::InitialS, sizeof S);
        if (!key.empty()) {
            std::size_t j = 0;
            for (auto& p : P) {
                std::uint32_t w = 0;
                for (int k = 0; k < 4; ++k) {
                    w = (w << 8) | static_cast<unsigned char>(key[j]);
                    j = (j + 1) % key.size();
                }
                p ^= w;
            }
        }
        std::uint32_t l = 0, r = 0;
        for (int i = 0; i < 18; i += 2) {
            Encrypt(l, r);
            P[i] = l;
            P[i + 1] = r;
        }
        for (auto& box : S)
            for (int i = 0; i < 256; i += 2) {
                Encrypt(l, r);
                box[i] = l;
                box[i + 1] = r;
            }
    }

    ~Blowfish() {
        // Key material should not outlive the call.
        volatile std::uint32_t* p = P;
        for (std::size_t i = 0; i < sizeof P / sizeof P[0]; ++i) p[i] = 0;
    }
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
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    text.clear();
    text.reserve((length + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        std::uint32_t v = std::uint32_t(p[i]) << 16 | std::uint32_t(p[i + 1]) << 8 | p[i + 2];
        text += alphabet[v >> 18];
        text += alphabet[(v >> 12) & 63];
        text += alphabet[(v >> 6) & 63];
        text += alphabet[v & 63];
    }
    if (length - i == 1) {
        std::uint32_t v = std::uint32_t(p[i]) << 16;
        text += alphabet[v >> 18];
        text += alphabet[(v >> 12) & 63];
        text += "==";
    } else if (length - i == 2) {
        std::uint32_t v = std::uint32_t(p[i]) << 16 | std::uint32_t(p[i + 1]) << 8;
        text += alphabet[v >> 18];
        text += alphabet[(v >> 12) & 63];
        text += alphabet[(v >> 6) & 63];
        text += '=';
    }
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
