// The image device: creation, sector transfers, bounds and write-through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#endif

#include <fstream>
#include <map>

#include "test_support.h"
#include "../file/file_test_util.h"

using namespace fat16test;

namespace {

uint64_t file_size(const char *path) {
#if defined(_WIN32)
    struct _stat64 st; // the plain one counts 31 bits
    if (_stat64(path, &st) != 0) return 0;
#else
    struct stat st;
    if (stat(path, &st) != 0) return 0;
#endif
    return (uint64_t)st.st_size;
}

TEST(Disk, CreatesFullSizeZeroImageWithProgressMessages) {
    ScratchDir dir;
    testing::internal::CaptureStdout();
    ASSERT_EQ(disk_open_image(), FS_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "make fat16.img in progress!\n" + std::string(484, '#') + "\nmake fat16.img complete\n");
    EXPECT_EQ(file_size("fat16.img"), kImageBytes);
    // Every byte of the new image is zero, and the host keeps it sparse.
    std::string data = read_file("fat16.img");
    ASSERT_EQ(data.size(), kImageBytes);
    EXPECT_EQ(data.find_first_not_of('\0'), std::string::npos);
#if !defined(_WIN32)
    struct stat st;
    ASSERT_EQ(stat("fat16.img", &st), 0);
    EXPECT_LT((uint64_t)st.st_blocks * 512, kImageBytes / 100);
#endif
}

TEST(Disk, OpensExistingImageUnchangedAndSilently) {
    ScratchDir dir;
    write_file("fat16.img", std::string(1000, 'x'));
    testing::internal::CaptureStdout();
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(file_size("fat16.img"), 1000u);
    EXPECT_EQ(read_file("fat16.img"), std::string(1000, 'x'));
}

TEST(Disk, ReadsLastSectorAndRefusesTheOneAfter) {
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(kImageSectors - 1, filled(0x5A));
    Sector s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), kImageSectors - 1), FS_OK);
    EXPECT_TRUE(all_bytes(s, 0x5A));
    s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), kImageSectors), FS_FAIL);
    EXPECT_TRUE(all_bytes(s, 0x11));
}

TEST(Disk, ShortReadKeepsArrivedBytesAndLeavesTheRest) {
    ScratchDir dir;
    write_file("fat16.img", std::string(700, 'a'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    Sector s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), 1), FS_FAIL);
    for (int i = 0; i < 188; i++) ASSERT_EQ(s[i], 'a') << i;
    for (int i = 188; i < 512; i++) ASSERT_EQ(s[i], 0x11) << i;
    s = filled(0x22);
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_OK);
    EXPECT_TRUE(all_bytes(s, 'a'));
}

TEST(Disk, ReadOfEmptyImageFails) {
    ScratchDir dir;
    write_file("fat16.img", "");
    ASSERT_EQ(disk_open_image(), FS_OK);
    Sector s = filled(0x33);
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_FAIL);
    EXPECT_TRUE(all_bytes(s, 0x33));
}

TEST(Disk, WritePastEndExtendsTheFile) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 10000 * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(10000, filled(0x77));
    EXPECT_EQ(file_size("fat16.img"), 10001u * 512);
    EXPECT_TRUE(all_bytes(read_raw(10000), 0x77));
}

