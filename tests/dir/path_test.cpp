// Path resolution, its limits, and the current directory.
#include "dir_test_util.h"

using namespace fat16test;

namespace {

class Paths : public VolumeTest {
  protected:
    FsStatus find(const char *path, uint8_t kind) {
        DirCursor.search_kind = kind;
        return path_resolve(path);
    }
};

TEST_F(Paths, ComponentsSplitIntoNameAndExtension) {
    char name[256], ext[20];
    uint8_t consumed = 0;
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_next_component("DIR\\FILE.TXT", name, ext, &consumed), FS_OK);
    EXPECT_STREQ(name, "DIR");
    EXPECT_STREQ(ext, "");
    EXPECT_EQ(consumed, 4);
    EXPECT_EQ(DirCursor.component_kind, KIND_DIR);
    EXPECT_EQ(path_next_component("FILE.TXT", name, ext, &consumed), FS_LAST_COMPONENT);
    EXPECT_STREQ(name, "FILE");
    EXPECT_STREQ(ext, "TXT");
    EXPECT_EQ(DirCursor.component_kind, KIND_FILE);
    EXPECT_EQ(path_next_component("A.B.C", name, ext, &consumed), FS_LAST_COMPONENT);
    EXPECT_STREQ(ext, "B.C");
    EXPECT_EQ(path_next_component("A.HTML", name, ext, &consumed), FS_FAIL);
    DirCursor.search_kind = KIND_DIR;
    EXPECT_EQ(path_next_component("LAST", name, ext, &consumed), FS_LAST_COMPONENT);
    EXPECT_EQ(DirCursor.component_kind, KIND_DIR);
    // A name part longer than any name fails instead of overrunning.
    std::string huge(300, 'x');
    EXPECT_EQ(path_next_component(huge.c_str(), name, ext, &consumed), FS_FAIL);
}

TEST_F(Paths, FileSearchesMatchNameAndExtension) {
    ASSERT_EQ(fs_create_file("C:\\NAME.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\OTHER"), FS_OK);
    EXPECT_EQ(find("C:\\NAME", KIND_FILE), FS_FAIL);
    EXPECT_EQ(find("C:\\name.txt", KIND_FILE), FS_OK);
    EXPECT_EQ(find("C:\\OTHER.", KIND_FILE), FS_OK); // a trailing '.' means no extension
    EXPECT_EQ(find("C:\\OTHER.X", KIND_FILE), FS_FAIL);
}

TEST_F(Paths, DirectorySearchesIgnoreTheComponentExtension) {
    ASSERT_EQ(fs_mkdir("C:\\A"), FS_OK);
    EXPECT_EQ(find("C:\\A.XYZ", KIND_DIR), FS_OK);
    // An 8.3 directory whose name has an extension (made elsewhere) is
    // found by no directory search, not even as an intermediate component.
    uint32_t c = 0;
    Sector buf{};
    ASSERT_EQ(fat_alloc_cluster(&c, buf.data()), FS_OK);
    put_slots(root_sectors(), 5, {short_slot("AB      CDE", ATTR_DIRECTORY, c)});
    EXPECT_EQ(find("C:\\AB.CDE", KIND_DIR), FS_FAIL);
    EXPECT_EQ(find("C:\\AB", KIND_DIR), FS_FAIL);
    EXPECT_EQ(find("C:\\AB.CDE\\X", KIND_FILE), FS_FAIL);
}

