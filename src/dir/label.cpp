// The volume label, kept where other tools read and write it: in the boot
// sector's label field and as a volume-label entry of the root directory.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

#if FS_WITH_LABEL
namespace {

bool is_label_slot(const uint8_t *slot) {
    return slot[0] != ENTRY_END && slot[0] != ENTRY_FREE && slot[DIR_ATTR] != ATTR_LONG_NAME &&
           (slot[DIR_ATTR] & ATTR_VOLUME_ID) != 0 && (slot[DIR_ATTR] & ATTR_DIRECTORY) == 0;
}

// Finds the root's label entry (`want_free` false) or its first free slot
// (true). FS_OK with its sector in `sector` and its place in `*at` and
// `*offset`; FS_FAIL when there is none; `*io` when a sector could not be read.
FsStatus find_root_slot(bool want_free, uint8_t *sector, uint32_t *at, uint32_t *offset, bool *io) {
    const VolumeGeometryRecord &g = VolumeGeometry;
    for (uint32_t s = g.root_dir_start; s < g.root_dir_start + g.root_dir_sectors; s++) {
        if (disk_read_sector(sector, s) != FS_OK) {
            *io = true;
            return FS_FAIL;
        }
        for (uint32_t o = 0; o < SECTOR_SIZE; o += DIR_SLOT_SIZE) {
            const uint8_t *slot = sector + o;
            bool match = want_free ? (slot[0] == ENTRY_END || slot[0] == ENTRY_FREE) : is_label_slot(slot);
            if (match) {
                *at = s;
                *offset = o;
                return FS_OK;
            }
            if (!want_free && slot[0] == ENTRY_END) return FS_FAIL;
        }
    }
    return FS_FAIL;
}

// Writes the 11 bytes of a label as UTF-8 (code page 437) without its padding.
void label_text(const uint8_t *label11, char *out) {
    uint32_t end = 11;
    while (end > 0 && label11[end - 1] == ' ') end--;
    uint32_t at = 0;
    for (uint32_t i = 0; i < end; i++) at += str_cp437_to_utf8(label11[i], out + at);
    out[at] = '\0';
}

} // namespace

extern "C" {

FsStatus fs_get_label(char *out) {
    if (out == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    out[0] = '\0';
    if (!fs_is_mounted()) return fs_fail(FS_ERR_NOT_MOUNTED);
    SectorBuffer sector;
    uint32_t at = 0, offset = 0;
    bool io = false;
    if (find_root_slot(false, sector, &at, &offset, &io) == FS_OK) {
        label_text(sector + offset, out);
    } else if (io) {
        return fs_fail(FS_ERR_IO);
    } else {
        // No entry: the boot sector's field, unless it says there is none.
        if (disk_read_sector(sector, VolumeGeometry.partition_start) != FS_OK) return fs_fail(FS_ERR_IO);
        if (sector[BS_EXT_SIGNATURE] == BS_EXTENDED && memcmp(sector + BS_LABEL, BS_NO_LABEL, 11) != 0)
            label_text(sector + BS_LABEL, out);
    }
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

FsStatus fs_get_volume_id(uint32_t *id) {
    if (id == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    *id = 0;
    if (!fs_is_mounted()) return fs_fail(FS_ERR_NOT_MOUNTED);
    SectorBuffer sector;
    if (disk_read_sector(sector, VolumeGeometry.partition_start) != FS_OK) return fs_fail(FS_ERR_IO);
    // Only an extended boot record carries the id.
    if (sector[BS_EXT_SIGNATURE] != BS_EXTENDED) return fs_fail(FS_ERR_NOT_FOUND);
    *id = le_get(sector + BS_SERIAL, 4);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#if !FS_READ_ONLY
FsStatus fs_set_label(const char *label) {
    if (label == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (!fs_is_mounted()) return fs_fail(FS_ERR_NOT_MOUNTED);
    uint8_t form[11];
    memcpy(form, BS_NO_LABEL, 11);
    bool clear = label[0] == '\0';
    if (!clear && fs_label_form(label, form) != FS_OK) return FS_FAIL;
    const DiskFailMark failures = disk_failures();
    SectorBuffer sector;
    uint32_t at = 0, offset = 0;
    bool io = false;
    FsStatus found = find_root_slot(false, sector, &at, &offset, &io);
    if (io) return fs_fail(FS_ERR_IO);
    if (found != FS_OK && !clear) {
        if (find_root_slot(true, sector, &at, &offset, &io) != FS_OK)
            return fs_fail(io ? FS_ERR_IO : FS_ERR_DIR_FULL);
        memset(sector + offset, 0, DIR_SLOT_SIZE);
        sector[offset + DIR_ATTR] = ATTR_VOLUME_ID;
        found = FS_OK;
    }
    if (found == FS_OK) {
        uint8_t *slot = sector + offset;
        if (clear) {
            slot[0] = ENTRY_FREE;
        } else {
            memcpy(slot + DIR_NAME, form, 11);
            FsDateTime now;
            if (fs_clock_now(&now)) dir_put_times(slot, nullptr, &now, nullptr);
        }
        disk_write_sector(sector, at);
    }
    // The boot sector's field, where the extended boot record has one.
    if (disk_read_sector(sector, VolumeGeometry.partition_start) != FS_OK) return fs_fail(FS_ERR_IO);
    if (sector[BS_EXT_SIGNATURE] == BS_EXTENDED) {
        memcpy(sector + BS_LABEL, form, 11);
        disk_write_sector(sector, VolumeGeometry.partition_start);
    }
    if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}
#endif
}

#endif // FS_WITH_LABEL
