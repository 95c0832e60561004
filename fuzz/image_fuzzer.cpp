// Damaged images. Every input starts from a small formatted volume that
// holds a tree (directories, long names, files with data); the input is a
// list of patches laid over it: bytes of the boot sector, of the FATs, of the
// root area, of the first clusters, single FAT entries and directory slots.
// So a few bytes reach deep into the library. The library then mounts the
// result, reports its space, walks it, lists every directory, reads every
// file, checks it and makes a few changes. It must neither crash nor hang nor
// write outside the volume, whatever the image holds.
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzz::Reader;

// Where the pristine volume keeps things (read back after it is built).
struct Layout {
    uint32_t fat1 = 0;
    uint32_t fat2 = 0;
    uint32_t root = 0;
    uint32_t data = 0;
    uint32_t per_cluster = 0;
    std::vector<uint32_t> dir_clusters; // first clusters of the tree's directories
};

Layout layout;

void write_data(const char *path, uint32_t size, uint8_t seed) {
    if (fs_create_file(path) != FS_OK) fuzz::die("cannot build the pristine tree");
    uint8_t h = fs_open(path);
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; i++) bytes[i] = (uint8_t)(seed + i * 7);
    if (size > 0 && fs_write(h, bytes.data(), size) != size) fuzz::die("cannot fill a pristine file");
    fs_close(h);
}

void make_dir(const char *path) {
    if (fs_mkdir(path) != FS_OK) fuzz::die("cannot build the pristine tree");
    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(path) != FS_OK) fuzz::die("cannot find a pristine directory");
    layout.dir_clusters.push_back(FoundEntry.first_cluster);
}

void build_tree() {
    layout.fat1 = VolumeGeometry.fat1_start;
    layout.fat2 = VolumeGeometry.fat2_start;
    layout.root = VolumeGeometry.root_dir_start;
    layout.data = VolumeGeometry.first_data_sector;
    layout.per_cluster = VolumeGeometry.sectors_per_cluster;
    make_dir("C:\\DIR");
    write_data("C:\\README.TXT", 100, 1);
    write_data("C:\\a long file name.txt", 40000, 2);
    write_data("C:\\DIR\\INNER.BIN", 600, 3);
    make_dir("C:\\DIR\\SUB");
    write_data("C:\\DIR\\SUB\\deep file with a long name", 3000, 4);
    make_dir("C:\\Long Directory Name");
    write_data("C:\\Long Directory Name\\X", 1, 5);
    write_data("C:\\EMPTY", 0, 0);
    make_dir("C:\\MANY");
    for (int i = 0; i < 40; i++) {
        char name[64];
        snprintf(name, sizeof name, "C:\\MANY\\%s%02d", i % 3 == 0 ? "entry with a longer name " : "E", i);
        write_data(name, i % 5 == 0 ? 513 : 0, (uint8_t)i);
    }
}

// Writes `bytes` at byte `offset` of the image sector `sector`, spilling
// into the following sectors, never past the image.
void patch(uint32_t sector, uint32_t offset, const std::string &bytes) {
    uint64_t at = (uint64_t)sector * SECTOR_SIZE + offset;
    uint8_t *image = fuzz::work_image();
    for (size_t i = 0; i < bytes.size() && at + i < fuzz::kImageBytes; i++) image[at + i] = (uint8_t)bytes[i];
}

void set_fat_entry(uint32_t cluster, uint32_t value) {
    std::string le = {(char)(value & 0xFF), (char)(value >> 8)};
    patch(layout.fat1, cluster * 2, le);
    patch(layout.fat2, cluster * 2, le);
}

uint32_t cluster_sector(uint32_t cluster) { return layout.data + (cluster - 2) * layout.per_cluster; }

