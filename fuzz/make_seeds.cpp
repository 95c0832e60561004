// Writes the seed corpora of the fuzz targets: `make_seeds DIR` creates
// DIR/image, DIR/names and DIR/ops and fills them. The inputs follow the
// encodings the targets read (see the comments at the top of each target):
// damaged images as patch lists, names as operation bytes and strings, and
// operation sequences as deterministic pseudo-random bytes.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string out_dir;

void write_seed(const std::string &fuzzer, const std::string &name, const Bytes &data) {
    std::string dir = out_dir + "/" + fuzzer;
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (!data.empty() && fwrite(data.data(), 1, data.size(), f) != data.size())) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        if (f != nullptr) fclose(f);
        return;
    }
    fclose(f);
}

void put16(Bytes &b, uint32_t v) {
    b.push_back((uint8_t)(v & 0xFF));
    b.push_back((uint8_t)(v >> 8));
}

void append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

// --- damaged images: patch records ---------------------------------------

// Kinds of patch record (the low three bits of the record's first byte).
enum Patch {
    BOOT = 0,
    BOTH_FATS = 1,
    FIRST_FAT = 2,
    ROOT = 3,
    CLUSTER = 4,
    FAT_ENTRY = 5,
    SLOT = 6,
    RAW = 7
};

// A patch of `data` at `offset` of a region (its length byte is n - 1).
Bytes region_patch(Patch kind, uint32_t offset, const Bytes &data) {
    Bytes b = {(uint8_t)kind};
    put16(b, offset);
    b.push_back((uint8_t)(data.size() - 1));
    append(b, data);
    return b;
}

Bytes cluster_patch(uint32_t cluster, uint32_t offset, const Bytes &data) {
    Bytes b = {(uint8_t)CLUSTER, (uint8_t)(cluster - 2)};
    put16(b, offset);
    b.push_back((uint8_t)(data.size() - 1));
    append(b, data);
    return b;
}

Bytes fat_entry(uint32_t cluster, uint32_t value) {
    Bytes b = {(uint8_t)FAT_ENTRY, (uint8_t)cluster};
    put16(b, value);
    return b;
}

// Directory `which` (0: the root, then DIR, DIR\SUB, "Long Directory Name", MANY).
Bytes slot_patch(uint32_t which, uint32_t slot, const Bytes &entry) {
    Bytes b = {(uint8_t)SLOT, (uint8_t)which, (uint8_t)slot};
    append(b, entry);
    return b;
}

Bytes raw_patch(uint32_t sector, uint32_t offset, const Bytes &data) {
    Bytes b = {(uint8_t)RAW};
    put16(b, sector);
    put16(b, offset);
    b.push_back((uint8_t)(data.size() - 1));
    append(b, data);
    return b;
}

Bytes entry(const char *name11, uint8_t attr, uint32_t cluster, uint32_t size) {
    Bytes e(32, 0);
    for (int i = 0; i < 11; i++) e[i] = (uint8_t)name11[i];
    e[11] = attr;
    e[26] = (uint8_t)cluster;
    e[27] = (uint8_t)(cluster >> 8);
    for (int i = 0; i < 4; i++) e[28 + i] = (uint8_t)(size >> (8 * i));
    return e;
}

Bytes le(uint32_t v, int width) {
    Bytes b;
    for (int i = 0; i < width; i++) b.push_back((uint8_t)(v >> (8 * i)));
    return b;
}

