// fat16-driver end to end: its standard output line by line, the exported
// host tree, the image as other tools see it, and its edge cases.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "../dir/dir_test_util.h"

using namespace fat16test;

namespace {

const std::string kDriver = FAT16_DRIVER_PATH;

struct DriverRun {
    int status;
    std::string out;
    std::string err;
};

DriverRun run_driver(const std::string &input = "\n\n\n\n") {
    write_file("driver-input", input);
    CommandResult r = run_command("'" + kDriver + "' < driver-input > driver-stdout 2> driver-stderr");
    return {r.status, read_file("driver-stdout"), read_file("driver-stderr")};
}

std::string bytes_of_size(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)(i * 7 + i / 251);
    return s;
}

// The 1,000 names the driver makes, in the order it makes them.
std::vector<std::string> driver_file_paths() {
    std::string path =
        "c:\\ok\\" + std::string(84, 'a') + std::string(15, 'A') + std::string(9, 'a') + ".rar";
    std::vector<std::string> out;
    for (int i = 0; i < 40; i++)
        for (int j = 0; j < 25; j++) {
            out.push_back(path);
            path[6 + i]++;
        }
    return out;
}

std::string nested_entries() {
    std::string out, path = "C:";
    for (char c = 'A'; c <= 'Z'; c++) {
        path += std::string("\\") + c;
        out += "\nreaded entry=" + path + " Attr = 10";
    }
    return out;
}

// Standard output of a first run on a fresh folder with a source of `n` bytes.
std::string expected_first_run(size_t n) {
    std::string out = "make fat16.img in progress!\n" + std::string(484, '#') + "\nmake fat16.img complete\n";
    out += "Volume Capacity: 483328\nVolume FreeSpace: 482688\n";
    out += "\nreaded entry=C:\\CREATE_FOLDER_TEST\\DFDFDFDFDFDFDFDFSDFSDZEMK.TXT Attr = 20";
    out += "\nreaded entry=C:\\CREATE_FOLDER_TEST Attr = 10\nreaded entry=C:\\A Attr = 10";
    std::vector<std::string> names = driver_file_paths();
    for (const std::string &p : names) {
        out += "Create file " + p + " successfully\n";
        out += "\nOpen File " + p + " successfully" + std::string(n / 40000 + 1, 'x');
    }
    std::string reads;
    for (size_t left = n;; left -= 50000) {
        reads += "\nreaded chars = " + std::to_string(std::min<size_t>(left, 50000)) + " ";
        if (left < 50000) break;
    }
    out += "\nreaded entry=C:\\CREATE_FOLDER_TEST Attr = 10";
    out +=
        "\nreaded entry=C:\\CREATE_FOLDER_TEST\\DFDFDFDFDFDFDFDFSDFSDZEMK.TXT Attr = 20\nreaded chars = 0 ";
    out += nested_entries();
    out += "\nreaded entry=C:\\OK Attr = 10";
    for (const std::string &p : names) out += "\nreaded entry=C:\\OK\\" + p.substr(6) + " Attr = 20" + reads;
    return out;
}

std::vector<std::string> lines_of(const std::string &s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

void expect_same_lines(const std::string &actual, const std::string &expected) {
    std::vector<std::string> a = lines_of(actual), e = lines_of(expected);
    for (size_t i = 0; i < std::min(a.size(), e.size()); i++) ASSERT_EQ(a[i], e[i]) << "line " << i + 1;
    ASSERT_EQ(a.size(), e.size());
    ASSERT_EQ(actual, expected);
}

// Every file and folder under `dir`, folders with a trailing '/'.
std::set<std::string> host_tree(const std::string &dir, const std::string &prefix = "") {
    std::set<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string rel = prefix + name;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out.insert(rel + "/");
            for (const std::string &s : host_tree(dir + "/" + name, rel + "/")) out.insert(s);
        } else {
            out.insert(rel);
        }
    }
    closedir(d);
    return out;
}

