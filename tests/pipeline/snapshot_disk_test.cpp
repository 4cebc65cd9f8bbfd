// Snapshots on a full or read-only disk, and beside files that happen to
// have the names a snapshot might use for its temporary file. A real small
// tmpfs is mounted where the test may do so (as root); elsewhere the file
// layer's failure hook stands in for the disk.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "platform/files.h"
#include "support/program.h"

namespace {

using namespace test_support;

std::set<std::string> listing(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

void write_text(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

std::string read_text(const std::string &path) {
    std::vector<unsigned char> b = read_file(path);
    return std::string(b.begin(), b.end());
}

bool has_line(ProgramRun &run, const char *text) {
    for (int i = 0; i < StatusLog::line_count; ++i) {
        if (std::strcmp(run.program().log.status_line(i), text) == 0) return true;
    }
    return false;
}

int disk_error = 0;
int failing_disk(const char *call) {
    // A full disk takes new files but no bytes; a read-only one takes nothing.
    if (disk_error == ENOSPC) return std::strcmp(call, "WriteFile") == 0 ? ENOSPC : 0;
    return disk_error;
}

// A working directory on a disk that is full (ENOSPC) or read-only (EROFS),
// holding a user's "1.bmp" and "1.bmp.tmp" from before.
class BadDisk {
  public:
    explicit BadDisk(int error) : error_(error), path_(dir_.file("disk")) {
        mkdir(path_.c_str(), 0755);
        mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
        write_text(path_ + "/1.bmp", "an older snapshot");
        write_text(path_ + "/1.bmp.tmp", "a user's file");
        if (mounted_ && error == EROFS)
            mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") == 0;
        if (mounted_ && error == ENOSPC) {
            // Fill what is left of it.
            FILE *f = std::fopen((path_ + "/filler").c_str(), "wb");
            static const char block[4096] = {};
            while (f && std::fwrite(block, 1, sizeof block, f) == sizeof block && std::fflush(f) == 0) {
            }
            if (f) std::fclose(f);
        }
        if (!mounted_) {
            disk_error = error;
            file_failure_for_test = failing_disk;
        }
        before_ = listing(path_);
        if (chdir(path_.c_str()) != 0) path_.clear();
    }
    ~BadDisk() {
        file_failure_for_test = nullptr;
        if (chdir(dir_.path().c_str()) != 0) return;
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool real() const { return mounted_; }
    const std::string &path() const { return path_; }
    const std::set<std::string> &before() const { return before_; }

  private:
    int error_;
    TempDir dir_;
    std::string path_;
    bool mounted_ = false;
    std::set<std::string> before_;
};

void snapshot_fails_cleanly(int error) {
    BadDisk disk(error);
    ASSERT_FALSE(disk.path().empty());
    if (!disk.real()) std::printf("(no tmpfs could be mounted: the file layer's failure hook stands in)\n");
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(320, 240));
    run.deliver_frame(position_frame(320, 240));
    run.press('R');
    EXPECT_TRUE(has_line(run, "Save to: 1.bmp"));
    EXPECT_TRUE(has_line(run, "Unable to save 1.bmp"));
    // No partial snapshot, no temporary file left, the user's files intact.
    EXPECT_EQ(listing(disk.path()), disk.before());
    EXPECT_EQ(read_text(disk.path() + "/1.bmp"), "an older snapshot");
    EXPECT_EQ(read_text(disk.path() + "/1.bmp.tmp"), "a user's file");
    // The program runs on: the next frame goes through.
    std::vector<unsigned char> next = position_frame(320, 240);
    for (unsigned char &b : next) b ^= 0x5a;
    run.deliver_frame(next);
    {
        FrameStore &store = run.program().store;
        std::lock_guard<std::mutex> lock(store.frame_lock);
        ASSERT_NE(store.camera_buffer, nullptr);
        EXPECT_EQ(std::memcmp(store.camera_buffer, next.data(), next.size()), 0);
    }
    run.press('R');
    EXPECT_TRUE(has_line(run, "Unable to save 2.bmp"));
    run.close();
    EXPECT_EQ(run.finish(), 0);
}

TEST(SnapshotDisk, AFullDiskLeavesNoPartOfTheSnapshotAndTheProgramRunsOn) { snapshot_fails_cleanly(ENOSPC); }

TEST(SnapshotDisk, AReadOnlyDiskLeavesNoPartOfTheSnapshotAndTheProgramRunsOn) {
    snapshot_fails_cleanly(EROFS);
}

// The temporary file has a name of its own: files already there under any
// name a snapshot might take stay as they were.
TEST(SnapshotDisk, FilesBesideTheSnapshotAreNeverTouched) {
    TempDir dir;
    for (const char *name : {"1.bmp.tmp", "1.bmp.part", "1.tmp", "2.bmp.tmp"})
        write_text(dir.file(name), name);
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(16, 8));
    run.deliver_frame(position_frame(16, 8));
    run.press('R');
    run.press('R');
    EXPECT_EQ(read_file(dir.file("1.bmp")).size(), 54u + 16 * 8 * 3);
    EXPECT_EQ(read_file(dir.file("2.bmp")).size(), 54u + 16 * 8 * 3);
    for (const char *name : {"1.bmp.tmp", "1.bmp.part", "1.tmp", "2.bmp.tmp"}) {
        EXPECT_EQ(read_text(dir.file(name)), name);
    }
    EXPECT_EQ(listing(dir.path()).size(), 6u) << "no temporary file is left";
}

}  // namespace