void image_seeds() {
    // The pristine tree's clusters: DIR 2, README.TXT 3, the long-named file
    // 4 and 5, DIR\SUB 7, "Long Directory Name" 9, MANY 11. Root slots:
    // DIR 0, README.TXT 1, the long-named file 2..4, the long-named
    // directory 5..7, EMPTY 8, MANY 9.
    write_seed("image", "pristine", {});
    write_seed("image", "fat-self-loop", fat_entry(4, 4));
    Bytes two_cycle = fat_entry(4, 5);
    append(two_cycle, fat_entry(5, 4));
    write_seed("image", "fat-two-cycle", two_cycle);
    write_seed("image", "directory-chain-loop", fat_entry(11, 11));
    Bytes grown_loop = fat_entry(11, 30);
    append(grown_loop, fat_entry(30, 11));
    write_seed("image", "directory-two-cluster-loop", grown_loop);
    write_seed("image", "chain-into-free", fat_entry(4, 0));
    write_seed("image", "chain-to-reserved", fat_entry(2, 1));
    write_seed("image", "chain-marked-bad", fat_entry(4, 0xFFF7));
    write_seed("image", "chain-past-the-fat", fat_entry(4, 0xFF00));
    write_seed("image", "bytes-per-sector-zero", region_patch(BOOT, 12, {0}));
    write_seed("image", "cluster-size-three", region_patch(BOOT, 13, {3}));
    write_seed("image", "cluster-size-one", region_patch(BOOT, 13, {1}));
    write_seed("image", "cluster-size-128", region_patch(BOOT, 13, {128}));
    write_seed("image", "one-fat", region_patch(BOOT, 16, {1}));
    write_seed("image", "many-fats", region_patch(BOOT, 16, {40}));
    write_seed("image", "root-16-entries", region_patch(BOOT, 17, {16, 0}));
    write_seed("image", "reserved-zero", region_patch(BOOT, 14, {0, 0}));
    write_seed("image", "reserved-two", region_patch(BOOT, 14, {2, 0}));
    Bytes small_total = region_patch(BOOT, 32, {0, 0, 0, 0});
    append(small_total, region_patch(BOOT, 19, le(1000, 2)));
    write_seed("image", "total-in-16-bits", small_total);
    write_seed("image", "total-huge", region_patch(BOOT, 32, le(0x7FFFFFFF, 4)));
    write_seed("image", "fat-one-sector", region_patch(BOOT, 22, le(1, 2)));
    write_seed("image", "no-signature", region_patch(BOOT, 510, {0, 0}));
    // A partition table in sector 0 whose first partition holds a small
    // volume near the image's end.
    Bytes partition = region_patch(BOOT, 0, {0, 0, 0});
    append(partition, region_patch(BOOT, 446, {0x80, 0, 0, 0, 0x06}));
    append(partition, region_patch(BOOT, 454, Bytes{0xE0, 0x2E, 0, 0, 0x20, 0x01, 0, 0}));
    Bytes bpb = {0xEB, 0x3C, 0x90, 'f', 'u', 'z', 'z', 'p', 'a', 'r', 't'};
    append(bpb, le(512, 2));
    bpb.push_back(4);      // sectors per cluster
    append(bpb, le(1, 2)); // reserved
    bpb.push_back(2);      // FATs
    append(bpb, le(16, 2));
    append(bpb, le(288, 2));
    bpb.push_back(0xF8);
    append(bpb, le(1, 2)); // sectors per FAT
    append(partition, raw_patch(12000, 0, bpb));
    append(partition, raw_patch(12000, 510, {0x55, 0xAA}));
    Bytes fat_head = {0xF8, 0xFF, 0xFF, 0xFF};
    append(partition, raw_patch(12001, 0, fat_head));
    append(partition, raw_patch(12002, 0, fat_head));
    write_seed("image", "partition-table", partition);
    // Directory slots.
    Bytes lfn(32, 0xFF);
    lfn[0] = 0x41;
    lfn[11] = 0x0F;
    lfn[12] = 0;
    lfn[26] = lfn[27] = 0;
    write_seed("image", "stray-long-name-slot", slot_patch(0, 0, lfn));
    Bytes run = slot_patch(0, 8, lfn);
    lfn[0] = 0x14;
    append(run, slot_patch(4, 7, lfn));
    write_seed("image", "long-name-runs-out-of-order", run);
    write_seed("image", "directory-to-cluster-ffff", slot_patch(4, 5, entry("BADDIR     ", 0x10, 0xFFFF, 0)));
    write_seed("image", "directory-to-cluster-one", slot_patch(0, 8, entry("ONE        ", 0x10, 1, 0)));
    write_seed("image", "directory-holds-itself", slot_patch(1, 4, entry("SELF       ", 0x10, 2, 0)));
    write_seed("image", "directory-holds-the-root-dir", slot_patch(2, 3, entry("UP         ", 0x10, 2, 0)));
    write_seed("image", "file-into-a-directory", slot_patch(0, 1, entry("README  TXT", 0x20, 11, 5000)));
    write_seed("image", "size-all-ones", region_patch(ROOT, 1 * 32 + 28, {0xFF, 0xFF, 0xFF, 0xFF}));
    write_seed("image", "volume-label", slot_patch(0, 8, entry("LABEL      ", 0x08, 0, 0)));
    write_seed("image", "dot-dot-to-itself", slot_patch(2, 1, entry("..         ", 0x10, 7, 0)));
    write_seed("image", "free-slot-then-entries", region_patch(ROOT, 0, {0x00}));
    write_seed("image", "fat-copies-differ", region_patch(FIRST_FAT, 8, {0x99}));
    Bytes noise;
    for (int i = 0; i < 128; i++) noise.push_back((uint8_t)(i * 37 + 11));
    write_seed("image", "directory-noise", cluster_patch(11, 64, noise));
    write_seed("image", "root-noise", region_patch(ROOT, 300, noise));
    write_seed("image", "fat-noise", region_patch(BOTH_FATS, 0, noise));
}

