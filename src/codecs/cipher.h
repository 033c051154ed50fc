// A small hash-and-cipher library: SHA-1, Blowfish with the usual block
// modes, and Base64 text. The program itself takes one road through it (a
// Blowfish key made from a pass phrase through SHA-1, 8-bit cipher feedback,
// Base64 text) to keep stored passwords out of plain sight; the rest of the
// interface keeps the classes whole so they can be tested on their own.
//
// Every object carries its key material only while initialised: Burn (and
// the destructor) overwrite it.
#pragma once

#include "codecs/blowfish.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// ---------------------------------------------------------------- errors

class EHashError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ECipherError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ECipherBlockError : public ECipherError {
public:
    using ECipherError::ECipherError;
};

namespace CipherBase {

// Overwrites memory in a way the optimiser may not drop.
void BurnMemory(void* buffer, std::size_t size, unsigned char fill = 0);

// Algorithm ids answered by GetId.
inline constexpr int IdSha1 = 2;
inline constexpr int IdBlowfish = 5;

}  // namespace CipherBase

// ---------------------------------------------------------------- hashes

class THashAlgo {
public:
    THashAlgo() = default;
    THashAlgo(const THashAlgo&) = delete;
    THashAlgo& operator=(const THashAlgo&) = delete;
    virtual ~THashAlgo() = default;

    virtual int GetId() const { return -1; }
    virtual std::string GetAlgorithm() const { return {}; }
    virtual int GetHashSize() const { return -1; }  // bits
    virtual bool SelfTest() const { return false; }

    virtual void Init() = 0;
    // Writes GetHashSize() / 8 bytes and burns the working state.
    virtual void Final(void* digest) = 0;
    virtual void Burn() { initialized_ = false; }
    virtual void Update(const void* buffer, std::size_t size) = 0;
    void UpdateStr(const std::string& text) { Update(text.data(), text.size()); }

    bool Initialized() const { return initialized_; }

protected:
    void CheckInitialized() const;
    bool initialized_ = false;
};

// Creates a fresh hash object; the class reference of InitStr.
using THashClass = std::unique_ptr<THashAlgo> (*)();

class TSha1Hash : public THashAlgo {
public:
    TSha1Hash() = default;
    ~TSha1Hash() override;
    static std::unique_ptr<THashAlgo> Create() { return std::make_unique<TSha1Hash>(); }

    int GetId() const override { return CipherBase::IdSha1; }
    std::string GetAlgorithm() const override { return "SHA1"; }
    int GetHashSize() const override { return 160; }
    bool SelfTest() const override;

    void Init() override;
    void Final(void* digest) override;
    void Burn() override;
    void Update(const void* buffer, std::size_t size) override;

private:
    void Compress();

    std::uint32_t hash_[5] = {};
    std::uint64_t lenBits_ = 0;
    std::uint8_t block_[64] = {};
    std::size_t index_ = 0;
};

// ---------------------------------------------------------------- ciphers

enum TCipherMode { cmCBC, cmCFB8bit, cmCFBblock, cmOFB, cmCTR };

class TCipher {
public:
    TCipher() = default;
    TCipher(const TCipher&) = delete;
    TCipher& operator=(const TCipher&) = delete;
    virtual ~TCipher() = default;

    virtual int GetId() const { return -1; }
    virtual std::string GetAlgorithm() const { return {}; }
    virtual int GetMaxKeySize() const { return -1; }  // bits
    virtual bool SelfTest() const { return false; }

    // Key of sizeBits bits (whole bytes, 8 to GetMaxKeySize(), else
    // ECipherError "Invalid key size"); iv may be null. An initialised
    // cipher is burnt first.
    virtual void Init(const void* key, int sizeBits, const void* iv);
    virtual void Burn() { initialized_ = false; }
    virtual void Reset() = 0;
    virtual void Encrypt(const void* in, void* out, std::size_t size) = 0;
    virtual void Decrypt(const void* in, void* out, std::size_t size) = 0;
    // Base64 text of the enciphered bytes, and back.
    virtual std::string EncryptString(const std::string& text);
    virtual std::string DecryptString(const std::string& text);

    // Key from a pass phrase: the digest of hashClass over its bytes, used
    // whole (or cut to the cipher's largest key), no IV.
    void InitStr(const std::string& passPhrase, THashClass hashClass);

    bool Initialized() const { return initialized_; }
    std::string Algorithm() const { return GetAlgorithm(); }
    int MaxKeySize() const { return GetMaxKeySize(); }

protected:
    bool initialized_ = false;
};