void apply_patches(Reader &in) {
    while (!in.empty()) {
        uint8_t kind = in.byte();
        switch (kind % 8) {
        case 0: { // boot sector
            uint32_t offset = in.u16() % SECTOR_SIZE;
            patch(0, offset, in.bytes(1 + in.byte() % 64));
            break;
        }
        case 1: { // both FATs alike, first two sectors
            uint32_t offset = in.u16() % 1024;
            std::string bytes = in.bytes(1 + in.byte() % 128);
            patch(layout.fat1, offset, bytes);
            patch(layout.fat2, offset, bytes);
            break;
        }
        case 2: { // the first FAT only: the copies then differ
            uint32_t offset = in.u16() % 1024;
            patch(layout.fat1, offset, in.bytes(1 + in.byte() % 128));
            break;
        }
        case 3: { // root area, first eight sectors
            uint32_t offset = in.u16() % 4096;
            patch(layout.root, offset, in.bytes(1 + in.byte() % 128));
            break;
        }
        case 4: { // anywhere in the first sixteen clusters
            uint32_t cluster = 2 + in.byte() % 16;
            uint32_t offset = in.u16() % (layout.per_cluster * SECTOR_SIZE);
            patch(cluster_sector(cluster), offset, in.bytes(1 + in.byte() % 128));
            break;
        }
        case 5: { // one FAT entry in both copies: links, loops, end marks
            uint32_t cluster = in.byte();
            set_fat_entry(cluster, in.u16());
            break;
        }
        case 6: { // one slot of the root or of one of the tree's directories
            uint32_t which = in.byte() % (layout.dir_clusters.size() + 1);
            uint32_t slot = in.byte();
            uint32_t sector = which == 0 ? layout.root : cluster_sector(layout.dir_clusters[which - 1]);
            patch(sector + slot / DIR_SLOTS_PER_SECTOR, (slot % DIR_SLOTS_PER_SECTOR) * DIR_SLOT_SIZE,
                  in.bytes(DIR_SLOT_SIZE));
            break;
        }
        default: { // any sector of the image
            uint32_t sector = in.u16() % fuzz::kVolumeSectors;
            uint32_t offset = in.u16() % SECTOR_SIZE;
            patch(sector, offset, in.bytes(1 + in.byte() % 128));
            break;
        }
        }
    }
}

// Bounds of the harness's own loops. They are far above what a sound
// library needs here; the library's loops are bounded by the library.
const int kMaxEntries = 4000;
const size_t kMaxDirs = 48;
const size_t kMaxFiles = 48;
const uint32_t kMaxReadPerFile = 1u << 22;

struct Found {
    std::string path;
    uint8_t attr;
};

std::vector<Found> walk_all() {
    std::vector<Found> out;
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr = 0;
    for (int i = 0; i < kMaxEntries && fs_walk_tree(path, i == 0 ? 0 : 1, &attr) == FS_OK; i++) {
        if (strlen(path) >= FS_OUT_PATH_SIZE) fuzz::die("the walk overran its path");
        out.push_back({path, attr});
    }
    return out;
}

void list_directory(const std::string &dir) {
    if (fs_chdir(dir.c_str(), 0) != FS_OK) return;
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr = 0;
    for (int i = 0; i < kMaxEntries && fs_list_dir(path, i == 0 ? 0 : 1, &attr) == FS_OK; i++)
        if (strlen(path) >= FS_OUT_PATH_SIZE) fuzz::die("the listing overran its path");
}

void read_file(const std::string &path) {
    uint8_t h = fs_open(path.c_str());
    if (h == FS_FAIL) return;
    if (h >= FS_OPEN_SLOTS) fuzz::die("fs_open returned no valid handle");
    static uint8_t chunk[4096];
    uint32_t total = 0;
    while (total < kMaxReadPerFile) {
        uint32_t n = fs_read(h, chunk, sizeof chunk);
        if (n > sizeof chunk) fuzz::die("fs_read returned more than asked");
        if (n == 0) break;
        total += n;
    }
    fs_seek(h, 0, ORIGIN_END);
    fs_seek(h, -1, ORIGIN_END);
    fs_read(h, chunk, 2);
    fs_seek(h, (int32_t)(total / 2), ORIGIN_START);
    fs_read(h, chunk, 700);
    fs_close(h);
}

uint32_t free_sectors() {
    uint32_t capacity = 0;
    uint32_t free_space = 0;
    if (fs_volume_info('C', &capacity, &free_space) != FS_OK) return 0xFFFFFFFFu;
    return free_space;
}

// A write of `n` bytes takes at most the clusters those bytes span, whatever
// the file's entry claims: a damaged size must not make it fill a gap.
void write_bounded(uint8_t h, const uint8_t *bytes, uint32_t n) {
    uint32_t before = free_sectors();
    fs_write(h, bytes, n);
    uint32_t after = free_sectors();
    uint32_t per_cluster = VolumeGeometry.sectors_per_cluster;
    uint32_t most = (n / SECTOR_SIZE / (per_cluster == 0 ? 1 : per_cluster) + 2) * per_cluster;
    if (before != 0xFFFFFFFFu && after != 0xFFFFFFFFu && after < before && before - after > most)
        fuzz::die("one write took more clusters than its bytes span");
}