// --- names: operation bytes and strings ------------------------------------

enum NameOp {
    MKDIR = 0,
    CREATE = 1,
    OPEN = 2,
    DELETE = 3,
    RMDIR = 4,
    RENAME = 5,
    CHDIR = 6,
    CHDIR_UP = 7,
    FIND_HERE = 8,
    FIND_ANYWHERE = 9,
    RESOLVE_FILE = 10,
    RESOLVE_DIR = 11,
    LIST = 12,
    LIST_MORE = 13,
    WALK = 14,
    WALK_MORE = 15,
    WALK_AND_LIST = 16
};
const uint8_t DRIVE = 0x20;
const uint8_t BACKSLASH = 0x40;
const uint8_t REPEAT = 0x80;

Bytes op(uint8_t code, const std::string &s) {
    Bytes b = {code};
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
    return b;
}

Bytes seq(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes &p : parts) append(b, p);
    return b;
}

void names_seeds() {
    write_seed("names", "tree",
               seq({op(MKDIR | DRIVE, "A"), op(MKDIR | DRIVE, "A\\a long directory name"),
                    op(CREATE | DRIVE, "A\\b.txt"), op(CREATE, "A\\a long directory name\\some file.dat"),
                    op(WALK_AND_LIST, "")}));
    write_seed("names", "write-and-rename",
               seq({op(CREATE | DRIVE, "data.bin"),
                    op(OPEN | DRIVE, "data.bin"),
                    {200, 1},
                    op(RENAME | DRIVE, "data.bin"),
                    {'a', ' ', 'n', 'e', 'w', ' ', 'n', 'a', 'm', 'e', '.', 'x', 0},
                    op(FIND_ANYWHERE, "A NEW NAME.X"),
                    op(DELETE | DRIVE, "a new name.x")}));
    write_seed(
        "names", "refused-names",
        seq({op(CREATE, "a\x01"
                        "b"),
             op(CREATE, "\xE5x"), op(CREATE, ".."), op(CREATE, "a.b.c"), op(MKDIR, "x.y"), op(CREATE, "q?"),
             op(CREATE, "a.html"), op(MKDIR, "C:"), op(MKDIR, "C:\\"), op(CREATE, "\\"), op(CREATE, "")}));
    write_seed("names", "odd-but-valid",
               seq({op(CREATE, "name."), op(CREATE, " "), op(CREATE, "a+b;c"), op(MKDIR, "ab cd"),
                    op(CREATE, "ab cd.e"), op(CREATE, "\xC4\xE9.\xF0"), op(CREATE, "NINECH~1"),
                    op(CREATE, "ninechars"), op(CREATE, "x "), op(WALK_AND_LIST, "")}));
    write_seed("names", "long-path", seq({op(MKDIR | DRIVE | REPEAT, "abcdefghijklmnopqrstuvwxyz\\"), {9}}));
    write_seed("names", "nested",
               seq({op(MKDIR, "d1"), op(MKDIR, "d1\\d2"), op(MKDIR, "d1\\d2\\d3"), op(CHDIR, "d1\\d2"),
                    op(CREATE, "here"), op(CHDIR_UP, ""), op(RMDIR, "d2\\d3"), op(RMDIR, "d2"),
                    op(DELETE, "d2\\here"), op(RMDIR, "d2"), op(CHDIR, "\\"), op(RMDIR | DRIVE, "d1")}));
    write_seed("names", "walk-interleaved",
               seq({op(MKDIR, "A"), op(MKDIR, "A\\B"), op(CREATE, "A\\B\\F"), op(WALK, ""), op(WALK_MORE, ""),
                    op(DELETE | DRIVE, "A\\B\\F"), op(RMDIR | DRIVE, "A\\B"), op(WALK_MORE, ""),
                    op(WALK_MORE, "")}));
    write_seed("names", "list-interleaved",
               seq({op(CREATE, "one"), op(CREATE, "two"), op(LIST, ""), op(DELETE, "one"),
                    op(CREATE, "a much longer name than before"), op(LIST_MORE, ""), op(LIST_MORE, "")}));
    write_seed("names", "find-and-resolve",
               seq({op(MKDIR, "A"), op(CREATE, "A\\F.TXT"), op(FIND_HERE, "F.TXT"),
                    op(FIND_ANYWHERE, "f.txt"), op(RESOLVE_FILE | DRIVE, "A\\F.TXT"),
                    op(RESOLVE_DIR | DRIVE, "A.TXT"), op(RESOLVE_FILE, "A\\F.TXTX")}));
    write_seed("names", "drive-letters",
               seq({op(MKDIR, "d:\\X"), op(CHDIR, "d:\\x"), op(CREATE, "in"), op(CHDIR, "z:\\"),
                    op(CREATE, "C:in"), op(LIST, "")}));
    write_seed("names", "long-names",
               seq({op(CREATE | REPEAT, "L"),
                    {254},
                    op(CREATE | REPEAT, "Ll"),
                    {127},
                    op(MKDIR | REPEAT, "Dd"),
                    {127},
                    op(WALK_AND_LIST, "")}));
    write_seed("names", "rename-to-paths",
               seq({op(CREATE, "FILE"),
                    op(RENAME, "FILE"),
                    {'X', ':', '\\', 'Y', '\\', 'N', 'E', 'W', 0},
                    op(RENAME, "NEW"),
                    {'n', 'e', 'w', 0},
                    op(RENAME, "NEW"),
                    {'a', '.', 'b', '.', 'c', 0}}));
    write_seed("names", "open-twice",
               seq({op(CREATE, "F"),
                    op(OPEN, "F"),
                    {100, 0},
                    op(OPEN, "F"),
                    {10, 0},
                    op(OPEN, "F"),
                    {1, 1},
                    op(DELETE, "F"),
                    op(RENAME, "F"),
                    {'G', 0}}));
}

