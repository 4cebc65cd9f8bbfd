#include <gtest/gtest.h>

#include <string>

#include "common/status_log.h"

namespace {

TEST(StatusLines, FillFromTopThenScroll) {
    StatusLog log;
    for (int i = 1; i <= 5; ++i) log.add_line(("line " + std::to_string(i)).c_str());
    EXPECT_STREQ(log.status_line(0), "line 1");
    EXPECT_STREQ(log.status_line(4), "line 5");
    log.add_line("line 6");
    EXPECT_STREQ(log.status_line(0), "line 2");
    EXPECT_STREQ(log.status_line(3), "line 5");
    EXPECT_STREQ(log.status_line(4), "line 6");
}

TEST(StatusLines, ShortLineLeavesNoRemainsOfLongerOne) {
    StatusLog log;
    log.add_line("a much longer line of status text");
    log.add_line("");
    log.add_line("ok");
    EXPECT_STREQ(log.status_line(1), "");
    EXPECT_STREQ(log.status_line(2), "ok");
    const char *slot = log.status_line(2);
    for (int i = 2; i < 80; ++i) EXPECT_EQ(slot[i], '\0') << i;
}

TEST(StatusLines, LongLineKeeps79CharactersAndStaysInItsSlot) {
    StatusLog log;
    std::string long_line(200, 'x');
    log.add_line(long_line.c_str());
    log.add_line(std::string(80, 'y').c_str());
    log.add_line("next");
    EXPECT_EQ(std::string(log.status_line(0)), std::string(79, 'x'));
    EXPECT_EQ(std::string(log.status_line(1)), std::string(79, 'y'));
    EXPECT_STREQ(log.status_line(2), "next");
}

TEST(StatusLines, ClearEmptiesButKeepsFillCount) {
    StatusLog log;
    log.add_line("one");
    log.add_line("two");
    log.clear_text_area();
    for (int i = 0; i < 5; ++i) EXPECT_STREQ(log.status_line(i), "");
    log.add_line("three");
    EXPECT_STREQ(log.status_line(2), "three") << "the next line goes after the last one filled";
    for (int i = 0; i < 3; ++i) log.add_line("more");
    log.add_line("scrolled");
    EXPECT_STREQ(log.status_line(4), "scrolled");
    EXPECT_STREQ(log.status_line(0), "three") << "the cleared slots scrolled off the top";
}

}  // namespace