// disk_open_image_file: a file of fixed size keeps its length, one opened
// for reading takes no write, and only a regular file (or, asked for, a
// block device) is an image.
TEST(Disk, ImageFileOfFixedSizeOrForReadingOnly) {
    ScratchDir dir;
    make_sparse_file("small.img", 10 * 512 + 100);
    std::vector<uint8_t> sector(512, 0x5A);
    struct Case {
        uint32_t flags;
        uint32_t last_writable; // sectors from 0 up to it take a write; 0: none does
    };
    for (const Case &c : {Case{FS_IMAGE_FIXED_SIZE, 9}, Case{FS_IMAGE_FIXED_SIZE | FS_IMAGE_READ_ONLY, 0},
                          Case{FS_IMAGE_READ_ONLY, 0}}) {
        SCOPED_TRACE(c.flags);
        ASSERT_EQ(disk_open_image_file("small.img", c.flags), FS_OK);
        EXPECT_EQ(disk_image_bytes(), 10u * 512 + 100);
        EXPECT_EQ(disk_image_is_device(), 0);
        EXPECT_EQ(disk_read_only(), (c.flags & FS_IMAGE_READ_ONLY) ? 1 : 0);
        EXPECT_EQ(disk_write_sector(sector.data(), 9), c.last_writable >= 9 ? FS_OK : FS_FAIL);
        EXPECT_EQ(disk_write_sector(sector.data(), 10), FS_FAIL);
        EXPECT_EQ(disk_write_sectors(sector.data(), 10, 1), FS_FAIL);
        disk_close_image();
        EXPECT_EQ(file_size("small.img"), 10u * 512 + 100);
    }
    // Without the flags the file still grows when written past its end.
    ASSERT_EQ(disk_open_image_file("small.img", 0), FS_OK);
    EXPECT_EQ(disk_write_sector(sector.data(), 11), FS_OK);
    disk_close_image();
    EXPECT_EQ(file_size("small.img"), 12u * 512);
#if !defined(_WIN32)
    ASSERT_EQ(mkdir("adir", 0777), 0);
    errno = 0;
    EXPECT_EQ(disk_open_image_file("adir", FS_IMAGE_DEVICES | FS_IMAGE_READ_ONLY), FS_FAIL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(disk_image_bytes(), 0u);
#endif
}

TEST(Disk, UnaddressableSectorsNeverAliasOthers) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 10 * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(1, filled(0x44));
    // 2^22 is the first unaddressable sector; 2^23 + 1 would wrap around to
    // sector 1 in 32-bit byte offsets.
    for (uint32_t sector : {4194304u, 8388609u, 0x80000001u, 0xFFFFFFFFu}) {
        Sector s = filled(0x11);
        EXPECT_EQ(disk_read_sector(s.data(), sector), FS_FAIL) << sector;
        EXPECT_TRUE(all_bytes(s, 0x11)) << sector;
        EXPECT_EQ(disk_write_sector(filled(0x99).data(), sector), FS_FAIL) << sector;
    }
    EXPECT_EQ(file_size("fat16.img"), 10u * 512);
    EXPECT_TRUE(all_bytes(read_raw(1), 0x44));
    // The highest addressable sector is still a sector.
    EXPECT_EQ(disk_write_sector(filled(0x55).data(), 4194303u), FS_OK);
    EXPECT_EQ(file_size("fat16.img"), 4194304ull * 512);
}

TEST(Disk, WithoutImageEverySectorOperationFails) {
    ScratchDir dir;
    disk_close_image();
    Sector s = filled(0x12);
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_FAIL);
    EXPECT_TRUE(all_bytes(s, 0x12));
    EXPECT_EQ(disk_write_sector(s.data(), 0), FS_FAIL);
    EXPECT_NE(access("fat16.img", F_OK), 0);
}

TEST(Disk, ImageThatCannotBeCreatedIsReported) {
    ScratchDir dir;
    ASSERT_TRUE(make_dir("fat16.img")); // a folder where the image should be
    testing::internal::CaptureStdout();
    EXPECT_EQ(disk_open_image(), FS_FAIL);
    testing::internal::GetCapturedStdout();
    Sector s{};
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_FAIL);
}

TEST(Disk, WritesReachTheHostFileBeforeReturning) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 100 * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(7, filled(0xC3));
    // Another open file, as another process would have, sees the data.
    std::ifstream in("fat16.img", std::ios::binary);
    in.seekg(7 * 512);
    Sector s{};
    ASSERT_TRUE(in.read((char *)s.data(), 512)) << "cannot read sector 7 of fat16.img";
    EXPECT_TRUE(all_bytes(s, 0xC3));
}

