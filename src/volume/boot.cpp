// Boot sector, format, mount and volume report.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_file.h"
#include "fat16_volume.h"

extern "C" {
VolumeGeometryRecord VolumeGeometry;
}

namespace {

// Boot sector layout (offsets within sector 0).
const uint32_t BS_JUMP = 0;
const uint32_t BS_OEM_NAME = 3;
const uint32_t BPB_BYTES_PER_SECTOR = 11;
const uint32_t BPB_SECTORS_PER_CLUSTER = 13;
const uint32_t BPB_RESERVED_SECTORS = 14;
const uint32_t BPB_FAT_COUNT = 16;
const uint32_t BPB_ROOT_ENTRIES = 17;
const uint32_t BPB_TOTAL_SECTORS_16 = 19;
const uint32_t BPB_MEDIA = 21;
const uint32_t BPB_SECTORS_PER_FAT = 22;
const uint32_t BPB_HIDDEN_SECTORS = 28;
const uint32_t BPB_TOTAL_SECTORS_32 = 32;
const uint32_t BS_DRIVE_NUMBER = 36;
const uint32_t BS_RESERVED = 37;
const uint32_t BS_EXT_SIGNATURE = 38;
const uint32_t BS_SERIAL = 39;
const uint32_t BS_LABEL = 43;
const uint32_t BS_FS_TYPE_NAME = 54;
const uint32_t BS_BOOT_CODE = 62;
const uint32_t BS_PARTITION_TEST = 446; // boot indicator of a partition table's first entry
const uint32_t BS_TYPE_BYTE = 450;      // type of a partition table's first entry
const uint32_t BS_SIGNATURE = 510;

// What the formatter writes.
const uint8_t FMT_JUMP[3] = {0xEB, 0x3C, 0x90};
const char FMT_OEM_NAME[] = "velmarod";
const uint32_t FMT_SECTORS_PER_CLUSTER = 64;
const uint32_t FMT_RESERVED_SECTORS = 1;
const uint32_t FMT_FAT_COUNT = 2;
const uint32_t FMT_ROOT_ENTRIES = 1024;
const uint8_t FMT_MEDIA = 0xF8;
const uint32_t FMT_SECTORS_PER_FAT = 256;
const uint8_t FMT_EXT_SIGNATURE = 0x29;
const uint32_t FMT_SERIAL = 0xA88FD2B9u;
const char FMT_FS_TYPE_NAME[] = "FAT16   ";
const uint32_t FMT_CLEARED_SECTORS = 10000;           // sectors 1 .. 9,999 are zeroed
const uint32_t FMT_FAT2_HEAD = 257;                   // first sector of the second FAT
const uint8_t FAT_HEAD[4] = {0xF8, 0xFF, 0xFF, 0xFF}; // entries 0 and 1

// Partition table of sector 0.
const uint32_t MBR_ENTRIES = 446;
const uint32_t MBR_ENTRY_SIZE = 16;
const uint32_t MBR_TYPE = 4;
const uint32_t MBR_FIRST_SECTOR = 8;
const uint32_t MBR_SECTOR_COUNT = 12;

// The boot sector is built here; bytes 24 to 31 are never written.
uint8_t boot_template[SECTOR_SIZE];

uint8_t mounted = 0;
uint8_t mounted_partition = 0; // 0: the volume starts at sector 0

bool has_signature(const uint8_t *sector) {
    return sector[BS_SIGNATURE] == 0x55 && sector[BS_SIGNATURE + 1] == 0xAA;
}

bool has_jump(const uint8_t *sector) {
    return (sector[BS_JUMP] == 0xEB && sector[BS_JUMP + 2] == 0x90) || sector[BS_JUMP] == 0xE9;
}

// The 32-bit total, or the 16-bit one when the 32-bit field is 0 (small
// volumes made by other tools keep their total there).
uint32_t boot_total_sectors(const uint8_t *sector) {
    uint32_t total = le_get(sector + BPB_TOTAL_SECTORS_32, 4);
    if (total == 0) total = le_get(sector + BPB_TOTAL_SECTORS_16, 2);
    return total;
}

// True when the BPB describes a volume the rest of the library can work
// with: 512-byte sectors, a power-of-two cluster size, a FAT that overlays
// neither the boot sector nor too few sectors, a root area, a data area
// inside the total, and a FAT16 cluster count.
bool bpb_usable(const uint8_t *s) {
    uint32_t bytes_per_sector = le_get(s + BPB_BYTES_PER_SECTOR, 2);
    uint32_t per_cluster = s[BPB_SECTORS_PER_CLUSTER];
    uint32_t reserved = le_get(s + BPB_RESERVED_SECTORS, 2);
    uint32_t fats = s[BPB_FAT_COUNT];
    uint32_t root_entries = le_get(s + BPB_ROOT_ENTRIES, 2);
    uint32_t per_fat = le_get(s + BPB_SECTORS_PER_FAT, 2);
    uint32_t total = boot_total_sectors(s);

    if (bytes_per_sector != SECTOR_SIZE) return false;
    if (per_cluster == 0 || (per_cluster & (per_cluster - 1)) != 0) return false;
    if (fats == 0 || per_fat == 0 || reserved == 0 || root_entries == 0) return false;
    if (total > DISK_SECTOR_LIMIT) return false;
    uint32_t root_sectors = (root_entries * 32 + SECTOR_SIZE - 1) / SECTOR_SIZE;
    uint32_t first_data = reserved + fats * per_fat + root_sectors;
    if (first_data >= total) return false;
    uint32_t clusters = (total - first_data) / per_cluster;
    if (clusters == 0 || clusters > FAT16_MAX_CLUSTERS) return false;
    return per_fat * (SECTOR_SIZE / 2) >= clusters + 2;
}

bool fat16_partition_type(uint8_t type) { return type == 0x04 || type == 0x06 || type == 0x0E; }

// Writes the formatter's boot sector for a volume of `total` sectors that
// starts at `first`.
void write_boot_sector_at(uint32_t first, uint32_t total) {
    uint8_t *b = boot_template;
    memcpy(b + BS_JUMP, FMT_JUMP, sizeof FMT_JUMP);
    memcpy(b + BS_OEM_NAME, FMT_OEM_NAME, 8);
    le_put(b + BPB_BYTES_PER_SECTOR, SECTOR_SIZE, 2);
    b[BPB_SECTORS_PER_CLUSTER] = (uint8_t)FMT_SECTORS_PER_CLUSTER;
    le_put(b + BPB_RESERVED_SECTORS, FMT_RESERVED_SECTORS, 2);
    b[BPB_FAT_COUNT] = (uint8_t)FMT_FAT_COUNT;
    le_put(b + BPB_ROOT_ENTRIES, FMT_ROOT_ENTRIES, 2);
    le_put(b + BPB_TOTAL_SECTORS_16, 0, 2);
    b[BPB_MEDIA] = FMT_MEDIA;
    le_put(b + BPB_SECTORS_PER_FAT, FMT_SECTORS_PER_FAT, 2);
    if (first != 0) le_put(b + BPB_HIDDEN_SECTORS, first, 4); // a partition's sectors in front of it
    le_put(b + BPB_TOTAL_SECTORS_32, total, 4);
    b[BS_DRIVE_NUMBER] = 0x00;
    b[BS_RESERVED] = 0x00;
    b[BS_EXT_SIGNATURE] = FMT_EXT_SIGNATURE;
    le_put(b + BS_SERIAL, FMT_SERIAL, 4);
    memset(b + BS_LABEL, ' ', 11);
    memcpy(b + BS_FS_TYPE_NAME, FMT_FS_TYPE_NAME, 8);
    memset(b + BS_BOOT_CODE, ' ', BS_SIGNATURE - BS_BOOT_CODE);
    b[BS_SIGNATURE] = 0x55;
    b[BS_SIGNATURE + 1] = 0xAA;
    disk_write_sector(b, first);
    if (first != 0) le_put(b + BPB_HIDDEN_SECTORS, 0, 4);
}

// Clears the system area after the boot sector and writes the heads of both FATs.
void init_fats_at(uint32_t first) {
    SectorBuffer sector;
    memset(sector, 0, sizeof sector);
    for (uint32_t s = 1; s < FMT_CLEARED_SECTORS; s++) disk_write_sector(sector, first + s);
    memcpy(sector, FAT_HEAD, sizeof FAT_HEAD);
    disk_write_sector(sector, first + FMT_RESERVED_SECTORS);
    disk_write_sector(sector, first + FMT_FAT2_HEAD);
}

void copy_bpb(const uint8_t *s) {
    VolumeGeometryRecord &g = VolumeGeometry;
    g.bytes_per_sector = le_get(s + BPB_BYTES_PER_SECTOR, 2);
    g.sectors_per_cluster = s[BPB_SECTORS_PER_CLUSTER];
    g.reserved_sectors = le_get(s + BPB_RESERVED_SECTORS, 2);
    g.fat_count = s[BPB_FAT_COUNT];
    g.root_entry_count = le_get(s + BPB_ROOT_ENTRIES, 2);
    g.total_sectors_16 = 0xFFFF;
    g.media = s[BPB_MEDIA];
    g.sectors_per_fat = le_get(s + BPB_SECTORS_PER_FAT, 2);
}

} // namespace

