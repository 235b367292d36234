// Tests of the file-system calls in a private temporary directory.
#include "os/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "../support/unit_io.h"

namespace marlox::os {
namespace {

class FsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        old_umask_ = ::umask(027);
    }
    void TearDown() override { ::umask(old_umask_); }

    static mode_t mode_of(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }

    const test::TempDir temp_;
    const std::string& dir_ = temp_.path();
    mode_t old_umask_ = 0;
};

TEST_F(FsTest, MakeDirsCreatesEveryLevelWithTheModeLessUmask) {
    ASSERT_TRUE(make_dirs(dir_ + "/a/b/c", 0777));
    for (const char* sub : {"/a", "/a/b", "/a/b/c"}) {
        EXPECT_EQ(mode_of(dir_ + sub), S_IFDIR | 0750) << sub;
    }
    // Existing directories are fine and keep their mode; a trailing slash changes nothing.
    ASSERT_TRUE(make_dirs(dir_ + "/a/b/", 0700));
    ASSERT_TRUE(make_dirs(dir_ + "/a/b/d", 0700));
    EXPECT_EQ(mode_of(dir_ + "/a/b"), S_IFDIR | 0750);
    EXPECT_EQ(mode_of(dir_ + "/a/b/d"), S_IFDIR | 0700);

    auto file = create_new_file(dir_ + "/file", 0600);
    ASSERT_TRUE(file);
    const auto under_file = make_dirs(dir_ + "/file/x", 0777);
    ASSERT_FALSE(under_file);
    EXPECT_EQ(under_file.error().code, ENOTDIR);
}

TEST_F(FsTest, CreateNewFileOnlyEverCreates) {
    const std::string path = dir_ + "/of.conf";
    auto created = create_new_file(path, 0600);
    ASSERT_TRUE(created) << describe(created.error());
    EXPECT_EQ(mode_of(path), S_IFREG | 0600);
    EXPECT_EQ(::fcntl(created->get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(::write(created->get(), "x", 1), 1);

    const std::string target = dir_ + "/target";
    const std::string dangling = dir_ + "/dangling";
    const std::string to_file = dir_ + "/to-file";
    ASSERT_EQ(::symlink(target.c_str(), dangling.c_str()), 0);
    ASSERT_EQ(::symlink(path.c_str(), to_file.c_str()), 0);
    for (const std::string& existing : {path, dangling, to_file}) {
        const auto again = create_new_file(existing, 0600);
        ASSERT_FALSE(again) << existing;
        EXPECT_EQ(again.error().code, EEXIST) << existing;
    }
    EXPECT_EQ(mode_of(target), 0u);  // the link was not followed
    EXPECT_EQ(std::filesystem::file_size(path), 1u);

    const auto no_dir = create_new_file(dir_ + "/missing/of.conf", 0600);
    ASSERT_FALSE(no_dir);
    EXPECT_EQ(no_dir.error().code, ENOENT);
}

TEST_F(FsTest, RemoveFileAndSetMode) {
    const std::string path = dir_ + "/helper.sock";
    ASSERT_TRUE(create_new_file(path, 0600));
    ASSERT_TRUE(set_mode(path, 0666));
    EXPECT_EQ(mode_of(path), S_IFREG | 0666);  // whatever the umask

    ASSERT_TRUE(remove_file(path));
    EXPECT_EQ(mode_of(path), 0u);
    const auto again = remove_file(path);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, ENOENT);
}

}  // namespace
}  // namespace marlox::os
