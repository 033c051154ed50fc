// The cipher library's shared layers: key set-up and burning, mode dispatch,
// the block modes over 8-byte blocks, and Base64 text for enciphered bytes.
#include "codecs/cipher.h"
#include "codecs/codectables.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace CipherBase {

void BurnMemory(void* buffer, std::size_t size, unsigned char fill) {
    // Through a volatile pointer, so the store survives even when the
    // memory is freed right afterwards.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(buffer);
    for (std::size_t i = 0; i < size; ++i) p[i] = fill;
}

}  // namespace CipherBase

// ---------------------------------------------------------------- hashes

void THashAlgo::CheckInitialized() const {
    if (!initialized_) throw EHashError("Hash not initialized");
}

// ---------------------------------------------------------------- TCipher

void TCipher::Init(const void* /*key*/, int sizeBits, const void* /*iv*/) {
    if (initialized_) Burn();
    // Whole bytes only: a key schedule that silently dropped the last
    // nibble would make two different keys encipher alike.
    if (sizeBits <= 0 || sizeBits % 8 != 0 || sizeBits > GetMaxKeySize())
        throw ECipherError("Invalid key size");
    initialized_ = true;
}

void TCipher::InitStr(const std::string& passPhrase, THashClass hashClass) {
    if (initialized_) Burn();
    std::unique_ptr<THashAlgo> hash = hashClass();
    const int hashBits = hash->GetHashSize();
    // A hash without a digest size leaves nothing to key with.
    const char* const noBuffer = "Unable to allocate sufficient memory for hash digest";
    if (hashBits <= 0) throw ECipherError(noBuffer);
    std::vector<std::uint8_t> digest;
    try {
        digest.resize(static_cast<std::size_t>(hashBits) / 8);
    } catch (const std::bad_alloc&) {
        throw ECipherError(noBuffer);
    }
    hash->Init();
    hash->UpdateStr(passPhrase);
    hash->Final(digest.data());
    hash.reset();
    try {
        Init(digest.data(), std::min(GetMaxKeySize(), hashBits), nullptr);
    } catch (...) {
        CipherBase::BurnMemory(digest.data(), digest.size(), 0xFF);
        throw;
    }
    CipherBase::BurnMemory(digest.data(), digest.size(), 0xFF);
}

std::string TCipher::EncryptString(const std::string& text) {
    std::string data = text;
    Encrypt(data.data(), data.data(), data.size());
    return CipherBase64::Encode(data);
}

std::string TCipher::DecryptString(const std::string& text) {
    std::string data = CipherBase64::Decode(text);
    Decrypt(data.data(), data.data(), data.size());
    return data;
}

// ---------------------------------------------------------------- TBlockCipher

void TBlockCipher::Encrypt(const void* in, void* out, std::size_t size) {
    switch (CipherMode) {
    case cmCBC: EncryptCBC(in, out, size); break;
    case cmCFB8bit: EncryptCFB8bit(in, out, size); break;
    case cmCFBblock: EncryptCFBblock(in, out, size); break;
    case cmOFB: EncryptOFB(in, out, size); break;
    case cmCTR: EncryptCTR(in, out, size); break;
    }
}

void TBlockCipher::Decrypt(const void* in, void* out, std::size_t size) {
    switch (CipherMode) {
    case cmCBC: DecryptCBC(in, out, size); break;
    case cmCFB8bit: DecryptCFB8bit(in, out, size); break;
    case cmCFBblock: DecryptCFBblock(in, out, size); break;
    case cmOFB: DecryptOFB(in, out, size); break;
    case cmCTR: DecryptCTR(in, out, size); break;
    }
}

std::string TBlockCipher::EncryptString(const std::string& text) {
    std::string data = text;
    EncryptCFB8bit(data.data(), data.data(), data.size());
    return CipherBase64::Encode(data);
}

std::string TBlockCipher::DecryptString(const std::string& text) {
    std::string data = CipherBase64::Decode(text);
    DecryptCFB8bit(data.data(), data.data(), data.size());
    return data;
}

// ---------------------------------------------------------------- TBlockCipher64
//
// Every mode reads a block (or byte) of input before it writes the output,
// so enciphering in place (in == out) is safe.

namespace {

using Block = std::uint8_t[8];

const std::uint8_t* Bytes(const void* p) { return static_cast<const std::uint8_t*>(p); }
std::uint8_t* Bytes(void* p) { return static_cast<std::uint8_t*>(p); }

void XorBlock(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i] ^ b[i];
}

}  // namespace

void TBlockCipher64::CheckInitialized() const {
    if (!initialized_) throw ECipherBlockError("Cipher not initialized");
}

void TBlockCipher64::Init(const void* key, int sizeBits, const void* iv) {
    TCipher::Init(key, sizeBits, iv);
    InitKey(key, sizeBits);
    if (iv == nullptr) {
        const Block zero = {};
        EncryptECB(zero, iv_);
    } else {
        std::memcpy(iv_, iv, sizeof iv_);
    }
    Reset();
}