TEST(Disk, CloseThenOpenUsesTheFileInTheWorkingDirectory) {
    ScratchDir first;
    write_file("fat16.img", std::string(512, 'A'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    disk_close_image();
    ASSERT_TRUE(make_dir("other"));
    ASSERT_EQ(chdir("other"), 0);
    write_file("fat16.img", std::string(512, 'B'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_TRUE(all_bytes(read_raw(0), 'B'));
    ASSERT_EQ(chdir(".."), 0);
}

TEST(Disk, MemoryBackingBehavesLikeAFixedSizeImage) {
    std::vector<uint8_t> memory(3 * 512 + 100, 0);
    ASSERT_EQ(disk_open_memory(memory.data(), (uint32_t)memory.size()), FS_OK);
    write_raw(2, filled(0x66));
    EXPECT_EQ(memory[2 * 512], 0x66);
    Sector s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), 3), FS_FAIL); // 100 bytes arrive
    EXPECT_EQ(s[99], 0);
    EXPECT_EQ(s[100], 0x11);
    EXPECT_EQ(disk_write_sector(filled(1).data(), 3), FS_FAIL); // cannot extend
    EXPECT_EQ(memory[3 * 512], 0);
    disk_close_image();
    EXPECT_EQ(disk_open_memory(nullptr, 10), FS_FAIL);
}

TEST(Disk, CountsSectorTransfers) {
    std::vector<uint8_t> memory(8 * 512, 0);
    ASSERT_EQ(disk_open_memory(memory.data(), (uint32_t)memory.size()), FS_OK);
    Sector s{};
    disk_read_sector(s.data(), 0);
    disk_read_sector(s.data(), 1);
    disk_write_sector(s.data(), 2);
    FsDiskCounters c{};
    disk_get_counters(&c);
    EXPECT_EQ(c.reads, 2u);
    EXPECT_EQ(c.writes, 1u);
    disk_reset_counters();
    disk_get_counters(&c);
    EXPECT_EQ(c.reads + c.writes, 0u);
    disk_close_image();
}

#if FS_WITH_FORMAT
// A device of the program's own, given as callbacks: a volume formatted and
// used through it, and no transfer past its last sector ever reaching it.
struct CallbackDisk {
    std::map<uint32_t, Sector> sectors; // sparse: unwritten sectors read as zero
    uint32_t count = 20000;
    uint32_t calls_past_end = 0;
    uint32_t syncs = 0;
};

FsStatus callback_read(void *context, uint32_t sector, uint8_t *buffer) {
    CallbackDisk *d = (CallbackDisk *)context;
    if (sector >= d->count) d->calls_past_end++;
    auto it = d->sectors.find(sector);
    if (it == d->sectors.end())
        memset(buffer, 0, 512);
    else
        memcpy(buffer, it->second.data(), 512);
    return FS_OK;
}

FsStatus callback_write(void *context, uint32_t sector, const uint8_t *buffer) {
    CallbackDisk *d = (CallbackDisk *)context;
    if (sector >= d->count) d->calls_past_end++;
    std::copy(buffer, buffer + 512, d->sectors[sector].begin());
    return FS_OK;
}

FsStatus callback_sync(void *context) {
    ((CallbackDisk *)context)->syncs++;
    return FS_OK;
}

TEST(Disk, AProgramsOwnDeviceCarriesAWholeWorkload) {
    CallbackDisk d;
    FsBlockDevice device{&d, d.count, callback_read, callback_write, callback_sync, nullptr, nullptr};
    ASSERT_EQ(disk_open_device(&device), FS_OK);
    EXPECT_EQ(disk_device(), &device);
    FsFormatOptions o{};
    o.total_sectors = d.count;
    ASSERT_EQ(fs_format_volume(&o), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\Logs"), FS_OK);
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7);
    ASSERT_EQ(fs_create_file("C:\\Logs\\boot log.txt"), FS_OK);
    uint8_t h = fs_open("C:\\Logs\\boot log.txt");
    ASSERT_EQ(fs_write(h, data.data(), (uint32_t)data.size()), data.size());
    fs_close(h);
    ASSERT_EQ(fs_move("C:\\Logs\\boot log.txt", "C:\\old.txt"), FS_OK);
    EXPECT_EQ(read_whole("C:\\OLD.TXT"), data);
    ASSERT_EQ(fs_delete_file("C:\\old.txt"), FS_OK);
    ASSERT_EQ(fs_rmdir("C:\\Logs"), FS_OK);
    EXPECT_EQ(disk_sync(), FS_OK);
    EXPECT_EQ(d.syncs, 1u);
    FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK);
    // Sectors at and past its end are refused before the callbacks.
    Sector s{};
    EXPECT_EQ(disk_read_sector(s.data(), d.count), FS_FAIL);
    EXPECT_EQ(disk_write_sector(s.data(), d.count + 5), FS_FAIL);
    EXPECT_EQ(disk_take_error(), FS_FAIL);
    EXPECT_EQ(d.calls_past_end, 0u);
    // No device without its callbacks.
    FsBlockDevice half{&d, d.count, callback_read, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(disk_open_device(&half), FS_FAIL);
    disk_close_image();
    EXPECT_EQ(disk_device(), nullptr);
}
#endif

// A host disk that fills up makes the write that finds no room fail with
// the library's I/O error, never the program (a write through the mapping
// into a hole would otherwise fault). The child mounts a 1 MiB file system
// of its own for a 64 MiB sparse image; where it may not mount one, the
// test is skipped. (Linux: mount namespaces and tmpfs.)
#if !defined(_WIN32)
TEST(Disk, AFullHostDiskFailsTheWriteAndNothingCrashes) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("small", 0777), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "small", "tmpfs", 0, "size=1m") != 0)
            _exit(77);
        int fd = open("small/fat16.img", O_RDWR | O_CREAT, 0666);
        if (fd < 0 || ftruncate(fd, 64 << 20) != 0) _exit(10);
        close(fd);
        if (disk_open_image_path("small/fat16.img", 0) != FS_OK) _exit(11);
        Sector s = filled(0x42);
        uint32_t written = 0;
        for (uint32_t sector = 0; sector < (64u << 20) / 512; sector += 128, written++)
            if (disk_write_sector(s.data(), sector) != FS_OK) break;
        if (written == 0 || written >= (64u << 20) / 512 / 128) _exit(12); // the disk never filled
        if (disk_take_error() != FS_FAIL) _exit(13);
        Sector back{};
        if (disk_read_sector(back.data(), 0) != FS_OK || back != s) _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no small file system can be mounted here; skipped";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

} // namespace
