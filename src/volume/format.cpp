// Formatting any FAT16 volume: the size, cluster size, root size, FAT
// copies and reserved sectors a caller asks for, with a boot sector as
// other tools write it (geometry, drive number, volume id and label, and a
// boot stub that says the disk cannot start a computer).
#include <string.h>

#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

#if FS_WITH_FORMAT
namespace {

const uint8_t JUMP[3] = {0xEB, 0x3C, 0x90}; // to the boot stub at byte 62
const char DEFAULT_OEM[] = "MSWIN4.1";
const uint32_t DEFAULT_ROOT_ENTRIES = 512;
const uint8_t DEFAULT_MEDIA = 0xF8;
const uint8_t HARD_DISK_DRIVE = 0x80;
const uint32_t MAX_CLUSTER_SECTORS = 128; // clusters of at most 64 KiB

// The boot stub: at 0x7C3E, it prints the message after it through the
// video BIOS, waits for a key and asks the BIOS to try the next device.
//   xor ax,ax / mov ds,ax / mov si,0x7C5C / cld
//   next: lodsb / test al,al / jz wait / mov ah,0x0E / mov bx,7 / int 0x10 / jmp next
//   wait: xor ah,ah / int 0x16 / int 0x19 / jmp $
const uint8_t BOOT_STUB[] = {0x31, 0xC0, 0x8E, 0xD8, 0xBE, 0x5C, 0x7C, 0xFC, 0xAC, 0x84,
                             0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10,
                             0xEB, 0xF2, 0x30, 0xE4, 0xCD, 0x16, 0xCD, 0x19, 0xEB, 0xFE};
const char BOOT_MESSAGE[] = "This volume holds no operating system.\r\n"
                            "Remove it and press a key to try the next device.\r\n";

// Sectors per cluster for a volume of `total` sectors when the caller
// leaves the choice: the sizes mkfs.fat picks for FAT16 (2 KiB clusters up
// to 128 MiB, doubling with every doubling of the volume). A volume with
// too few or too many clusters for FAT16 at that size gets smaller or
// larger ones.
uint32_t default_cluster_sectors(uint32_t total) {
    if (total < 262656) return 4;
    if (total < 524790) return 8;
    if (total < 1049013) return 16;
    if (total < 2097396) return 32;
    return 64;
}

// The layout of a volume: FAT size and cluster count for the fields given.
struct Layout {
    uint32_t reserved;
    uint32_t fats;
    uint32_t root_entries;
    uint32_t root_sectors;
    uint32_t per_cluster;
    uint32_t fat_sectors;
    uint32_t clusters;
};

// The smallest FAT that holds an entry for every cluster it leaves room
// for. False when the system area does not fit.
bool size_fat(uint32_t total, Layout *l) {
    uint32_t system = l->reserved + l->root_sectors;
    if (total <= system) return false;
    // An upper bound first: two bytes an entry, each sector of data area in
    // clusters of per_cluster sectors.
    uint32_t fat =
        (uint32_t)(((uint64_t)(total - system) + 2u * l->per_cluster + 256u * l->per_cluster + l->fats - 1) /
                   (256u * l->per_cluster + l->fats));
    for (;;) {
        if (system + l->fats * fat >= total) return false;
        uint32_t clusters = (total - system - l->fats * fat) / l->per_cluster;
        // One sector less would still hold every entry: take it.
        if (fat > 1) {
            uint32_t less = fat - 1;
            uint32_t more_clusters = (total - system - l->fats * less) / l->per_cluster;
            if ((uint64_t)(more_clusters + 2) * 2 <= (uint64_t)less * SECTOR_SIZE) {
                fat = less;
                continue;
            }
        }
        l->fat_sectors = fat;
        l->clusters = clusters;
        return (uint64_t)(clusters + 2) * 2 <= (uint64_t)fat * SECTOR_SIZE;
    }
}

// Heads and sectors per track as disks of that size report them, so that
// tools that check the geometry accept the volume.
void geometry(uint32_t total, uint32_t *per_track, uint32_t *heads) {
    *per_track = total <= 524288 ? 32 : 63;
    *heads = 2;
    while (*heads < 255 && total / (*per_track * *heads) > 1024) *heads = *heads * 2 > 255 ? 255 : *heads * 2;
}

// A volume id from the time, the way other systems derive one.
uint32_t volume_id_from(const FsDateTime *t) {
    uint32_t high = ((uint32_t)t->month << 8 | t->day) + ((uint32_t)t->second << 8 | t->hundredths);
    uint32_t low = ((uint32_t)t->hour << 8 | t->minute) + t->year;
    return (high & 0xFFFFu) << 16 | (low & 0xFFFFu);
}

void build_boot_sector(uint8_t *b, const FsFormatOptions &o, const Layout &l, uint8_t media,
                       const uint8_t *label11, uint32_t volume_id) {
    memset(b, 0, SECTOR_SIZE);
    memcpy(b + BS_JUMP, JUMP, sizeof JUMP);
    const char *oem = o.oem_name != nullptr ? o.oem_name : DEFAULT_OEM;
    memset(b + BS_OEM_NAME, ' ', 8);
    for (uint32_t i = 0; i < 8 && oem[i] != '\0'; i++) b[BS_OEM_NAME + i] = (uint8_t)oem[i];
    le_put(b + BPB_BYTES_PER_SECTOR, SECTOR_SIZE, 2);
    b[BPB_SECTORS_PER_CLUSTER] = (uint8_t)l.per_cluster;
    le_put(b + BPB_RESERVED_SECTORS, l.reserved, 2);
    b[BPB_FAT_COUNT] = (uint8_t)l.fats;
    le_put(b + BPB_ROOT_ENTRIES, l.root_entries, 2);
    // Volumes below 65,536 sectors keep their total in the 16-bit field.
    if (o.total_sectors < 0x10000u)
        le_put(b + BPB_TOTAL_SECTORS_16, o.total_sectors, 2);
    else
        le_put(b + BPB_TOTAL_SECTORS_32, o.total_sectors, 4);
    b[BPB_MEDIA] = media;
    le_put(b + BPB_SECTORS_PER_FAT, l.fat_sectors, 2);
    uint32_t per_track = 0, heads = 0;
    geometry(o.first_sector + o.total_sectors, &per_track, &heads);
    le_put(b + BPB_SECTORS_PER_TRACK, per_track, 2);
    le_put(b + BPB_HEADS, heads, 2);
    le_put(b + BPB_HIDDEN_SECTORS, o.first_sector, 4);
    b[BS_DRIVE_NUMBER] = HARD_DISK_DRIVE;
    b[BS_EXT_SIGNATURE] = BS_EXTENDED;
    le_put(b + BS_SERIAL, volume_id, 4);
    memcpy(b + BS_LABEL, label11, 11);
    memcpy(b + BS_FS_TYPE_NAME, "FAT16   ", 8);
    memcpy(b + BS_BOOT_CODE, BOOT_STUB, sizeof BOOT_STUB);
    memcpy(b + BS_BOOT_CODE + sizeof BOOT_STUB, BOOT_MESSAGE, sizeof BOOT_MESSAGE);
    b[BS_SIGNATURE] = 0x55;
    b[BS_SIGNATURE + 1] = 0xAA;
}

} // namespace

