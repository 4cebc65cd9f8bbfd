#include "common/buffer.h"
#include "shell/utility.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Console, WritesInCallOrderWithoutLineEnds) {
    testing::internal::CaptureStderr();
    console("fname: %s", "Cam One");
    console("fname: %s", "Cam Two");
    console("%s", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fname: Cam Onefname: Cam Two");
}

TEST(Console, TextReachesTheConsoleAsUnicodeFromUtf8OrAnsi) {
    testing::internal::CaptureStderr();
    console("fname: %s|",
            "\xc5\x81\xc3\xb3"
            "d\xc5\xba");             // UTF-8 "Łódź"
    console("fname: %s", "caf\xe9");  // not UTF-8: the ANSI code page's "café"
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fname: \u0141\u00f3d\u017a|fname: caf\u00e9");
}

TEST(Console, LongTextIsCutTo1023Characters) {
    std::string text(5000, 'z');
    testing::internal::CaptureStderr();
    console("%s|", text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(1023, 'z'));
}

TEST(BufferAlloc, ZeroFilledAndFailureHook) {
    unsigned char *p = static_cast<unsigned char *>(buffer_alloc(4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
    buffer_free(p);
    buffer_alloc_should_fail = [](size_t bytes) { return bytes == 12; };
    EXPECT_EQ(buffer_alloc(12), nullptr);
    void *q = buffer_alloc(0);
    EXPECT_NE(q, nullptr) << "a zero-byte request still gives a block";
    buffer_free(q);
    buffer_alloc_should_fail = nullptr;
}

}  // namespace