TEST(Driver, FirstAndSecondRun) {
    ScratchDir dir;
    const size_t n = 123457;
    const std::string source = bytes_of_size(n);
    write_file("readed.rar", source);
    DriverRun first = run_driver();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "");
    ASSERT_NO_FATAL_FAILURE(expect_same_lines(first.out, expected_first_run(n)));

    // The exported tree.
    std::set<std::string> tree = host_tree(".");
    std::string nested;
    for (char c = 'A'; c <= 'Z'; c++) {
        nested += std::string(1, c) + "/";
        EXPECT_TRUE(tree.count(nested)) << nested;
    }
    EXPECT_TRUE(tree.count("CREATE_FOLDER_TEST/"));
    EXPECT_TRUE(tree.count("CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"));
    EXPECT_EQ(read_file("CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"), "");
    for (const std::string &p : driver_file_paths()) ASSERT_EQ(read_file("OK/" + p.substr(6)), source) << p;
    EXPECT_EQ(host_tree("OK").size(), 1000u);

    // Other tools read the image the same.
    if (have_tool("fsck.fat")) {
        EXPECT_EQ(fsck_problems("fat16.img"), "");
    }
    if (have_tool("mdir")) {
        std::vector<std::string> listed = mdir_paths("fat16.img");
        std::set<std::string> seen(listed.begin(), listed.end());
        EXPECT_EQ(seen.size(), 1 + 1 + 26 + 1 + 1000u);
        EXPECT_TRUE(seen.count("::/CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"));
        EXPECT_TRUE(seen.count("::/OK/" + driver_file_paths()[999].substr(6)));
    }

    // A second run over the same image: the space left, and the failures.
    DriverRun second = run_driver();
    EXPECT_EQ(second.status, 0) << second.err;
    const uint32_t used = 1 + 26 + 10 + 1000 * 4; // directories, OK's 10 clusters, 4 per file
    std::string head =
        "Volume Capacity: 483328\nVolume FreeSpace: " + std::to_string((7542 - used) * 64) + "\n";
    ASSERT_EQ(second.out.substr(0, head.size()), head);
    // created_file.txt is made again (the first run renamed it); its rename
    // now fails, since the new name is taken.
    std::string listing = "\nreaded entry=C:\\CREATE_FOLDER_TEST\\DFDFDFDFDFDFDFDFSDFSDZEMK.TXT Attr = 20"
                          "\nreaded entry=C:\\CREATE_FOLDER_TEST\\created_file.txt Attr = 20"
                          "\nreaded entry=C:\\CREATE_FOLDER_TEST Attr = 10\nreaded entry=C:\\A Attr = 10"
                          "\nreaded entry=C:\\OK Attr = 10";
    EXPECT_EQ(second.out.substr(head.size(), listing.size()), listing);
    size_t failures = 0;
    for (size_t at = 0; (at = second.out.find("failed\n", at)) != std::string::npos; at++) failures++;
    EXPECT_EQ(failures, 1000u);
    EXPECT_NE(second.out.find("Create file " + driver_file_paths()[0] + " failed\n"), std::string::npos);
    EXPECT_EQ(second.out.find("successfully"), std::string::npos);
}

TEST(Driver, EmptySourceAndSourceOfExactlyFortyThousand) {
    for (size_t n : {size_t{0}, size_t{40000}}) {
        ScratchDir dir;
        write_file("readed.rar", bytes_of_size(n));
        DriverRun r = run_driver();
        EXPECT_EQ(r.status, 0);
        ASSERT_NO_FATAL_FAILURE(expect_same_lines(r.out, expected_first_run(n))) << n;
        EXPECT_EQ(read_file("OK/" + driver_file_paths()[500].substr(6)), bytes_of_size(n));
    }
}

TEST(Driver, MissingSourceEndsWithStatusOneAndExportsNothing) {
    ScratchDir dir;
    DriverRun r = run_driver();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("readed.rar"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.out.find("Create file " + driver_file_paths()[0] + " successfully\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Open File"), std::string::npos); // the source is opened before that line
    EXPECT_EQ(host_tree("."),
              (std::set<std::string>{"fat16.img", "driver-input", "driver-stdout", "driver-stderr"}));
}

TEST(Driver, ReadOnlySourceIsEnough) {
    ScratchDir dir;
    write_file("readed.rar", "abc");
    ASSERT_EQ(chmod("readed.rar", 0444), 0);
    DriverRun r = run_driver();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("OK/" + driver_file_paths()[0].substr(6)), "abc");
}

TEST(Driver, FullVolumeFailsLaterCreationsAndGoesOn) {
    ScratchDir dir;
    write_file("readed.rar", bytes_of_size(300000)); // 10 clusters a file: the volume holds about 750
    DriverRun r = run_driver();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Create file " + driver_file_paths()[999] + " failed\n"), std::string::npos);
    EXPECT_NE(r.out.find("Create file " + driver_file_paths()[0] + " successfully\n"), std::string::npos);
    uint32_t capacity = 0, free_space = 0;
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    ASSERT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    EXPECT_EQ(free_space, 0u);
    disk_close_image();
    if (have_tool("fsck.fat")) {
        EXPECT_EQ(fsck_problems("fat16.img"), "");
    }
}