extern "C" {

uint8_t fs_is_mounted(void) { return mounted; }

FsStatus fs_init(void) {
    VolumeGeometry.drive_letter = 0xFF;
    mounted = 0;
    mounted_partition = 0;
    CurrentDir.in_subdir = 0;
    str_copy("C:\\", CurrentDir.path);
    for (int slot = 0; slot < 2; slot++) {
        open_files[slot].in_use = 0;
        open_files[slot].dirty = 0;
    }
    return fs_mount(0);
}

uint8_t fs_boot_sector_valid(const uint8_t *sector) {
    return sector != nullptr && has_signature(sector) && bpb_usable(sector) ? 1 : 0;
}

FsStatus fs_mount(uint8_t drive_index) {
    VolumeGeometryRecord &g = VolumeGeometry;
    if (mounted && (int)g.drive_letter - 0x43 == (int)drive_index) return FS_OK;
    if (mounted_partition != 0) return fs_mount_partition(drive_index, mounted_partition);

    SectorBuffer sector;
    if (disk_read_sector(sector, 0) != FS_OK) return fs_fail(FS_ERR_IO);
    // Byte 446 of a boot sector belongs to its boot code, and tools write
    // 0x00 or 0x80 there too; only a sector that is no FAT boot sector is
    // taken for a partition table by that byte.
    bool boot_sector = has_jump(sector) && bpb_usable(sector);
    if (!boot_sector && (sector[BS_PARTITION_TEST] == 0x00 || sector[BS_PARTITION_TEST] == 0x80))
        return fs_fail(FS_ERR_DAMAGED);

    g.partition_start = 0;
    g.total_sectors = boot_total_sectors(sector);
    g.fs_type = sector[BS_TYPE_BYTE];
    g.drive_letter = (uint8_t)('C' + drive_index);
    mounted = 0;
    if (!has_signature(sector) || !bpb_usable(sector)) return fs_fail(FS_ERR_DAMAGED);

    copy_bpb(sector);
    g.fs_type = FS_TYPE_FAT16;
    fs_compute_geometry();
    mounted = 1;
    return FS_OK;
}

FsStatus fs_mount_partition(uint8_t drive_index, uint8_t partition) {
    if (partition < 1 || partition > 4) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    SectorBuffer table;
    if (disk_read_sector(table, 0) != FS_OK) return fs_fail(FS_ERR_IO);
    if (!has_signature(table)) return fs_fail(FS_ERR_DAMAGED);
    const uint8_t *entry = table + MBR_ENTRIES + MBR_ENTRY_SIZE * (partition - 1u);
    if (!fat16_partition_type(entry[MBR_TYPE])) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    uint32_t first = le_get(entry + MBR_FIRST_SECTOR, 4);
    uint32_t count = le_get(entry + MBR_SECTOR_COUNT, 4);
    if (first == 0 || first >= DISK_SECTOR_LIMIT) return fs_fail(FS_ERR_DAMAGED);

    SectorBuffer boot;
    if (disk_read_sector(boot, first) != FS_OK) return fs_fail(FS_ERR_IO);
    VolumeGeometryRecord &g = VolumeGeometry;
    mounted = 0;
    g.drive_letter = (uint8_t)('C' + drive_index);
    uint32_t total = boot_total_sectors(boot);
    // The volume must lie inside its partition and inside what can be addressed.
    if (!fs_boot_sector_valid(boot) || total > count || (uint64_t)first + total > DISK_SECTOR_LIMIT)
        return fs_fail(FS_ERR_DAMAGED);
    g.partition_start = first;
    g.total_sectors = total;
    copy_bpb(boot);
    g.fs_type = FS_TYPE_FAT16;
    fs_compute_geometry();
    mounted = 1;
    mounted_partition = partition;
    return FS_OK;
}

void fs_compute_geometry(void) {
    VolumeGeometryRecord &g = VolumeGeometry;
    uint32_t fat_area = (uint32_t)g.fat_count * g.sectors_per_fat;
    g.root_dir_sectors =
        g.bytes_per_sector == 0 ? 0 : (g.root_entry_count * 32 + g.bytes_per_sector - 1) / g.bytes_per_sector;
    g.first_data_sector = g.partition_start + g.reserved_sectors + fat_area + g.root_dir_sectors;
    g.root_dir_start = g.partition_start + g.reserved_sectors + fat_area;
    uint32_t overhead = g.reserved_sectors + g.root_dir_sectors + fat_area;
    g.data_sectors = g.total_sectors > overhead ? g.total_sectors - overhead : 0;
    g.cluster_count = g.sectors_per_cluster == 0 ? 0 : g.data_sectors / g.sectors_per_cluster;
    g.fat1_start = g.partition_start + g.reserved_sectors;
    g.fat2_start = g.partition_start + g.reserved_sectors + g.sectors_per_fat;
}

FsStatus fs_format_if_blank(uint8_t drive_index, uint8_t fs_type, uint32_t total_sectors) {
    SectorBuffer sector;
    if (disk_read_sector(sector, 0) != FS_OK) return FS_OK; // nothing to format
    if (has_signature(sector)) return FS_OK;                // already formatted
    if (fs_type != FS_TYPE_FAT16) return FS_OK;
    fs_write_boot_sector(total_sectors, drive_index);
    return FS_OK;
}

void fs_write_boot_sector(uint32_t total_sectors, uint8_t drive_index) {
    write_boot_sector_at(0, total_sectors);
    fs_init_fats(drive_index);
}

void fs_init_fats(uint8_t drive_index) {
    (void)drive_index;
    init_fats_at(0);
}

FsStatus fs_format_at(uint32_t first_sector, uint32_t total_sectors) {
    uint64_t failures = disk_failures();
    write_boot_sector_at(first_sector, total_sectors);
    init_fats_at(first_sector);
    if (disk_failures() != failures) return fs_fail(FS_ERR_IO);
    return FS_OK;
}

FsStatus fs_volume_info(char letter, uint32_t *capacity, uint32_t *free_space) {
    uint8_t l = (uint8_t)letter;
    if (l >= 'c' && l <= 'f') l = (uint8_t)(l - 0x20);
    if (l < 'C' || l > 'F' || capacity == nullptr || free_space == nullptr)
        return fs_fail(FS_ERR_INVALID_ARGUMENT);
    fs_mount((uint8_t)(l - 'C'));

    VolumeGeometryRecord &g = VolumeGeometry;
    if (g.fs_type != FS_TYPE_FAT16 || !mounted) {
        *capacity = 0;
        *free_space = 0;
        return fs_fail(FS_ERR_NOT_MOUNTED);
    }
    // Count free entries among the data clusters 2 .. cluster_count + 1.
    uint32_t free_clusters = 0;
    uint32_t entries = g.cluster_count + 2;
    SectorBuffer sector;
    for (uint32_t n = 0; n < entries; n++) {
        uint32_t at = (n * 2) % SECTOR_SIZE;
        if (at == 0 && disk_read_sector(sector, g.fat1_start + n * 2 / SECTOR_SIZE) != FS_OK) {
            *capacity = 0;
            *free_space = 0;
            return fs_fail(FS_ERR_IO);
        }
        if (n >= 2 && sector[at] == 0 && sector[at + 1] == 0) free_clusters++;
    }
    *free_space = free_clusters * g.sectors_per_cluster;
    *capacity = g.total_sectors;
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}
}