TEST_F(Paths, LongNamesResolveInAnyCase) {
    ASSERT_EQ(fs_mkdir("CREATE_FOLDER_TEST"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\CREATE_FOLDER_TEST\\created_file.txt"), FS_OK);
    for (const char *p :
         {"C:\\CREATE_FOLDER_TEST\\CREATED_FILE.TXT", "c:\\create_folder_test\\Created_File.Txt",
          "\\Create_Folder_Test\\created_file.txt", "create_folder_test\\CREATED_FILE.txt"}) {
        EXPECT_EQ(find(p, KIND_FILE), FS_OK) << p;
        EXPECT_EQ(FoundEntry.attr, ATTR_ARCHIVE) << p;
        EXPECT_EQ(DirCursor.in_chain, 1) << p;
    }
    // The caller's string is not changed.
    char path[] = "c:\\create_folder_test";
    EXPECT_EQ(find(path, KIND_DIR), FS_OK);
    EXPECT_STREQ(path, "c:\\create_folder_test");
}

TEST_F(Paths, RootAndTrailingSeparators) {
    ASSERT_EQ(fs_mkdir("C:\\DIR"), FS_OK);
    DirCursor.offset = 96;
    EXPECT_EQ(find("C:\\", KIND_DIR), FS_OK);
    EXPECT_EQ(DirCursor.sector, 513u);
    EXPECT_EQ(DirCursor.offset, 0u);
    EXPECT_EQ(DirCursor.in_chain, 0);
    EXPECT_EQ(find("\\", KIND_DIR), FS_OK);
    EXPECT_EQ(find("C:\\DIR\\", KIND_DIR), FS_FAIL);
    EXPECT_EQ(find("C:\\DIR\\\\", KIND_DIR), FS_FAIL);
    for (const char *p : {"C:\\.", "C:\\..", "C:\\DIR\\.", "C:\\DIR\\.."})
        EXPECT_EQ(find(p, KIND_DIR), FS_FAIL) << p;
}

TEST_F(Paths, FormsWithoutAStartingDirectoryAreRefused) {
    ASSERT_EQ(fs_create_file("C:\\NAME"), FS_OK);
    EXPECT_EQ(find("", KIND_FILE), FS_FAIL);
    EXPECT_EQ(find("C:", KIND_FILE), FS_FAIL);
    EXPECT_EQ(find("C:NAME", KIND_FILE), FS_FAIL);
    EXPECT_EQ(path_resolve(nullptr), FS_FAIL);
    // Any other first character starts a relative path.
    ASSERT_EQ(fs_create_file("1ABC"), FS_OK);
    ASSERT_EQ(fs_create_file("_X"), FS_OK);
    EXPECT_EQ(find("1abc", KIND_FILE), FS_OK);
    EXPECT_EQ(find("_x", KIND_FILE), FS_OK);
}

TEST_F(Paths, LengthLimitsByForm) {
    std::string absolute = "C:\\" + std::string(258, 'A'); // 261 characters
    EXPECT_EQ(find(absolute.c_str(), KIND_FILE), FS_PATH_TOO_LONG);
    EXPECT_EQ(find(absolute.substr(0, 260).c_str(), KIND_FILE), FS_FAIL); // long enough, not found
    std::string rooted = "\\" + std::string(259, 'A');                    // 260 + 1
    EXPECT_EQ(find(rooted.c_str(), KIND_FILE), FS_PATH_TOO_LONG);
    EXPECT_EQ(find(rooted.substr(0, 259).c_str(), KIND_FILE), FS_FAIL);
    // Relative: its length plus the current path's.
    ASSERT_EQ(fs_mkdir("C:\\DIR"), FS_OK);
    ASSERT_EQ(fs_chdir("C:\\DIR", 0), FS_OK); // "C:\DIR", 6 characters
    DirCursor.search_kind = KIND_FILE;
    DirCursorState before = DirCursor;
    std::string relative(255, 'B');
    EXPECT_EQ(path_resolve(relative.c_str()), FS_PATH_TOO_LONG);
    EXPECT_EQ(DirCursor.sector, before.sector);
    EXPECT_EQ(DirCursor.offset, before.offset);
    EXPECT_EQ(DirCursor.in_chain, before.in_chain);
    EXPECT_EQ(find(relative.substr(0, 254).c_str(), KIND_FILE), FS_FAIL);
    // A path much longer than any buffer is refused, never copied.
    std::string enormous(100000, 'x');
    EXPECT_EQ(find(enormous.c_str(), KIND_FILE), FS_PATH_TOO_LONG);
}

TEST_F(Paths, ChdirDownAndUp) {
    ASSERT_EQ(fs_mkdir("CREATE_FOLDER_TEST"), FS_OK);
    uint32_t c = cluster_of("C:\\CREATE_FOLDER_TEST");
    ASSERT_EQ(fs_chdir("CREATE_FOLDER_TEST", 0), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "C:\\CREATE_FOLDER_TEST");
    EXPECT_EQ(CurrentDir.in_subdir, 1);
    EXPECT_EQ(CurrentDir.first_cluster, c);
    EXPECT_EQ(DirCursor.sector, cluster_to_sector(c));
    EXPECT_EQ(DirCursor.offset, 0u);
    EXPECT_EQ(fs_chdir(" ", 1), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "C:\\");
    EXPECT_EQ(CurrentDir.in_subdir, 0);
    EXPECT_EQ(fs_chdir(" ", 1), FS_AT_TOP);
    EXPECT_STREQ(CurrentDir.path, "C:\\");
}

TEST_F(Paths, ChdirUpFindsTheParentsCluster) {
    ASSERT_EQ(fs_mkdir("C:\\A"), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\A\\B"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\A\\INA.TXT"), FS_OK);
    uint32_t a = cluster_of("C:\\A");
    ASSERT_EQ(fs_chdir("C:\\A\\B", 0), FS_OK);
    EXPECT_EQ(fs_chdir(nullptr, 1), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "C:\\A");
    EXPECT_EQ(CurrentDir.first_cluster, a);
    EXPECT_EQ(find("ina.txt", KIND_FILE), FS_OK); // relative paths now resolve in A
}

TEST_F(Paths, ChdirRecordsEachFormAsGiven) {
    ASSERT_EQ(fs_mkdir("C:\\A"), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\A\\B"), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\X"), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\Y"), FS_OK);
    ASSERT_EQ(fs_chdir("C:\\A", 0), FS_OK);
    EXPECT_EQ(fs_chdir("b", 0), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "C:\\A\\b");
    ASSERT_EQ(fs_chdir("d:\\y", 0), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "d:\\y");
    EXPECT_EQ(VolumeGeometry.drive_letter, 'D');
    ASSERT_EQ(fs_chdir("\\X", 0), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "d:\\X");
    ASSERT_EQ(fs_chdir("c:\\", 0), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "c:\\");
    EXPECT_EQ(CurrentDir.in_subdir, 0);
    EXPECT_EQ(fs_chdir("a", 0), FS_OK);
    EXPECT_STREQ(CurrentDir.path, "c:\\a");
}

TEST_F(Paths, ChdirFailuresChangeNothing) {
    ASSERT_EQ(fs_create_file("C:\\FILE.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\longfilenamewithoutextension"), FS_OK);
    CurrentDirRecord before = CurrentDir;
    for (const char *p : {"", "NOPE", "C:", "FILE.TXT", "C:\\FILE.TXT\\", "longfilenamewithoutextension"})
        EXPECT_EQ(fs_chdir(p, 0), FS_FAIL) << p;
    EXPECT_EQ(fs_chdir(nullptr, 0), FS_FAIL);
    EXPECT_EQ(memcmp(&before, &CurrentDir, sizeof before), 0);
}

TEST_F(Paths, ChdirRefusesACurrentPathThatWouldNotFit) {
    // Nest directories until the path is 258 characters long.
    std::string path = "C:";
    std::string dir(100, 'D');
    while (path.size() + 1 + dir.size() <= 258) {
        path += "\\" + dir;
        ASSERT_EQ(fs_mkdir(path.c_str()), FS_OK) << path;
    }
    std::string last(258 - path.size() - 1, 'E');
    path += "\\" + last;
    ASSERT_EQ(fs_mkdir(path.c_str()), FS_OK);
    ASSERT_EQ(path.size(), 258u);
    ASSERT_EQ(fs_chdir(path.c_str(), 0), FS_OK);
    EXPECT_EQ(std::string(CurrentDir.path), path);
    // A directory one level further can be made, but making it current would
    // need a 260-character path: refused, nothing changes.
    ASSERT_EQ(fs_mkdir("Z"), FS_OK);
    CurrentDirRecord before = CurrentDir;
    EXPECT_EQ(fs_chdir("Z", 0), FS_FAIL);
    EXPECT_EQ(memcmp(&before, &CurrentDir, sizeof before), 0);
    EXPECT_EQ(fs_chdir(" ", 1), FS_OK);
    EXPECT_EQ(fs_chdir(last.c_str(), 0), FS_OK);
}

TEST_F(Paths, NameCompareIgnoresCaseAndChangesNeitherName) {
    EXPECT_EQ(name_compare("abc", "ABC"), FS_OK); // literals: nothing may be written to them
    char a[] = "aBc";
    char b[] = "AbC";
    EXPECT_EQ(name_compare(a, b), FS_OK);
    EXPECT_STREQ(a, "aBc");
    EXPECT_STREQ(b, "AbC");
    EXPECT_EQ(name_compare("ab", "ABC"), FS_FAIL);
}

TEST_F(Paths, AFileIsNeverWalkedIntoAsADirectory) {
    ASSERT_EQ(fs_create_file("C:\\longfilenamewithoutextension"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\PLAIN"), FS_OK);
    EXPECT_EQ(find("C:\\longfilenamewithoutextension", KIND_DIR), FS_FAIL);
    EXPECT_EQ(find("C:\\longfilenamewithoutextension\\X", KIND_FILE), FS_FAIL);
    EXPECT_EQ(find("C:\\PLAIN\\X", KIND_FILE), FS_FAIL);
    FsDiskCounters before{}, after{};
    disk_get_counters(&before);
    EXPECT_EQ(fs_mkdir("C:\\longfilenamewithoutextension\\SUB"), FS_FAIL);
    EXPECT_EQ(fs_create_file("C:\\PLAIN\\SUB"), FS_FAIL);
    disk_get_counters(&after);
    EXPECT_EQ(after.writes, before.writes);
}

TEST_F(Paths, NothingResolvesWithoutAMountedVolume) {
    ASSERT_EQ(fs_create_file("C:\\NAME"), FS_OK);
    Sector s = read_raw(0);
    Sector broken = s;
    broken[510] = 0;
    write_raw(0, broken);
    EXPECT_EQ(fs_mount(1), FS_FAIL);
    EXPECT_EQ(find("NAME", KIND_FILE), FS_FAIL);
    EXPECT_EQ(find("\\NAME", KIND_FILE), FS_FAIL);
    EXPECT_EQ(find("C:\\NAME", KIND_FILE), FS_FAIL); // mounting C reads the same broken sector
    write_raw(0, s);
    EXPECT_EQ(find("C:\\NAME", KIND_FILE), FS_OK);
}

} // namespace

namespace {

// A directory is any entry with the directory bit, whatever read-only,
// hidden, system or archive bits other tools gave it; a file likewise.
TEST_F(Paths, DirectoriesAndFilesWithFurtherAttributesAreUsable) {
    for (uint8_t extra : {0x01, 0x02, 0x04, 0x20, 0x27}) {
        std::string context = "attribute bits " + std::to_string(extra);
        const std::string dir = "C:\\D" + std::to_string(extra);
        ASSERT_EQ(fs_mkdir(dir.c_str()), FS_OK) << context;
        ASSERT_EQ(fs_create_file((dir + "\\F.TXT").c_str()), FS_OK) << context;
        for (const std::string &path : {dir, dir + "\\F.TXT"}) {
            FsEntry e;
            ASSERT_EQ(fs_stat(path.c_str(), &e), FS_OK) << path;
            Sector s = read_raw(FoundEntry.entry_sector);
            s[FoundEntry.entry_offset + DIR_ATTR] |= extra;
            write_raw(FoundEntry.entry_sector, s);
        }
        EXPECT_EQ(find(dir.c_str(), KIND_DIR), FS_OK) << context;
        EXPECT_EQ(find((dir + "\\F.TXT").c_str(), KIND_FILE), FS_OK) << context;
        EXPECT_EQ(fs_create_file((dir + "\\G.TXT").c_str()), FS_OK) << context;
        EXPECT_EQ(fs_mkdir((dir + "\\SUB").c_str()), FS_OK) << context;
        EXPECT_EQ(fs_chdir(dir.c_str(), 0), FS_OK) << context;
        EXPECT_EQ(fs_rmdir(dir.c_str()), FS_FAIL) << context;
        EXPECT_EQ(fs_chdir(nullptr, 1), FS_OK) << context;
        EXPECT_EQ(fs_rmdir(dir.c_str()), FS_FAIL) << context;
        EXPECT_EQ(fs_last_error(), FS_ERR_NOT_EMPTY) << context;
    }
#if FS_WITH_WALK
    // The walk goes into every one of them.
    EXPECT_EQ(walk_all().size(), 5u * 4);
#endif
}

} // namespace
