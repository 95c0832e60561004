// Boot sector, format, mount and volume report.
#include <string.h>

#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

extern "C" {
VolumeGeometryRecord VolumeGeometry;
}

namespace {

#if FS_WITH_FORMAT
// What the formatter writes.
const uint8_t FMT_JUMP[3] = {0xEB, 0x3C, 0x90};
const char FMT_OEM_NAME[] = "velmarod";
const uint32_t FMT_SECTORS_PER_CLUSTER = 64;
const uint32_t FMT_RESERVED_SECTORS = 1;
const uint32_t FMT_FAT_COUNT = 2;
const uint32_t FMT_ROOT_ENTRIES = 1024;
const uint8_t FMT_MEDIA = 0xF8;
const uint32_t FMT_SECTORS_PER_FAT = 256;
const uint32_t FMT_SERIAL = 0xA88FD2B9u;
const char FMT_FS_TYPE_NAME[] = "FAT16   ";
const uint32_t FMT_CLEARED_SECTORS = 10000;           // sectors 1 .. 9,999 are zeroed (inside the volume)
const uint32_t FMT_FAT2_HEAD = 257;                   // first sector of the second FAT
const uint8_t FAT_HEAD[4] = {0xF8, 0xFF, 0xFF, 0xFF}; // entries 0 and 1
// The formatter's system area: boot sector, two FATs, the root directory.
const uint32_t FMT_SYSTEM_SECTORS = FMT_RESERVED_SECTORS + FMT_FAT_COUNT * FMT_SECTORS_PER_FAT + 64;

#endif // FS_WITH_FORMAT

const uint32_t BS_PARTITION_TEST = 446; // boot indicator of a partition table's first entry
const uint32_t BS_TYPE_BYTE = 450;      // type of a partition table's first entry

#if FS_WITH_FORMAT
// The total of the boot sector the formatter wrote last: it bounds the
// sectors fs_init_fats clears.
uint32_t formatted_total = 0;

#endif // FS_WITH_FORMAT

uint8_t mounted = 0;
// Where the mounted volume starts, and how many sectors its partition
// holds: 0 and 0 for a volume from sector 0 of the image. Later mounts of
// other letters use the same place until fs_init.
uint32_t mounted_start = 0;
uint32_t mounted_room = 0;

#if FS_WITH_PARTITIONS
// GPT: the header at sector 1 and its partition entries.
const char GPT_SIGNATURE[] = "EFI PART";
const uint32_t GPT_ENTRIES_LBA = 72;
const uint32_t GPT_ENTRY_COUNT = 80;
const uint32_t GPT_ENTRY_SIZE = 84;
const uint32_t GPT_FIRST_LBA = 32; // within an entry
const uint32_t GPT_LAST_LBA = 40;
const uint8_t MBR_PROTECTIVE = 0xEE;

// Partition `number` of a GPT disk whose protective MBR is sector 0.
FsStatus read_gpt_partition(uint32_t number, FsPartition *out) {
    SectorBuffer header;
    if (disk_read_sector(header, 1) != FS_OK) return fs_fail(FS_ERR_IO);
    if (memcmp(header, GPT_SIGNATURE, 8) != 0) return fs_fail(FS_ERR_DAMAGED);
    uint32_t entries_lba = le_get(header + GPT_ENTRIES_LBA, 4); // the high half of 64 bits must be 0 here
    uint32_t count = le_get(header + GPT_ENTRY_COUNT, 4);
    uint32_t size = le_get(header + GPT_ENTRY_SIZE, 4);
    if (le_get(header + GPT_ENTRIES_LBA + 4, 4) != 0 || size < 128 || size > SECTOR_SIZE ||
        (size & (size - 1)) != 0)
        return fs_fail(FS_ERR_DAMAGED);
    if (number > count) return fs_fail(FS_ERR_NOT_FOUND);
    uint64_t byte = (uint64_t)(number - 1) * size;
    SectorBuffer sector;
    if (entries_lba + byte / SECTOR_SIZE >= FS_SECTOR_LIMIT ||
        disk_read_sector(sector, (uint32_t)(entries_lba + byte / SECTOR_SIZE)) != FS_OK)
        return fs_fail(FS_ERR_IO);
    const uint8_t *entry = sector + byte % SECTOR_SIZE;
    bool used = false;
    for (uint32_t i = 0; i < 16; i++) used = used || entry[i] != 0; // the type GUID
    if (!used) return fs_fail(FS_ERR_NOT_FOUND);
    uint64_t first = (uint64_t)le_get(entry + GPT_FIRST_LBA + 4, 4) << 32 | le_get(entry + GPT_FIRST_LBA, 4);
    uint64_t last = (uint64_t)le_get(entry + GPT_LAST_LBA + 4, 4) << 32 | le_get(entry + GPT_LAST_LBA, 4);
    if (last < first || first >= FS_SECTOR_LIMIT) return fs_fail(FS_ERR_DAMAGED);
    out->status = 0;
    out->type = MBR_PROTECTIVE;
    out->gpt = 1;
    out->first_sector = (uint32_t)first;
    uint64_t count64 = last - first + 1;
    out->sector_count = count64 > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)count64;
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#endif // FS_WITH_PARTITIONS

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
    if (total > FS_SECTOR_LIMIT) return false;
    uint32_t root_sectors = (root_entries * 32 + SECTOR_SIZE - 1) / SECTOR_SIZE;
    uint32_t first_data = reserved + fats * per_fat + root_sectors;
    if (first_data >= total) return false;
    uint32_t clusters = (total - first_data) / per_cluster;
    if (clusters == 0 || clusters > FS_MAX_CLUSTERS) return false;
    return per_fat * (SECTOR_SIZE / 2) >= clusters + 2;
}