TEST(Driver, HostFileThatCannotBeCreatedEndsTheExportWithStatusOne) {
    ScratchDir dir;
    write_file("readed.rar", "abc");
    // A folder where the renamed file is to be exported.
    ASSERT_EQ(mkdir("CREATE_FOLDER_TEST", 0755), 0);
    ASSERT_EQ(mkdir("CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT", 0755), 0);
    DriverRun r = run_driver();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot create CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"), std::string::npos)
        << r.err;
    EXPECT_EQ(access("OK", F_OK), -1); // the export ended there
}

TEST(Driver, CountsTransfersOnlyWhenAsked) {
    ScratchDir dir;
    write_file("readed.rar", "abc");
    CommandResult r = run_command("FAT16_DRIVER_STATS=stats '" + kDriver + "' < /dev/null > out 2>&1");
    EXPECT_EQ(r.status, 0);
    std::string stats = read_file("stats");
    EXPECT_NE(stats.find("sector_reads "), std::string::npos) << stats;
    EXPECT_NE(stats.find("sector_writes "), std::string::npos) << stats;
    EXPECT_EQ(read_file("out").find("sector_"), std::string::npos); // standard output is unchanged
}

TEST(Driver, ClosedInputDoesNotHang) {
    ScratchDir dir;
    write_file("readed.rar", "x");
    CommandResult r = run_command("'" + kDriver + "' < /dev/null > /dev/null 2>&1");
    EXPECT_EQ(r.status, 0);
}

TEST(Driver, PartitionedImageReportsZeros) {
    ScratchDir dir;
    write_file("readed.rar", "x");
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    Sector mbr{};
    mbr[446] = 0x80;
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    write_raw(0, mbr);
    disk_close_image();
    DriverRun r = run_driver();
    EXPECT_EQ(r.out.substr(0, 39), "Volume Capacity: 0\nVolume FreeSpace: 0\n");
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_EQ(read_raw(0), mbr); // nothing was formatted or written
    EXPECT_TRUE(all_bytes(read_raw(1), 0));
    disk_close_image();
}

TEST(Driver, ImageThatCannotBeOpenedEndsWithStatusOne) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("fat16.img", 0755), 0);
    DriverRun r = run_driver();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("fat16.img"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST(Driver, HostileNamesOnTheImageStayInsideTheFolder) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("inner", 0755), 0);
    ASSERT_EQ(chdir("inner"), 0);
    write_file("readed.rar", "data");
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    uint32_t bad_dir = 0;
    Sector buf{};
    ASSERT_EQ(fat_alloc_cluster(&bad_dir, buf.data()), FS_OK);
    put_slots(cluster_sectors({bad_dir}), 0,
              {short_slot(".          ", ATTR_DIRECTORY, bad_dir),
               short_slot("..         ", ATTR_DIRECTORY, 0), short_slot("INSIDE  TXT", ATTR_ARCHIVE)});
    std::vector<Slot> slots;
    auto add = [&](const std::string &name, const std::string &alias, uint8_t attr, uint32_t cluster) {
        for (const Slot &s : lfn_slots(name, alias)) slots.push_back(s);
        slots.push_back(short_slot(alias, attr, cluster));
    };
    add("../escape.txt", "ESCAPE~1TXT", ATTR_ARCHIVE, 0);
    add("..", "DOTDOT~1   ", ATTR_ARCHIVE, 0);
    add("evil/dir", "EVILDI~1   ", ATTR_DIRECTORY, bad_dir);
    add("ctl\x01name", "CTLNAM~1   ", ATTR_ARCHIVE, 0);
    slots.push_back(short_slot("GOOD    TXT", ATTR_ARCHIVE));
    put_slots(root_sectors(), 0, slots);
    disk_close_image();
    std::set<std::string> outside_before = host_tree("..");

    DriverRun r = run_driver();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nreaded entry=C:\\../escape.txt Attr = 20"), std::string::npos);
    EXPECT_NE(r.out.find("\nreaded entry=C:\\evil/dir\\INSIDE.TXT Attr = 20"), std::string::npos);
    EXPECT_NE(r.err.find("C:\\../escape.txt"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("C:\\evil/dir"), std::string::npos) << r.err;
    // One warning for each unsafe name; none for what lies under a skipped folder.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
    EXPECT_EQ(access("GOOD.TXT", F_OK), 0);
    EXPECT_EQ(access("CREATE_FOLDER_TEST", F_OK), 0);
    // Nothing landed outside the working folder.
    std::set<std::string> outside_after = host_tree("..");
    for (const std::string &p : outside_after) {
        if (p.rfind("inner/", 0) != 0) {
            EXPECT_TRUE(outside_before.count(p)) << p;
        }
    }
    EXPECT_EQ(access("../escape.txt", F_OK), -1);
    EXPECT_EQ(access("evil", F_OK), -1);
    ASSERT_EQ(chdir(".."), 0);
}

} // namespace
