// Request parsing of the web server: parameters, multipart fields, framing.
#include "web/http.h"

#include <gtest/gtest.h>

TEST(HttpParam, Placeholder) { EXPECT_EQ(http::GetRequestParam("a", "GET /?a=1 HTTP/1.1"), "1"); }