#endif // FS_WITH_FORMAT

extern "C" {

#if FS_WITH_FORMAT

FsStatus fs_format_volume(const FsFormatOptions *options) {
    if (options == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    const FsFormatOptions &o = *options;
    Layout l;
    l.reserved = o.reserved_sectors != 0 ? o.reserved_sectors : 1;
    l.fats = o.fat_count != 0 ? o.fat_count : 2;
    uint32_t entries = o.root_entries != 0 ? o.root_entries : DEFAULT_ROOT_ENTRIES;
    l.root_entries = (entries + DIR_SLOTS_PER_SECTOR - 1) / DIR_SLOTS_PER_SECTOR * DIR_SLOTS_PER_SECTOR;
    l.root_sectors = l.root_entries / DIR_SLOTS_PER_SECTOR;
    l.per_cluster = o.sectors_per_cluster;
    uint8_t media = o.media != 0 ? o.media : DEFAULT_MEDIA;
    uint8_t label11[11];
    memcpy(label11, BS_NO_LABEL, 11);
    bool has_label = o.label != nullptr && o.label[0] != '\0';
    if (has_label && fs_label_form(o.label, label11) != FS_OK) return FS_FAIL;
    if (l.fats > 2 || l.reserved > 0xFFFF || l.root_entries > 0xFFF0 || (media < 0xF8 && media != 0xF0) ||
        (l.per_cluster & (l.per_cluster - 1)) != 0 || l.per_cluster > MAX_CLUSTER_SECTORS)
        return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (o.total_sectors == 0 || (uint64_t)o.first_sector + o.total_sectors > FS_SECTOR_LIMIT)
        return fs_fail(FS_ERR_VOLUME_SIZE);
    if (l.per_cluster == 0) {
        // The size's usual cluster, or a smaller or larger one where the
        // volume would have too few or too many clusters for FAT16.
        l.per_cluster = default_cluster_sectors(o.total_sectors);
        while (l.per_cluster > 1 && size_fat(o.total_sectors, &l) && l.clusters < FS_MIN_CLUSTERS)
            l.per_cluster /= 2;
        while (l.per_cluster < MAX_CLUSTER_SECTORS && size_fat(o.total_sectors, &l) &&
               l.clusters > FS_MAX_CLUSTERS)
            l.per_cluster *= 2;
    }
    if (!size_fat(o.total_sectors, &l) || l.clusters < FS_MIN_CLUSTERS || l.clusters > FS_MAX_CLUSTERS ||
        l.fat_sectors > 0xFFFF)
        return fs_fail(FS_ERR_VOLUME_SIZE);

    FsDateTime now;
    bool has_clock = fs_clock_now(&now) != 0;
    uint32_t volume_id = o.volume_id_given ? o.volume_id : has_clock ? volume_id_from(&now) : 0;

    const DiskFailMark failures = disk_failures();
    SectorBuffer sector;
    // The system area: reserved sectors, every FAT copy and the root, zeroed
    // in runs, each sector written once: a FAT's first sector holds entries
    // 0 and 1 (the media byte, and the end mark), and with a label the
    // root's first sector holds its entry, where other tools read it.
    const uint32_t root = o.first_sector + l.reserved + l.fats * l.fat_sectors;
    if (l.reserved > 1) disk_write_zeros(o.first_sector + 1, l.reserved - 1);
    memset(sector, 0, sizeof sector);
    le_put(sector, 0xFF00u | media, 2);
    le_put(sector + 2, FAT_END_OF_CHAIN, 2);
    for (uint32_t k = 0; k < l.fats; k++) {
        uint32_t fat = o.first_sector + l.reserved + k * l.fat_sectors;
        disk_write_sector(sector, fat);
        if (l.fat_sectors > 1) disk_write_zeros(fat + 1, l.fat_sectors - 1);
    }
    uint32_t root_zeros = l.root_sectors;
    if (has_label) {
        memset(sector, 0, sizeof sector);
        memcpy(sector + DIR_NAME, label11, 11);
        sector[DIR_ATTR] = ATTR_VOLUME_ID;
        le_put(sector + DIR_MODIFY_TIME, fs_time_field(&now), 2);
        le_put(sector + DIR_MODIFY_DATE, fs_date_field(&now), 2);
        disk_write_sector(sector, root);
        root_zeros--;
    }
    if (root_zeros > 0) disk_write_zeros(root + l.root_sectors - root_zeros, root_zeros);
    build_boot_sector(sector, o, l, media, label11, volume_id);
    disk_write_sector(sector, o.first_sector);
    if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#endif // FS_WITH_FORMAT

uint8_t fs_label_char_refused(uint8_t c) {
    static const char FORBIDDEN[] = "\"*+,./:;<=>?[\\]|";
    return c < 0x20 || (c != 0 && strchr(FORBIDDEN, c) != nullptr);
}

#if FS_WITH_FORMAT || FS_WITH_LABEL
FsStatus fs_label_form(const char *label, uint8_t *label11) {
    if (label == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    uint32_t length = str_len(label);
    while (length > 0 && label[length - 1] == ' ') length--;
    if (length > 11) return fs_fail(FS_ERR_INVALID_NAME);
    memset(label11, ' ', 11);
    for (uint32_t i = 0; i < length; i++) {
        uint8_t c = (uint8_t)label[i];
        if (c >= 0x7F || fs_label_char_refused(c)) return fs_fail(FS_ERR_INVALID_NAME);
        label11[i] = (uint8_t)str_ascii_upper((char)c);
    }
    // A first byte 0xE5 or 0x00 would make the label slot read as free.
    if (length > 0 && label11[0] == ' ') return fs_fail(FS_ERR_INVALID_NAME);
    return FS_OK;
}
#endif
}
