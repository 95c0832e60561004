// I/O faults: with any one read or write failing, every operation ends (no
// crash, no loop), reports the failure of its own writes, and never writes
// back a sector it could not read, so other entries and files stay intact.
#include "../dir/dir_test_util.h"
#include "../file/file_test_util.h"

using namespace fat16test;

namespace {

const uint32_t kSectors = 12000;

struct Operation {
    const char *what;
    bool (*run)(); // true when the library reports full success
};

bool write_40000() {
    uint8_t h = fs_open("C:\\D\\EXIST");
    if (h == 0xFF) return false;
    std::vector<uint8_t> data = pattern(40000, 5);
    uint32_t n = fs_write(h, data.data(), 40000);
    FsError reason = fs_last_error(); // the close that follows succeeds
    fs_close(h);
    fs_set_error(reason);
    return n == 40000;
}

const Operation kOperations[] = {
    {"mkdir", [] { return fs_mkdir("C:\\D\\NEWDIR") == FS_OK; }},
    {"create long name", [] { return fs_create_file("C:\\D\\a new long file name.txt") == FS_OK; }},
    {"create short name", [] { return fs_create_file("C:\\D\\NEW.TXT") == FS_OK; }},
    {"write", write_40000},
    {"rename", [] { return fs_rename("C:\\D\\EXIST", "a renamed long name.txt") == FS_OK; }},
    {"delete", [] { return fs_delete_file("C:\\D\\EXIST") == FS_OK; }},
    {"rmdir", [] { return fs_rmdir("C:\\D\\EMPTYDIR") == FS_OK; }},
};

class IoFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(format_memory_volume(&image, kSectors));
        ASSERT_EQ(fs_mkdir("C:\\D"), FS_OK);
        ASSERT_EQ(fs_mkdir("C:\\D\\EMPTYDIR"), FS_OK);
        sentinel = pattern(3000, 9);
        ASSERT_EQ(fs_create_file("C:\\D\\sentinel file.dat"), FS_OK);
        uint8_t h = fs_open("C:\\D\\sentinel file.dat");
        ASSERT_EQ(fs_write(h, sentinel.data(), 3000), 3000u);
        fs_close(h);
        ASSERT_EQ(fs_create_file("C:\\D\\EXIST"), FS_OK);
        h = fs_open("C:\\D\\EXIST");
        ASSERT_EQ(fs_write(h, sentinel.data(), 100), 100u);
        fs_close(h);
        pristine = image;
    }
    void TearDown() override {
        disk_set_faults(nullptr);
        disk_close_image();
    }
    void fresh() {
        disk_set_faults(nullptr);
        image = pristine;
        ASSERT_EQ(disk_open_memory(image.data(), (uint32_t)image.size()), FS_OK);
        ASSERT_EQ(fs_init(), FS_OK);
        disk_reset_counters();
    }
    FsDiskCounters transfers_of(const Operation &op) {
        fresh();
        EXPECT_TRUE(op.run()) << op.what;
        FsDiskCounters c{};
        disk_get_counters(&c);
        return c;
    }
    // The volume is still readable, the other entries are intact, and the
    // check finds no shared or looping chain.
    void expect_others_intact(const std::string &context) {
        disk_set_faults(nullptr);
        ASSERT_EQ(fs_init(), FS_OK) << context;
        EXPECT_EQ(read_whole("C:\\D\\sentinel file.dat"), sentinel) << context;
        DirCursor.search_kind = KIND_DIR;
        EXPECT_EQ(path_resolve("C:\\D"), FS_OK) << context;
        static FsCheckReport report;
        check_volume(&report);
        for (uint32_t i = 0; i < report.problem_count && i < FS_CHECK_MAX_PROBLEMS; i++) {
            uint8_t k = report.problems[i].kind;
            EXPECT_TRUE(k != FS_PROBLEM_CROSS_LINK && k != FS_PROBLEM_CHAIN_LOOP &&
                        k != FS_PROBLEM_BAD_CLUSTER && k != FS_PROBLEM_DUPLICATE_NAME)
                << context << ": " << fs_check_problem_text(k) << " at " << report.problems[i].path;
        }
    }
    std::vector<uint8_t> image, pristine, sentinel;
};

TEST_F(IoFaults, AFailedWriteIsReportedByTheOperationThatMadeIt) {
    for (const Operation &op : kOperations) {
        uint64_t writes = transfers_of(op).writes;
        ASSERT_GT(writes, 0u) << op.what;
        for (uint64_t n = 1; n <= writes; n++) {
            for (uint8_t persistent : {0, 1}) {
                fresh();
                FsDiskFaults faults{0, n, persistent};
                disk_set_faults(&faults);
                std::string context = std::string(op.what) + ", write " + std::to_string(n) +
                                      (persistent ? " and on" : " only");
                EXPECT_FALSE(op.run()) << context << " reported success";
                EXPECT_EQ(fs_last_error(), FS_ERR_IO) << context << ": " << fs_strerror(fs_last_error());
                EXPECT_EQ(disk_take_error(), FS_FAIL) << context;
                EXPECT_EQ(disk_take_error(), FS_OK) << context << ": the error is taken once";
                ASSERT_NO_FATAL_FAILURE(expect_others_intact(context));
            }
        }
    }
}

TEST_F(IoFaults, AFailedReadNeverLeadsToWritingBackWhatWasNotRead) {
    for (const Operation &op : kOperations) {
        uint64_t reads = transfers_of(op).reads;
        for (uint64_t n = 1; n <= reads; n++) {
            fresh();
            FsDiskFaults faults{n, 0, 0};
            disk_set_faults(&faults);
            std::string context = std::string(op.what) + ", read " + std::to_string(n);
            if (!op.run()) {
                EXPECT_NE(fs_last_error(), FS_ERR_NONE) << context;
            }
            ASSERT_NO_FATAL_FAILURE(expect_others_intact(context));
        }
    }
}