// --- operation sequences ---------------------------------------------------

void ops_seeds() {
    uint32_t x = 20261208;
    auto next = [&x]() {
        x = x * 1103515245u + 12345u;
        return (uint8_t)(x >> 16);
    };
    const size_t sizes[] = {16, 32, 64, 100, 150, 200, 300, 400, 500, 700, 1000, 1500, 2000};
    int n = 0;
    for (size_t size : sizes) {
        for (int k = 0; k < 3; k++) {
            Bytes b;
            for (size_t i = 0; i < size; i++) b.push_back(next());
            char name[32];
            snprintf(name, sizeof name, "random-%02d", n++);
            write_seed("ops", name, b);
        }
    }
    // Mostly directory creation, then walks and listings.
    Bytes dirs;
    for (int i = 0; i < 60; i++) {
        dirs.push_back(i % 10 == 9 ? 17 : 0);
        for (int j = 0; j < 8; j++) dirs.push_back(next());
    }
    write_seed("ops", "many-directories", dirs);
    // Mostly files and writes.
    Bytes files;
    for (int i = 0; i < 80; i++) {
        static const uint8_t ops[] = {2, 5, 7, 9, 10, 6, 11};
        files.push_back(ops[i % 7]);
        for (int j = 0; j < 8; j++) files.push_back(next());
    }
    write_seed("ops", "many-files", files);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    out_dir = argv[1];
    mkdir(out_dir.c_str(), 0755);
    image_seeds();
    names_seeds();
    ops_seeds();
    return 0;
}
