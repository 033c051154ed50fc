// The stored-password cipher without any window: the engine's threads
// encipher and decipher at the same time and each must get the reference
// text (every call keys and burns its cipher, so a cipher shared between
// threads would hand one thread another's half-keyed state).
#include "codecs/pw_codec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crypto_reference.h"

namespace {

TEST(PasswordCodec, ThreadsAtOnceGetTheReferenceText) {
    std::vector<std::pair<std::string, std::string>> vectors;
    for (const auto& row : cryptoref::Reference("pw")) {
        ASSERT_EQ(row.size(), 2u);
        const std::string text = row[1] == "-" ? std::string() : row[1];
        vectors.emplace_back(cryptoref::FromHex(row[0]), text);
    }
    ASSERT_GT(vectors.size(), 60u);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round)
                for (std::size_t i = t; i < vectors.size() + t; ++i) {
                    const auto& [plain, text] = vectors[i % vectors.size()];
                    if (PW::EncryptPassword(plain) != text) ++wrong;
                    if (PW::DecryptPassword(text) != plain) ++wrong;
                }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