#if FS_WITH_FORMAT
// Writes the formatter's boot sector for a volume of `total` sectors that
// starts at `first`. It is built in a zeroed buffer; bytes 24 to 31 (the
// geometry and, at sector 0, the hidden sectors) stay zero.
void write_boot_sector_at(uint32_t first, uint32_t total) {
    SectorBuffer b;
    memset(b, 0, sizeof b);
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
    b[BS_EXT_SIGNATURE] = BS_EXTENDED;
    le_put(b + BS_SERIAL, FMT_SERIAL, 4);
    memset(b + BS_LABEL, ' ', 11);
    memcpy(b + BS_FS_TYPE_NAME, FMT_FS_TYPE_NAME, 8);
    memset(b + BS_BOOT_CODE, ' ', BS_SIGNATURE - BS_BOOT_CODE);
    b[BS_SIGNATURE] = 0x55;
    b[BS_SIGNATURE + 1] = 0xAA;
    disk_write_sector(b, first);
    formatted_total = total;
}

// Clears the system area after the boot sector (and the first data sectors:
// sectors 1 .. 9,999, never past the volume's last sector) and writes the
// heads of both FATs.
void init_fats_at(uint32_t first, uint32_t total) {
    SectorBuffer head;
    memset(head, 0, sizeof head);
    memcpy(head, FAT_HEAD, sizeof FAT_HEAD);
    uint32_t end = total < FMT_CLEARED_SECTORS ? total : FMT_CLEARED_SECTORS;
    // Zeros in runs around the two FAT heads, each sector written once.
    const uint32_t heads[2] = {FMT_RESERVED_SECTORS, FMT_FAT2_HEAD};
    uint32_t s = 1;
    for (uint32_t h : heads) {
        if (s < h) disk_write_zeros(first + s, h - s);
        disk_write_sector(head, first + h);
        s = h + 1;
    }
    if (s < end) disk_write_zeros(first + s, end - s);
}

// Clusters of a volume of `total` sectors in the formatter's layout.
uint32_t layout_clusters(uint32_t total) {
    return total > FMT_SYSTEM_SECTORS ? (total - FMT_SYSTEM_SECTORS) / FMT_SECTORS_PER_CLUSTER : 0;
}

// True when the formatter's layout fits `total` sectors: at least one
// cluster, and no more than its FAT has entries for.
bool layout_fits(uint32_t total) {
    uint32_t clusters = layout_clusters(total);
    return clusters >= 1 && clusters <= FS_MAX_CLUSTERS;
}

#endif // FS_WITH_FORMAT

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