// A few changes on whatever the walk found.
void change_things(const std::vector<Found> &found) {
    const Found *file = nullptr;
    const Found *other_file = nullptr;
    const Found *dir = nullptr;
    for (const Found &f : found) {
        if (f.attr & ATTR_DIRECTORY) {
            if (dir == nullptr) dir = &f;
        } else if (file == nullptr) {
            file = &f;
        } else if (other_file == nullptr) {
            other_file = &f;
        }
    }
    static uint8_t bytes[40000];
    for (uint32_t i = 0; i < sizeof bytes; i++) bytes[i] = (uint8_t)(i * 13);

    fs_chdir("C:\\", 0);
    if (fs_create_file("C:\\FUZZNEW.TXT") == FS_OK) {
        uint8_t h = fs_open("C:\\FUZZNEW.TXT");
        if (h != FS_FAIL) {
            fs_write(h, bytes, 1000);
            fs_close(h);
        }
    }
    fs_mkdir("C:\\FUZZDIR");
    fs_create_file("C:\\a new file with a long name.dat");
    if (dir != nullptr) {
        fs_create_file((dir->path + "\\NEWFILE").c_str());
        fs_mkdir((dir->path + "\\a new directory").c_str());
        if (fs_chdir(dir->path.c_str(), 0) == FS_OK) {
            fs_create_file("HERE.TXT");
            fs_chdir(nullptr, 1);
        }
    }
    if (file != nullptr) {
        uint8_t h = fs_open(file->path.c_str());
        if (h != FS_FAIL) {
            fs_seek(h, 0, ORIGIN_END);
            write_bounded(h, bytes, 100);
            fs_seek(h, 0, ORIGIN_START);
            write_bounded(h, bytes, sizeof bytes);
            fs_close(h);
        }
        fs_rename(file->path.c_str(), "RENAMED.TXT");
    }
    if (other_file != nullptr) fs_delete_file(other_file->path.c_str());
    if (dir != nullptr) fs_rmdir(dir->path.c_str());
    char name[] = "INNER.BIN";
    char out[FS_OUT_PATH_SIZE];
    fs_find_file(name, 1, out);
}

// Sectors in front of the volume and the boot sector are never written, and
// neither is anything past the volume's end.
struct Outside {
    uint32_t first_volume_sector = 0;
    uint32_t end_sector = 0; // first sector past the volume (within the image)
    std::string head;        // image bytes up to and including the boot sector
    std::string tail;        // image bytes past the volume
};

Outside snapshot_outside() {
    Outside o;
    o.first_volume_sector = VolumeGeometry.partition_start;
    uint64_t end = (uint64_t)VolumeGeometry.partition_start + VolumeGeometry.total_sectors;
    o.end_sector = end < fuzz::kVolumeSectors ? (uint32_t)end : fuzz::kVolumeSectors;
    const char *image = (const char *)fuzz::work_image();
    uint64_t head_bytes = (uint64_t)(o.first_volume_sector + 1) * SECTOR_SIZE;
    if (head_bytes > fuzz::kImageBytes) head_bytes = fuzz::kImageBytes;
    o.head.assign(image, (size_t)head_bytes);
    o.tail.assign(image + (size_t)o.end_sector * SECTOR_SIZE,
                  (fuzz::kVolumeSectors - o.end_sector) * SECTOR_SIZE);
    return o;
}

void require_outside_unchanged(const Outside &o) {
    const char *image = (const char *)fuzz::work_image();
    if (memcmp(image, o.head.data(), o.head.size()) != 0)
        fuzz::die("a sector in front of the volume or its boot sector was written");
    if (memcmp(image + (size_t)o.end_sector * SECTOR_SIZE, o.tail.data(), o.tail.size()) != 0)
        fuzz::die("a sector past the volume's end was written");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::prepare_pristine(build_tree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::reset_volume();
    Reader in(data, size);
    apply_patches(in);

    bool mounted = fs_init() == FS_OK;
    for (uint8_t partition = 1; !mounted && partition <= 4; partition++)
        mounted = fs_mount_partition(0, partition) == FS_OK;
    fuzz::end_listing_and_walk();
    if (!mounted) {
        // Nothing may be written to an image that does not mount.
        disk_reset_counters();
        std::vector<Found> found = walk_all();
        if (!found.empty()) fuzz::die("a walk returned entries without a mounted volume");
        change_things(found);
        FsDiskCounters counters;
        disk_get_counters(&counters);
        if (counters.writes != 0) fuzz::die("a write was attempted without a mounted volume");
        return 0;
    }
    Outside outside = snapshot_outside();

    uint32_t capacity = 0;
    uint32_t free_space = 0;
    if (fs_volume_info('C', &capacity, &free_space) == FS_OK && free_space > capacity)
        fuzz::die("more free space than capacity");

    std::vector<Found> found = walk_all();
    size_t dirs = 0;
    size_t files = 0;
    for (const Found &f : found) {
        if (f.attr & ATTR_DIRECTORY) {
            if (dirs++ < kMaxDirs) list_directory(f.path);
        } else if (files++ < kMaxFiles) {
            read_file(f.path);
        }
    }
    list_directory("C:\\");
    static FsCheckReport report;
    fuzz::check_volume(&report);

    change_things(found);
    walk_all();
    fuzz::check_volume(&report);
    fs_volume_info('C', &capacity, &free_space);
    require_outside_unchanged(outside);
    return 0;
}
