// Console text conversion and console events of the portable layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/headless/headless.h"
#include "platform/win32.h"

namespace {

std::u16string widen(UINT code_page, DWORD flags, const char *text, int count) {
    int n = MultiByteToWideChar(code_page, flags, text, count, nullptr, 0);
    if (n <= 0) return u"<fail>";
    std::u16string out(static_cast<size_t>(n), u'\0');
    if (MultiByteToWideChar(code_page, flags, text, count, &out[0], n) != n) return u"<fail>";
    return out;
}

TEST(ConsoleText, MultiByteToWideCharAndWriteConsoleW) {
    EXPECT_EQ(widen(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xc3\xa9\xf0\x9f\x93\xb7", 7), u"a\u00e9\U0001F4F7");
    EXPECT_EQ(widen(CP_UTF8, 0, "ok", -1), std::u16string(u"ok\0", 3)) << "-1 takes the zero too";
    // Bad sequences: a lone continuation byte, a cut sequence, an overlong '/', a surrogate.
    for (const char *bad : {"x\x80", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80"}) {
        EXPECT_EQ(widen(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1), u"<fail>") << bad;
    }
    EXPECT_EQ(widen(CP_UTF8, 0, "x\x80", 2), u"x\uFFFD");
    EXPECT_EQ(widen(CP_ACP, 0, "caf\xe9", 4), u"caf\u00e9");
    char16_t small[2];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, small, 2), 0) << "does not fit";
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, nullptr, 0), 0) << "another code page";

    const char16_t text[] = u"\u0141\U0001F4F7\xD800!";
    DWORD written = 0;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), text, 5, &written, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\u0141\U0001F4F7\uFFFD!");
    EXPECT_EQ(written, 5u);
    EXPECT_FALSE(WriteConsoleW(INVALID_HANDLE_VALUE, text, 5, &written, nullptr));

    // The same conversion, asked for directly: -1 takes the zero too.
    char bytes[16];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9!", -1, bytes, sizeof bytes, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(bytes, 4), std::string("\xc3\xa9!", 4)) << "with its zero";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 5, nullptr, 0, nullptr, nullptr), 10) << "length only";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 5, bytes, 9, nullptr, nullptr), 0) << "does not fit";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 5, bytes, sizeof bytes, nullptr, nullptr), 0)
        << "only UTF-8";
}

std::vector<int> order;
std::atomic<int> calls{0};
BOOL WINAPI first(DWORD) {
    order.push_back(1);
    ++calls;
    return TRUE;
}
BOOL WINAPI second(DWORD) {
    order.push_back(2);
    ++calls;
    return FALSE;
}
BOOL WINAPI third(DWORD) {
    order.push_back(3);
    ++calls;
    return TRUE;
}

void wait_calls(int n) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (calls < n && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(ConsoleEventsLayer, HandlersRunLastAddedFirstUntilOneTakesTheEvent) {
    ASSERT_TRUE(SetConsoleCtrlHandler(first, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(second, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(third, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(third, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(third, FALSE)) << "no longer there";
    EXPECT_FALSE(SetConsoleCtrlHandler(nullptr, TRUE));
    headless_console_event(CTRL_BREAK_EVENT);
    wait_calls(2);
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    SetConsoleCtrlHandler(first, FALSE);
    SetConsoleCtrlHandler(second, FALSE);
}

TEST(ConsoleEventsLayerDeathTest, UntakenCtrlCAndAnyCloseEndTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(second, TRUE);
            headless_console_event(CTRL_C_EVENT);
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(58), "");
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(first, TRUE);
            headless_console_event(CTRL_CLOSE_EVENT);
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(58), "");
}

}  // namespace