// Mounts the volume whose boot sector is sector `first`, of at most `room`
// sectors (0: any). Sector 0 may hold a partition table instead.
FsStatus mount_volume(uint8_t drive_index, uint32_t first, uint32_t room) {
    VolumeGeometryRecord &g = VolumeGeometry;
    // A mount reads the volume afresh: whatever changed the device since
    // (another program, another volume) is seen.
    disk_invalidate();
    // Read in the window (no frame holds a sector): nothing here touches
    // the device again while the sector is in use.
    const uint8_t *boot = disk_window_read(first);
    if (boot == nullptr) return fs_fail(FS_ERR_IO);
    uint32_t total = boot_total_sectors(boot);
    bool fits = true;
    if (first == 0) {
        // Byte 446 of a boot sector belongs to its boot code, and tools
        // write 0x00 or 0x80 there too; only a sector that is no FAT boot
        // sector is taken for a partition table by that byte.
        bool boot_sector = has_jump(boot) && bpb_usable(boot);
        if (!boot_sector && (boot[BS_PARTITION_TEST] == 0x00 || boot[BS_PARTITION_TEST] == 0x80))
            return fs_fail(FS_ERR_DAMAGED);
        g.partition_start = 0;
        g.total_sectors = total;
        g.fs_type = boot[BS_TYPE_BYTE];
    } else {
        // The volume must lie inside its partition and inside what can be addressed.
        fits = (room == 0 || total <= room) && (uint64_t)first + total <= FS_SECTOR_LIMIT;
    }
    g.drive_letter = (uint8_t)('C' + drive_index);
    mounted = 0;
    if (!fs_boot_sector_valid(boot) || !fits) return fs_fail(FS_ERR_DAMAGED);
    g.partition_start = first;
    g.total_sectors = total;
    mounted_start = first;
    mounted_room = room;
    copy_bpb(boot);
    g.fs_type = FS_TYPE_FAT16;
    fs_compute_geometry();
    fat_forget_free_hint();
    mounted = 1;
    return FS_OK;
}

} // namespace