void TBlockCipher64::Reset() {
    CheckInitialized();
    std::memcpy(cv_, iv_, sizeof cv_);
}

void TBlockCipher64::SetIV(const void* value) {
    CheckInitialized();
    std::memcpy(iv_, value, sizeof iv_);
    Reset();
}

void TBlockCipher64::GetIV(void* value) const {
    CheckInitialized();
    std::memcpy(value, cv_, sizeof cv_);
}

void TBlockCipher64::Burn() {
    CipherBase::BurnMemory(iv_, sizeof iv_);
    CipherBase::BurnMemory(cv_, sizeof cv_);
    TBlockCipher::Burn();
}

void TBlockCipher64::PartialBlock(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    Block t;
    EncryptECB(cv_, t);
    XorBlock(in, t, out, n);
    std::memcpy(cv_, t, sizeof cv_);
}

void TBlockCipher64::EncryptCBC(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        Block t;
        XorBlock(in + i, cv_, t, 8);
        EncryptECB(t, cv_);
        std::memcpy(out + i, cv_, 8);
    }
    if (i < size) PartialBlock(in + i, out + i, size - i);
}

void TBlockCipher64::DecryptCBC(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        Block c, t;
        std::memcpy(c, in + i, 8);
        DecryptECB(c, t);
        XorBlock(t, cv_, out + i, 8);
        std::memcpy(cv_, c, 8);
    }
    if (i < size) PartialBlock(in + i, out + i, size - i);
}

void TBlockCipher64::EncryptCFB8bit(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    for (std::size_t i = 0; i < size; ++i) {
        Block t;
        EncryptECB(cv_, t);
        const std::uint8_t c = in[i] ^ t[0];
        std::memmove(cv_, cv_ + 1, 7);
        cv_[7] = c;
        out[i] = c;
    }
}

void TBlockCipher64::DecryptCFB8bit(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    for (std::size_t i = 0; i < size; ++i) {
        Block t;
        EncryptECB(cv_, t);
        const std::uint8_t c = in[i];
        std::memmove(cv_, cv_ + 1, 7);
        cv_[7] = c;
        out[i] = c ^ t[0];
    }
}

void TBlockCipher64::EncryptCFBblock(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        Block t;
        EncryptECB(cv_, t);
        XorBlock(in + i, t, cv_, 8);
        std::memcpy(out + i, cv_, 8);
    }
    if (i < size) PartialBlock(in + i, out + i, size - i);
}

void TBlockCipher64::DecryptCFBblock(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        Block t, c;
        EncryptECB(cv_, t);
        std::memcpy(c, in + i, 8);
        XorBlock(c, t, out + i, 8);
        std::memcpy(cv_, c, 8);
    }
    if (i < size) PartialBlock(in + i, out + i, size - i);
}

void TBlockCipher64::EncryptOFB(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    for (std::size_t i = 0; i < size; i += 8)
        PartialBlock(in + i, out + i, std::min<std::size_t>(8, size - i));
}

void TBlockCipher64::DecryptOFB(const void* in, void* out, std::size_t size) {
    EncryptOFB(in, out, size);
}

void TBlockCipher64::EncryptCTR(const void* inp, void* outp, std::size_t size) {
    CheckInitialized();
    const std::uint8_t* in = Bytes(inp);
    std::uint8_t* out = Bytes(outp);
    for (std::size_t i = 0; i < size; i += 8) {
        Block t;
        EncryptECB(cv_, t);
        XorBlock(in + i, t, out + i, std::min<std::size_t>(8, size - i));
        // A big-endian counter: carry from the last byte towards the first.
        for (int k = 7; k >= 0; --k)
            if (++cv_[k] != 0) break;
    }
}

void TBlockCipher64::DecryptCTR(const void* in, void* out, std::size_t size) {
    EncryptCTR(in, out, size);
}

// ---------------------------------------------------------------- Base64

namespace CipherBase64 {

namespace {
int SymbolValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 64;
    return -1;
}
}  // namespace

std::string Encode(const std::string& bytes) { return CodecTables::EncodeBase64(bytes); }

std::string Decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    int group[4];
    int filled = 0;
    for (unsigned char c : text) {
        const int v = SymbolValue(c);
        if (v < 0) continue;
        group[filled++] = v;
        if (filled < 4) continue;
        filled = 0;
        // A pad in the first two places leaves no whole byte: the text is
        // damaged, and whatever follows cannot be aligned.
        if (group[0] == 64 || group[1] == 64) break;
        out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
        if (group[2] == 64) break;
        out += static_cast<char>(((group[1] & 15) << 4) | (group[2] >> 2));
        if (group[3] == 64) break;
        out += static_cast<char>(((group[2] & 3) << 6) | group[3]);
    }
    return out;
}

}  // namespace CipherBase64