TEST_F(IoFaults, ReadsStopAtAnUnreadableSector) {
    fresh();
    uint8_t h = fs_open("C:\\D\\sentinel file.dat");
    ASSERT_NE(h, 0xFF);
    FsDiskFaults faults{1, 0, 1}; // every read fails from now on
    disk_set_faults(&faults);
    std::vector<uint8_t> buf(3000);
    EXPECT_EQ(fs_read(h, buf.data(), 3000), 512u); // the sector loaded at open, then nothing
    EXPECT_EQ(fs_last_error(), FS_ERR_IO);
    disk_set_faults(nullptr);
    EXPECT_EQ(fs_seek(h, 512, ORIGIN_START), FS_OK);
    EXPECT_EQ(fs_read(h, buf.data(), 3000), 2488u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 2488, sentinel.begin() + 512));
}

TEST_F(IoFaults, EverythingFailingEndsEveryOperation) {
    fresh();
    FsDiskFaults faults{1, 1, 1};
    disk_set_faults(&faults);
    EXPECT_EQ(fs_mkdir("C:\\X"), FS_FAIL);
    EXPECT_EQ(fs_create_file("C:\\D\\Y"), FS_FAIL);
    EXPECT_EQ(fs_open("C:\\D\\EXIST"), FS_FAIL);
    EXPECT_EQ(fs_delete_file("C:\\D\\EXIST"), FS_FAIL);
    EXPECT_EQ(fs_rmdir("C:\\D\\EMPTYDIR"), FS_FAIL);
    EXPECT_EQ(fs_rename("C:\\D\\EXIST", "Z"), FS_FAIL);
    EXPECT_EQ(fs_chdir("C:\\D", 0), FS_FAIL);
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr;
    EXPECT_EQ(fs_walk_tree(path, 0, &attr), FS_FAIL);
    uint32_t capacity, free_space;
    EXPECT_EQ(fs_volume_info('c', &capacity, &free_space), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_IO);
    EXPECT_EQ(fs_init(), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_IO);
}

// Linux: /dev/full, a symbolic link to it and a POSIX shell.
#if !defined(_WIN32)
TEST(DriverIoFault, HostWritesThatFailEndTheRunWithStatusOne) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available; skipped";
    ScratchDir dir;
    ASSERT_EQ(symlink("/dev/full", "fat16.img"), 0); // reads give zeros, every write fails
    write_file("readed.rar", "x");
    CommandResult r = run_command(std::string("'") + FAT16_DRIVER_PATH + "' < /dev/null > out 2> err");
    EXPECT_EQ(r.status, 1);
    std::string err = read_file("err");
    EXPECT_NE(err.find("fat16.img"), std::string::npos) << err;
}
#endif

} // namespace

namespace {

// A read that fails while a directory's free run is searched across its
// cluster boundary is never taken for the end of its chain: the directory
// does not grow in front of its own second cluster, every entry stays found,
// and the creation either succeeds or says the host failed.
TEST(IoFaultGrowth, AFailedReadNeverEndsADirectoryChain) {
    std::vector<uint8_t> image;
    ASSERT_NO_FATAL_FAILURE(format_memory_volume(&image, kSectors));
    ASSERT_EQ(fs_mkdir("C:\\G"), FS_OK);
    char name[32];
    for (int i = 0; i < 1023; i++) { // with "." and "..": one slot into the second cluster
        snprintf(name, sizeof name, "C:\\G\\F%04d", i);
        ASSERT_EQ(fs_create_file(name), FS_OK) << name;
    }
    const uint32_t dir = cluster_of("C:\\G");
    ASSERT_EQ(fat_chain_length(dir), 2u);
    const std::vector<uint8_t> pristine = image;
    disk_reset_counters();
    ASSERT_EQ(fs_create_file("C:\\G\\NEW"), FS_OK);
    FsDiskCounters counters{};
    disk_get_counters(&counters);
    for (uint64_t n = 1; n <= counters.reads; n++) {
        std::string context = "read " + std::to_string(n);
        image = pristine;
        ASSERT_EQ(disk_open_memory(image.data(), (uint32_t)image.size()), FS_OK);
        ASSERT_EQ(fs_init(), FS_OK);
        FsDiskFaults faults{n, 0, 0};
        disk_set_faults(&faults);
        FsStatus created = fs_create_file("C:\\G\\NEW");
        if (created != FS_OK) {
            EXPECT_EQ(fs_last_error(), FS_ERR_IO) << context;
        }
        disk_set_faults(nullptr);
        ASSERT_EQ(fs_init(), FS_OK);
        EXPECT_EQ(fat_chain_length(dir), 2u) << context;
        FsEntry e;
        EXPECT_EQ(fs_stat("C:\\G\\F1022", &e), FS_OK) << context;
        EXPECT_EQ(fs_stat("C:\\G\\NEW", &e), created) << context;
        uint32_t listed = 0;
        for (uint8_t more = 0; fs_list_entries("C:\\G", more, &e) == FS_OK; more = 1) listed++;
        EXPECT_EQ(listed, created == FS_OK ? 1024u : 1023u) << context;
        FsCheckReport report;
        EXPECT_EQ(check_volume(&report), FS_OK)
            << context << ": " << fs_check_problem_text(report.problems[0].kind);
    }
    disk_close_image();
}

} // namespace
