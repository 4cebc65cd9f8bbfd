// File calls of the portable layer: what each disposition does to a file
// that is already there.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/program.h"

namespace {

using test_support::read_file;
using test_support::TempDir;

HANDLE open_for_writing(const std::string &path, DWORD disposition) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(CreateFileA, CreateNewRefusesAnExistingFileAndLeavesItWhole) {
    TempDir dir;
    const std::string path = dir.file("1.bmp");
    HANDLE created = open_for_writing(path, CREATE_NEW);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(created, "kept", 4, &written, nullptr));
    ASSERT_TRUE(CloseHandle(created));

    HANDLE again = open_for_writing(path, CREATE_NEW);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    EXPECT_EQ(read_file(path), (std::vector<unsigned char>{'k', 'e', 'p', 't'}));
}

}  // namespace
