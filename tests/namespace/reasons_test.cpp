// The reason each refusal records for fs_last_error.
#include <set>
#include "../dir/dir_test_util.h"

using namespace fat16test;

namespace {

class Reasons : public VolumeTest {
  protected:
    FsError after(FsStatus status) {
        EXPECT_NE(status, FS_OK);
        return fs_last_error();
    }
};

TEST_F(Reasons, NamesAndPaths) {
    ASSERT_EQ(fs_mkdir("C:\\DIR"), FS_OK);
    EXPECT_EQ(fs_last_error(), FS_ERR_NONE);
    ASSERT_EQ(fs_create_file("C:\\FILE"), FS_OK);
    EXPECT_EQ(after(fs_mkdir("C:\\DIR")), FS_ERR_EXISTS);
    EXPECT_EQ(after(fs_create_file("C:\\dir")), FS_ERR_EXISTS);
    EXPECT_EQ(after(fs_mkdir("C:\\NOPE\\SUB")), FS_ERR_NO_PARENT);
    EXPECT_EQ(after(fs_create_file("C:\\FILE\\SUB")), FS_ERR_NOT_DIRECTORY);
    EXPECT_EQ(after(fs_create_file("C:\\bad?name")), FS_ERR_INVALID_NAME);
    EXPECT_EQ(after(fs_mkdir("C:\\pipe|dir")), FS_ERR_INVALID_NAME);
    EXPECT_EQ(after(fs_create_file("")), FS_ERR_INVALID_NAME);
    EXPECT_EQ(after(fs_create_file(nullptr)), FS_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(after(fs_create_file(("C:\\" + std::string(300, 'x')).c_str())), FS_ERR_PATH_TOO_LONG);
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_resolve(("C:\\" + std::string(300, 'x')).c_str()), FS_PATH_TOO_LONG);
    EXPECT_EQ(fs_last_error(), FS_ERR_PATH_TOO_LONG);
    EXPECT_EQ(after(path_resolve("C:NAME")), FS_ERR_INVALID_NAME);
    EXPECT_EQ(after(path_resolve("C:\\A.LONGEXT\\B")), FS_ERR_NOT_FOUND);
    EXPECT_EQ(after(fs_chdir("C:\\FILE", 0)), FS_ERR_NOT_DIRECTORY);
    EXPECT_EQ(after(fs_chdir("C:\\NONE", 0)), FS_ERR_NOT_FOUND);
    EXPECT_EQ(fs_chdir(" ", 1), FS_AT_TOP);
    EXPECT_EQ(fs_last_error(), FS_ERR_NONE);
}

// Paths past 259 units: refused by default, and no move or rename makes
// an entry unreachable; with FS_OPT_LONG_PATHS every path call takes them.
TEST_F(Reasons, LongPaths) {
    const std::string a(200, 'a'), b(100, 'b');
    const std::string deep = "C:\\D\\" + a;
    ASSERT_EQ(fs_mkdir("C:\\D"), FS_OK);
    ASSERT_EQ(fs_mkdir(deep.c_str()), FS_OK);
    ASSERT_EQ(fs_create_file((deep + "\\F.TXT").c_str()), FS_OK);
    ASSERT_EQ(fs_mkdir(("C:\\" + b).c_str()), FS_OK);
    // C:\bbb...\D\aaa...\F.TXT would hold 312 units.
    EXPECT_EQ(after(fs_move("C:\\D", ("C:\\" + b + "\\D").c_str())), FS_ERR_PATH_TOO_LONG);
    EXPECT_EQ(after(fs_rename((deep + "\\F.TXT").c_str(), std::string(60, 'n').c_str())),
              FS_ERR_PATH_TOO_LONG);
    // A move that keeps every path within the limit goes through.
    EXPECT_EQ(fs_move("C:\\D", "C:\\E"), FS_OK);
    ASSERT_EQ(fs_set_options(FS_OPT_LONG_PATHS), FS_OK);
    ASSERT_EQ(fs_move("C:\\E", ("C:\\" + b + "\\E").c_str()), FS_OK);
    const std::string moved = "C:\\" + b + "\\E\\" + a;
    uint8_t h = fs_open((moved + "\\F.TXT").c_str());
    ASSERT_NE(h, 0xFF);
    EXPECT_EQ(fs_close(h), FS_OK);
    const std::string longer = moved + "\\" + std::string(255, 'c');
    EXPECT_EQ(fs_mkdir(longer.c_str()), FS_OK);
    EXPECT_EQ(after(fs_mkdir((longer + "\\" + std::string(256, 'c')).c_str())), FS_ERR_INVALID_NAME);
    EXPECT_EQ(fs_create_file((longer + "\\G").c_str()), FS_OK);
    EXPECT_EQ(fs_rename((longer + "\\G").c_str(), "H"), FS_OK);
    EXPECT_EQ(fs_delete_file((longer + "\\H").c_str()), FS_OK);
    EXPECT_EQ(fs_rmdir(longer.c_str()), FS_OK);
    EXPECT_EQ(after(fs_chdir(moved.c_str(), 0)),
              FS_ERR_PATH_TOO_LONG); // the current directory keeps its record
    ASSERT_EQ(fs_set_options(0), FS_OK);
    EXPECT_EQ(after(fs_delete_file((moved + "\\F.TXT").c_str())), FS_ERR_PATH_TOO_LONG);
    FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK);
}