class TBlockCipher : public TCipher {
public:
    TCipherMode CipherMode = cmCBC;

    virtual void InitKey(const void* key, int sizeBits) = 0;
    virtual int GetBlockSize() const { return -1; }  // bits
    // SetIV sets the IV and restarts the chain from it; GetIV answers the
    // current chaining value (GetBlockSize() / 8 bytes).
    virtual void SetIV(const void* /*value*/) {}
    virtual void GetIV(void* /*value*/) const {}
    virtual void EncryptECB(const void* in, void* out) = 0;
    virtual void DecryptECB(const void* in, void* out) = 0;

    virtual void EncryptCBC(const void*, void*, std::size_t) {}
    virtual void DecryptCBC(const void*, void*, std::size_t) {}
    virtual void EncryptCFB8bit(const void*, void*, std::size_t) {}
    virtual void DecryptCFB8bit(const void*, void*, std::size_t) {}
    virtual void EncryptCFBblock(const void*, void*, std::size_t) {}
    virtual void DecryptCFBblock(const void*, void*, std::size_t) {}
    virtual void EncryptOFB(const void*, void*, std::size_t) {}
    virtual void DecryptOFB(const void*, void*, std::size_t) {}
    virtual void EncryptCTR(const void*, void*, std::size_t) {}
    virtual void DecryptCTR(const void*, void*, std::size_t) {}

    // In the mode CipherMode names.
    void Encrypt(const void* in, void* out, std::size_t size) override;
    void Decrypt(const void* in, void* out, std::size_t size) override;
    // Always 8-bit cipher feedback, whatever CipherMode says; the chaining
    // value carries over from call to call until Reset or Init.
    std::string EncryptString(const std::string& text) override;
    std::string DecryptString(const std::string& text) override;

    int BlockSize() const { return GetBlockSize(); }
};

// The modes over 8-byte blocks. A final partial block of n bytes is XORed
// with the first n bytes of the encrypted chaining value, in every mode.
class TBlockCipher64 : public TBlockCipher {
public:
    int GetBlockSize() const override { return 64; }
    void Init(const void* key, int sizeBits, const void* iv) override;
    void Reset() override;
    void SetIV(const void* value) override;
    void GetIV(void* value) const override;
    void Burn() override;

    void EncryptCBC(const void* in, void* out, std::size_t size) override;
    void DecryptCBC(const void* in, void* out, std::size_t size) override;
    void EncryptCFB8bit(const void* in, void* out, std::size_t size) override;
    void DecryptCFB8bit(const void* in, void* out, std::size_t size) override;
    void EncryptCFBblock(const void* in, void* out, std::size_t size) override;
    void DecryptCFBblock(const void* in, void* out, std::size_t size) override;
    void EncryptOFB(const void* in, void* out, std::size_t size) override;
    void DecryptOFB(const void* in, void* out, std::size_t size) override;
    void EncryptCTR(const void* in, void* out, std::size_t size) override;
    void DecryptCTR(const void* in, void* out, std::size_t size) override;

protected:
    void CheckInitialized() const;
    // Shared by OFB and CTR (and the partial block of the others): the
    // keystream does not depend on the data.
    void PartialBlock(const std::uint8_t* in, std::uint8_t* out, std::size_t n);

    std::uint8_t iv_[8] = {};
    std::uint8_t cv_[8] = {};
};

class TBlowfishCipher : public TBlockCipher64 {
public:
    TBlowfishCipher() = default;
    ~TBlowfishCipher() override;

    int GetId() const override { return CipherBase::IdBlowfish; }
    std::string GetAlgorithm() const override { return "Blowfish"; }
    int GetMaxKeySize() const override { return 448; }
    bool SelfTest() const override;

    void InitKey(const void* key, int sizeBits) override;
    void Burn() override;
    void EncryptECB(const void* in, void* out) override;
    void DecryptECB(const void* in, void* out) override;

private:
    CipherBlowfish::TSchedule schedule_{};
};

// ---------------------------------------------------------------- Base64

namespace CipherBase64 {

// Standard alphabet, "=" padding, no line breaks: (n + 2) / 3 * 4 characters.
std::string Encode(const std::string& bytes);
// Whole groups of four symbols; a group ending in "=" or "==" gives two or
// one byte and ends the data. Characters outside the alphabet (line breaks,
// blanks) are passed over; a trailing part group of 1..3 symbols is ignored.
std::string Decode(const std::string& text);

}  // namespace CipherBase64