extern "C" {

uint8_t fs_is_mounted(void) { return mounted; }

void fs_unmount(void) {
    fat_forget_free_hint();
    VolumeGeometry.drive_letter = 0xFF;
    mounted = 0;
    mounted_start = 0;
    mounted_room = 0;
}

uint8_t fs_boot_sector_valid(const uint8_t *sector) {
    return sector != nullptr && has_signature(sector) && bpb_usable(sector) ? 1 : 0;
}

FsStatus fs_mount(uint8_t drive_index) {
    VolumeGeometryRecord &g = VolumeGeometry;
    if (mounted && (int)g.drive_letter - 0x43 == (int)drive_index) return FS_OK;
    return mount_volume(drive_index, mounted_start, mounted_room);
}

#if FS_WITH_PARTITIONS
FsStatus fs_read_partition(uint8_t number, FsPartition *out) {
    if (number < 1 || out == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    const uint8_t *table = disk_window_read(0);
    if (table == nullptr) return fs_fail(FS_ERR_IO);
    // A volume's own boot sector carries the signature too, and its boot
    // code may look like table entries.
    if (!has_signature(table) || (has_jump(table) && bpb_usable(table))) return fs_fail(FS_ERR_DAMAGED);
    // A protective MBR: the partitions are those of the GPT behind it.
    if (table[MBR_ENTRIES + MBR_TYPE] == MBR_PROTECTIVE) return read_gpt_partition(number, out);
    if (number > 4) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    const uint8_t *entry = table + MBR_ENTRIES + MBR_ENTRY_SIZE * (number - 1u);
    out->status = entry[MBR_STATUS];
    out->type = entry[MBR_TYPE];
    out->gpt = 0;
    out->first_sector = le_get(entry + MBR_FIRST_SECTOR, 4);
    out->sector_count = le_get(entry + MBR_SECTOR_COUNT, 4);
    if (out->type == 0 || out->sector_count == 0) return fs_fail(FS_ERR_NOT_FOUND);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#endif // FS_WITH_PARTITIONS

FsStatus fs_mount_at(uint8_t drive_index, uint32_t first_sector, uint32_t room) {
    if (first_sector == 0 || first_sector >= FS_SECTOR_LIMIT) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    return mount_volume(drive_index, first_sector, room);
}

#if FS_WITH_PARTITIONS
FsStatus fs_mount_partition(uint8_t drive_index, uint8_t partition) {
    FsPartition p;
    if (partition < 1) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (fs_read_partition(partition, &p) != FS_OK) {
        // No table at all is a damaged volume; an empty entry names nothing.
        if (fs_last_error() == FS_ERR_NOT_FOUND) fs_set_error(FS_ERR_INVALID_ARGUMENT);
        return FS_FAIL;
    }
    // Whatever the type byte says (0xEF system partitions, 0x0B, 0x83 hold
    // FAT volumes too), the partition is used when it holds a FAT16 volume.
    if (p.first_sector == 0 || p.first_sector >= FS_SECTOR_LIMIT) return fs_fail(FS_ERR_DAMAGED);
    return fs_mount_at(drive_index, p.first_sector, p.sector_count);
}

#endif // FS_WITH_PARTITIONS

FsProbe fs_probe(uint32_t sector, uint32_t *detail) {
    SectorBuffer s;
    if (disk_read_sector(s, sector) != FS_OK) return FS_PROBE_UNREADABLE;
    bool blank = true;
    for (uint32_t i = 0; i < SECTOR_SIZE && blank; i++) blank = s[i] == 0;
    if (blank) return FS_PROBE_BLANK;
    if (!has_signature(s)) return FS_PROBE_OTHER;
    if (has_jump(s)) {
        if (bpb_usable(s)) return FS_PROBE_FAT16;
        uint32_t size = le_get(s + BPB_BYTES_PER_SECTOR, 2);
        // A BPB whose sector size is a power of two from 128 to 4096 is a
        // FAT boot sector, made for sectors of another size.
        if (size != SECTOR_SIZE && size >= 128 && size <= 4096 && (size & (size - 1)) == 0) {
            if (detail != nullptr) *detail = size;
            return FS_PROBE_SECTOR_SIZE;
        }
        if (size == SECTOR_SIZE && s[BPB_SECTORS_PER_CLUSTER] != 0) return FS_PROBE_UNSUPPORTED_FAT;
    }
    // A table names its partitions with a boot indicator of 0x00 or 0x80.
    for (uint32_t i = 0; i < 4; i++) {
        uint8_t status = s[MBR_ENTRIES + MBR_ENTRY_SIZE * i + MBR_STATUS];
        if (status != 0x00 && status != 0x80) return FS_PROBE_OTHER;
    }
    return FS_PROBE_PARTITION_TABLE;
}

namespace {

// Marks of other file systems: the name at byte 3 of exFAT and NTFS boot
// sectors, the FAT32 BPB (no 16-bit FAT size, a 32-bit one), the ext2/3/4
// superblock 1,024 bytes in (its magic and feature bits) and the ISO 9660
// volume descriptor 32 KiB in.
const uint32_t PROBE_FAT32_SECTORS_PER_FAT = 36;
const uint32_t PROBE_FAT12_MAX_CLUSTERS = 4084;
const uint32_t PROBE_EXT_SECTOR = 2; // the superblock: byte 1,024
const uint32_t PROBE_EXT_MAGIC = 56;
const uint32_t PROBE_EXT_MAGIC_VALUE = 0xEF53;
const uint32_t PROBE_EXT_COMPAT = 92;
const uint32_t PROBE_EXT_INCOMPAT = 96;
const uint32_t PROBE_EXT_HAS_JOURNAL = 0x4;
const uint32_t PROBE_EXT4_INCOMPAT = 0x40 | 0x80 | 0x200; // extents, 64-bit, flexible groups
const uint32_t PROBE_ISO_SECTOR = 64;                     // byte 32,768
const uint32_t PROBE_ISO_ID = 1;                          // "CD001"

// FAT12 or FAT16 by the cluster count of a BPB with 512-byte sectors.
const char *fat_kind(const uint8_t *s) {
    uint32_t per_cluster = s[BPB_SECTORS_PER_CLUSTER];
    uint32_t total = le_get(s + BPB_TOTAL_SECTORS_16, 2);
    if (total == 0) total = le_get(s + BPB_TOTAL_SECTORS_32, 4);
    uint32_t root = (le_get(s + BPB_ROOT_ENTRIES, 2) * DIR_SLOT_SIZE + SECTOR_SIZE - 1) / SECTOR_SIZE;
    uint32_t overhead =
        le_get(s + BPB_RESERVED_SECTORS, 2) + s[BPB_FAT_COUNT] * le_get(s + BPB_SECTORS_PER_FAT, 2) + root;
    if (per_cluster == 0 || total <= overhead) return nullptr;
    return (total - overhead) / per_cluster <= PROBE_FAT12_MAX_CLUSTERS ? "FAT12" : "FAT16";
}

} // namespace

const char *fs_probe_file_system(uint32_t sector) {
    SectorBuffer s;
    if (disk_read_sector(s, sector) != FS_OK) return nullptr;
    if (memcmp(s + BS_OEM_NAME, "EXFAT   ", 8) == 0) return "exFAT";
    if (memcmp(s + BS_OEM_NAME, "NTFS    ", 8) == 0) return "NTFS";
    if (has_signature(s) && has_jump(s) && le_get(s + BPB_BYTES_PER_SECTOR, 2) == SECTOR_SIZE &&
        s[BPB_SECTORS_PER_CLUSTER] != 0 && s[BPB_FAT_COUNT] != 0) {
        if (le_get(s + BPB_SECTORS_PER_FAT, 2) == 0 && le_get(s + PROBE_FAT32_SECTORS_PER_FAT, 4) != 0)
            return "FAT32";
        if (const char *kind = fat_kind(s)) return kind;
    }
    if (disk_read_sector(s, sector + PROBE_EXT_SECTOR) == FS_OK &&
        le_get(s + PROBE_EXT_MAGIC, 2) == PROBE_EXT_MAGIC_VALUE) {
        if (le_get(s + PROBE_EXT_INCOMPAT, 4) & PROBE_EXT4_INCOMPAT) return "ext4";
        return (le_get(s + PROBE_EXT_COMPAT, 4) & PROBE_EXT_HAS_JOURNAL) ? "ext3" : "ext2";
    }
    if (disk_read_sector(s, sector + PROBE_ISO_SECTOR) == FS_OK && memcmp(s + PROBE_ISO_ID, "CD001", 5) == 0)
        return "ISO 9660";
    return nullptr;
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
    // Lookups come back to the FAT sector of a directory's chain at every
    // cluster: the window keeps first-FAT sectors longer than the directory
    // sectors a scan streams past.
    disk_window_favour(g.fat1_start, g.sectors_per_fat);
}

#if FS_WITH_FORMAT
FsStatus fs_format_if_blank(uint8_t drive_index, uint8_t fs_type, uint32_t total_sectors) {
    SectorBuffer sector;
    if (disk_read_sector(sector, 0) != FS_OK) return FS_OK; // nothing to format
    if (has_signature(sector)) return FS_OK;                // already formatted
    if (fs_type != FS_TYPE_FAT16) return FS_OK;
    // The fixed layout must fit: formatting never writes past the volume.
    if (!layout_fits(total_sectors)) return fs_fail(FS_ERR_VOLUME_SIZE);
    fs_write_boot_sector(total_sectors, drive_index);
    return FS_OK;
}

void fs_write_boot_sector(uint32_t total_sectors, uint8_t drive_index) {
    write_boot_sector_at(0, total_sectors);
    fs_init_fats(drive_index);
}

void fs_init_fats(uint8_t drive_index) {
    (void)drive_index;
    // The total of the boot sector just built bounds the sectors cleared.
    init_fats_at(0, formatted_total != 0 ? formatted_total : FMT_CLEARED_SECTORS);
}

void fs_format_at_limits(uint32_t *min_sectors, uint32_t *max_sectors) {
    if (min_sectors != nullptr) *min_sectors = FMT_SYSTEM_SECTORS + FS_MIN_CLUSTERS * FMT_SECTORS_PER_CLUSTER;
    if (max_sectors != nullptr)
        *max_sectors = FMT_SYSTEM_SECTORS + (FS_MAX_CLUSTERS + 1) * FMT_SECTORS_PER_CLUSTER - 1;
}

FsStatus fs_format_at(uint32_t first_sector, uint32_t total_sectors) {
    uint32_t clusters = layout_clusters(total_sectors);
    if (clusters < FS_MIN_CLUSTERS || clusters > FS_MAX_CLUSTERS ||
        (uint64_t)first_sector + total_sectors > FS_SECTOR_LIMIT)
        return fs_fail(FS_ERR_VOLUME_SIZE);
    DiskFailMark failures = disk_failures();
    write_boot_sector_at(first_sector, total_sectors);
    init_fats_at(first_sector, total_sectors);
    if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#endif // FS_WITH_FORMAT

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