TEST_F(Reasons, RemovingAndRenaming) {
    ASSERT_EQ(fs_mkdir("C:\\DIR"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\DIR\\IN"), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\EMPTY"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\FILE"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\OTHER"), FS_OK);
    EXPECT_EQ(after(fs_rmdir("C:\\DIR")), FS_ERR_NOT_EMPTY);
    EXPECT_EQ(after(fs_rmdir("C:\\FILE")), FS_ERR_NOT_DIRECTORY);
    EXPECT_EQ(after(fs_rmdir("C:\\NONE")), FS_ERR_NOT_FOUND);
    EXPECT_EQ(after(fs_rmdir("C:\\")), FS_ERR_BUSY);
    ASSERT_EQ(fs_chdir("C:\\EMPTY", 0), FS_OK);
    EXPECT_EQ(after(fs_rmdir("C:\\EMPTY")), FS_ERR_BUSY);
    ASSERT_EQ(fs_chdir("C:\\", 0), FS_OK);
    EXPECT_EQ(after(fs_delete_file("C:\\DIR")), FS_ERR_IS_DIRECTORY);
    EXPECT_EQ(after(fs_delete_file("C:\\NONE")), FS_ERR_NOT_FOUND);
    EXPECT_EQ(after(fs_rename("C:\\DIR", "X")), FS_ERR_IS_DIRECTORY);
    EXPECT_EQ(after(fs_rename("C:\\FILE", "OTHER")), FS_ERR_EXISTS);
    EXPECT_EQ(after(fs_rename("C:\\FILE", "a\x01.html")), FS_ERR_INVALID_NAME);
    uint8_t h = fs_open("C:\\FILE");
    EXPECT_EQ(after(fs_delete_file("C:\\FILE")), FS_ERR_FILE_OPEN);
    EXPECT_EQ(after(fs_rename("C:\\FILE", "NEW")), FS_ERR_FILE_OPEN);
    fs_close(h);
    EXPECT_EQ(fs_rmdir("C:\\EMPTY"), FS_OK);
    EXPECT_EQ(fs_last_error(), FS_ERR_NONE);
}

TEST_F(Reasons, OpenFiles) {
    ASSERT_EQ(fs_mkdir("C:\\a long directory"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\A"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\B"), FS_OK);
    EXPECT_EQ(fs_open("C:\\a long directory"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_IS_DIRECTORY);
    EXPECT_EQ(fs_open("C:\\NONE"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_NOT_FOUND);
    uint8_t a = fs_open("C:\\A");
    uint8_t second = fs_open("C:\\A");
    EXPECT_EQ(fs_open("C:\\B"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_NO_HANDLE);
    uint8_t byte = 1;
    EXPECT_EQ(fs_write(second, &byte, 1), 0u);
    EXPECT_EQ(fs_last_error(), FS_ERR_READ_ONLY);
    EXPECT_EQ(fs_write(a, nullptr, 1), 0u);
    EXPECT_EQ(fs_last_error(), FS_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(after(fs_seek(a, 5, ORIGIN_START)), FS_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fs_read(7, &byte, 1), 0u);
    EXPECT_EQ(fs_last_error(), FS_ERR_BAD_HANDLE);
    EXPECT_EQ(after(fs_close(9)), FS_ERR_BAD_HANDLE);
    EXPECT_EQ(fs_write(a, &byte, 1), 1u);
    EXPECT_EQ(fs_last_error(), FS_ERR_NONE);
}

TEST_F(Reasons, FullVolumeFullRootAndNoVolume) {
    // Every cluster in use.
    for (uint32_t c = 2; c <= VolumeGeometry.cluster_count + 1; c++) set_fat_entry(c, 0xFFFF);
    ASSERT_EQ(fs_create_file("C:\\F"), FS_OK);
    uint8_t h = fs_open("C:\\F");
    uint8_t byte = 1;
    EXPECT_EQ(fs_write(h, &byte, 1), 0u);
    EXPECT_EQ(fs_last_error(), FS_ERR_NO_SPACE);
    fs_close(h);
    EXPECT_EQ(after(fs_mkdir("C:\\D")), FS_ERR_NO_SPACE);
    for (uint32_t c = 2; c <= VolumeGeometry.cluster_count + 1; c++) set_fat_entry(c, 0);
    std::vector<Slot> slots = numbered_slots('X', 1, 1024);
    put_slots(root_sectors(), 1, slots);
    EXPECT_EQ(after(fs_create_file("C:\\G")), FS_ERR_DIR_FULL);
    Sector s = read_raw(0);
    s[510] = 0;
    write_raw(0, s);
    EXPECT_EQ(after(fs_mount(1)), FS_ERR_DAMAGED);
    EXPECT_EQ(after(fs_create_file("\\G")), FS_ERR_NOT_MOUNTED);
    EXPECT_EQ(after(fs_create_file("C:\\G")), FS_ERR_DAMAGED); // mounting C reads the same sector 0
    uint32_t capacity, free_space;
    EXPECT_EQ(after(fs_volume_info('d', &capacity, &free_space)), FS_ERR_NOT_MOUNTED);
}

TEST(ReasonTexts, EveryReasonHasItsOwnText) {
    std::set<std::string> texts;
    for (int e = FS_ERR_NONE; e <= FS_ERR_IO; e++) {
        const char *t = fs_strerror((FsError)e);
        ASSERT_NE(t, nullptr);
        texts.insert(t);
    }
    EXPECT_EQ(texts.size(), (size_t)FS_ERR_IO + 1);
    EXPECT_STREQ(fs_strerror(FS_ERR_NO_PARENT), "parent directory not found");
    EXPECT_STREQ(fs_strerror((FsError)999), "unknown error");
}

} // namespace
