// Stack capture: reads never fault, and a capture holds the caller's frame.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "crash/zel_capture.h"

namespace {

TEST(ZelCapture, SafeReadStopsAtTheFirstUnreadablePage) {
    const long page = sysconf(_SC_PAGESIZE);
    char* two = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(two, MAP_FAILED);
    std::memset(two, 'x', page);
    ASSERT_EQ(mprotect(two + page, page, PROT_NONE), 0);

    std::string out(2 * page, '\0');
    EXPECT_EQ(zelCapture::SafeReadMemory(reinterpret_cast<std::uint64_t>(two + page - 16), out.data(), 64), 16u);
    EXPECT_EQ(out.substr(0, 16), std::string(16, 'x'));
    EXPECT_EQ(zelCapture::SafeReadMemory(reinterpret_cast<std::uint64_t>(two + page), out.data(), 8), 0u);
    EXPECT_EQ(zelCapture::SafeReadMemory(0, out.data(), 8), 0u);
    munmap(two, 2 * page);
}

TEST(ZelCapture, CurrentThreadCaptureHoldsTheCallersLocals) {
    volatile std::uint64_t marker = 0x5eed5eed5eed5eedull;
    zelCapture::TStackCapture capture = zelCapture::CaptureCurrentThread();
    ASSERT_TRUE(capture.Valid());
    EXPECT_FALSE(capture.Truncated);
    EXPECT_LE(capture.Base, capture.Regs.Rsp);
    EXPECT_EQ(capture.Base + capture.Bytes.size(), capture.Top);

    std::uint64_t copied = 0;
    const auto at = reinterpret_cast<std::uint64_t>(&marker);
    if (at >= capture.Base && at < capture.Top) {  // ASan may keep locals on a fake stack
        ASSERT_TRUE(capture.ReadWord(at, copied));
        EXPECT_EQ(copied, marker);
    }
    EXPECT_FALSE(capture.ReadWord(capture.Top - 4, copied));
    EXPECT_FALSE(capture.ReadWord(capture.Base - 8, copied));
}

}  // namespace
