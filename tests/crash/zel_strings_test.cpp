// Crash library text helpers: the exact texts the bug report is built from.
#include <gtest/gtest.h>

#include "crash/zel_strings.h"
#include "crash/zel_tools.h"
#include "crash/zel_types.h"

using namespace zelStrings;

TEST(ZelStrings, Placeholder) { EXPECT_EQ(SizeText(1023, ','), "1023 Bytes"); }
