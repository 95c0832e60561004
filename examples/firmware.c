/* A data logger's firmware, as it calls the library: the program whose
 * link scripts/embedded_size.sh measures for a Cortex-M4 (with
 * --gc-sections only what these calls reach stays), and that runs as a test
 * on the host. The card is a RAM disk here; a board gives its SD driver's
 * block calls instead.
 *
 * The data logger's calls: mount, format, mkdir, create, open, write, seek,
 * read, close, list, delete, rename, move, stat, chdir, rmdir, label,
 * attributes, times, volume info. With FIRMWARE_MIN, the fewest a logger
 * can do with: mount, mkdir, create, open, write, seek, read, close, list,
 * delete (the card comes formatted). With FIRMWARE_READ_ONLY, a boot
 * loader's: mount, list, stat, open, seek, read, close (the card comes with
 * its file; the library may be built with FS_READ_ONLY). Exit status 0 when
 * every call did what it should. */
#include <string.h>

#include "fat16.h"

/* A card of 4,200 sectors: 4,111 clusters of one sector, the least FAT16
 * takes. */
#define CARD_SECTORS 4200u
static uint8_t card[CARD_SECTORS * FS_SECTOR_SIZE];

static FsStatus card_read(void *context, uint32_t sector, uint8_t *buffer) {
    (void)context;
    memcpy(buffer, card + sector * FS_SECTOR_SIZE, FS_SECTOR_SIZE);
    return FS_OK;
}

static FsStatus card_write(void *context, uint32_t sector, const uint8_t *buffer) {
    (void)context;
    memcpy(card + sector * FS_SECTOR_SIZE, buffer, FS_SECTOR_SIZE);
    return FS_OK;
}

static FsStatus card_read_run(void *context, uint32_t first, uint32_t count, uint8_t *buffer) {
    (void)context;
    memcpy(buffer, card + first * FS_SECTOR_SIZE, count * FS_SECTOR_SIZE);
    return FS_OK;
}

static FsStatus card_write_run(void *context, uint32_t first, uint32_t count, const uint8_t *buffer) {
    (void)context;
    memcpy(card + first * FS_SECTOR_SIZE, buffer, count * FS_SECTOR_SIZE);
    return FS_OK;
}

static const FsBlockDevice card_device = {0, CARD_SECTORS,  card_read,     card_write,
                                          0, card_read_run, card_write_run};

#if !defined(FIRMWARE_MIN) && !defined(FIRMWARE_READ_ONLY)
static void rtc_now(FsDateTime *now) {
    memset(now, 0, sizeof *now);
    now->year = 2026;
    now->month = 12;
    now->day = 10;
    now->hour = 8;
}
#endif

#if !defined(FIRMWARE_READ_ONLY)
/* A record of the logger: 32 bytes. */
static const uint8_t record[32] = "t=21.5C h=40% p=1013hPa ok\r\n";

#endif

#if defined(FIRMWARE_READ_ONLY)
/* The image a boot loader looks for: BOOT.BIN, 1,000 bytes in clusters 2
 * and 3, put on the factory card below. */
#define IMAGE_BYTES 1000u

static uint8_t image_byte(uint32_t i) { return (uint8_t)(i * 7 + 3); }

static int boot_loader(void) {
    uint8_t back[600];
    uint8_t more = 0;
    int entries = 0;
    FsEntry entry;
    uint8_t h;

    if (disk_open_device(&card_device) != FS_OK) return 1;
    if (fs_init() != FS_OK) return 3;
    while (fs_list_entries("\\", more, &entry) == FS_OK) {
        entries++;
        more = 1;
    }
    if (entries != 1) return 11;
    if (fs_stat("\\boot.bin", &entry) != FS_OK || entry.size != IMAGE_BYTES) return 17;
    h = fs_open("\\boot.bin");
    if (h == FS_FAIL) return 6;
    if (fs_seek(h, 500, ORIGIN_START) != FS_OK) return 8;
    if (fs_read(h, back, sizeof back) != IMAGE_BYTES - 500) return 9;
    for (uint32_t i = 0; i < IMAGE_BYTES - 500; i++)
        if (back[i] != image_byte(500 + i)) return 9;
    if (fs_close(h) != FS_OK) return 10;
    return 0;
}
#endif

#if !defined(FIRMWARE_READ_ONLY)
static int logger(void) {
    uint8_t back[sizeof record];
    uint8_t h;
    uint8_t more = 0;
    int entries = 0;
    FsEntry entry;

    if (disk_open_device(&card_device) != FS_OK) return 1;
#if !defined(FIRMWARE_MIN)
    {
        FsFormatOptions format;
        memset(&format, 0, sizeof format);
        format.total_sectors = CARD_SECTORS;
        format.label = "LOGGER";
        if (fs_format_volume(&format) != FS_OK) return 2;
    }
#endif
    if (fs_init() != FS_OK) return 3;
#if !defined(FIRMWARE_MIN)
    fs_set_clock(rtc_now);
#endif
    if (fs_mkdir("\\logs") != FS_OK) return 4;
    if (fs_create_file("\\logs\\day1.csv") != FS_OK) return 5;
    h = fs_open("\\logs\\day1.csv");
    if (h == FS_FAIL) return 6;
    for (int i = 0; i < 100; i++)
        if (fs_write(h, record, sizeof record) != sizeof record) return 7;
    if (fs_seek(h, 32 * 50, ORIGIN_START) != FS_OK) return 8;
    if (fs_read(h, back, sizeof back) != sizeof back || memcmp(back, record, sizeof record) != 0) return 9;
    if (fs_close(h) != FS_OK) return 10;
    while (fs_list_entries("\\logs", more, &entry) == FS_OK) {
        entries++;
        more = 1;
    }
    if (entries != 1 || entry.size != 3200) return 11;
#if !defined(FIRMWARE_MIN)
    {
        FsDateTime noon;
        uint32_t capacity = 0, free_space = 0;
        char label[FS_LABEL_SIZE];
        if (fs_rename("\\logs\\day1.csv", "day-1.csv") != FS_OK) return 12;
        if (fs_mkdir("\\archive") != FS_OK) return 13;
        if (fs_move("\\logs\\day-1.csv", "\\archive\\day-1.csv") != FS_OK) return 14;
        if (fs_set_attributes("\\archive\\day-1.csv", ATTR_READ_ONLY) != FS_OK) return 15;
        memset(&noon, 0, sizeof noon);
        noon.year = 2026;
        noon.month = 12;
        noon.day = 10;
        noon.hour = 12;
        if (fs_set_times("\\archive\\day-1.csv", 0, &noon, 0) != FS_OK) return 16;
        if (fs_stat("\\archive\\day-1.csv", &entry) != FS_OK || entry.modified.hour != 12) return 17;
        if (fs_chdir("\\archive", 0) != FS_OK) return 18;
        if (fs_set_label("LOGGER-1") != FS_OK || fs_get_label(label) != FS_OK) return 19;
        if (fs_volume_info('C', &capacity, &free_space) != FS_OK || capacity != CARD_SECTORS) return 20;
        if (fs_chdir(0, 1) != FS_OK) return 21; /* back to the root */
        if (fs_set_attributes("\\archive\\day-1.csv", 0) != FS_OK) return 22;
        if (fs_delete_file("\\archive\\day-1.csv") != FS_OK) return 23;
        if (fs_rmdir("\\archive") != FS_OK) return 24;
    }
#else
    if (fs_delete_file("\\logs\\day1.csv") != FS_OK) return 23;
#endif
    return 0;
}
#endif

#if defined(FIRMWARE_MIN) || defined(FIRMWARE_READ_ONLY)
/* The card as it comes from the factory: a FAT16 volume of one-sector
 * clusters (1 reserved sector, two FATs of 17 sectors, 512 root entries,
 * 4,133 clusters), made here byte by byte since this firmware carries no
 * formatter. */
static void put16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void factory_card(void) {
    uint8_t *boot = card;
    memset(card, 0, 70 * FS_SECTOR_SIZE);
    boot[0] = 0xEB;
    boot[1] = 0x3C;
    boot[2] = 0x90;
    memcpy(boot + 3, "MSWIN4.1", 8);
    put16(boot + 11, FS_SECTOR_SIZE);
    boot[13] = 1;          /* sectors per cluster */
    put16(boot + 14, 1);   /* reserved sectors */
    boot[16] = 2;          /* FATs */
    put16(boot + 17, 512); /* root entries */
    put16(boot + 19, CARD_SECTORS);
    boot[21] = 0xF8;      /* media */
    put16(boot + 22, 17); /* sectors per FAT */
    boot[38] = 0x29;
    memcpy(boot + 43, "NO NAME    FAT16   ", 19);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    for (uint32_t fat = 1; fat <= 18; fat += 17) {
        uint8_t *head = card + fat * FS_SECTOR_SIZE;
        put16(head, 0xFFF8);
        put16(head + 2, 0xFFFF);
#if defined(FIRMWARE_READ_ONLY)
        put16(head + 4, 3);      /* BOOT.BIN: cluster 2, then 3 */
        put16(head + 6, 0xFFFF); /* its end */
#endif
    }
#if defined(FIRMWARE_READ_ONLY)
    {
        /* The root's first entry (sector 35), the data in sectors 67, 68. */
        uint8_t *slot = card + 35 * FS_SECTOR_SIZE;
        memcpy(slot, "BOOT    BIN", 11);
        slot[11] = 0x20; /* archive */
        put16(slot + 26, 2);
        put16(slot + 28, IMAGE_BYTES);
        for (uint32_t i = 0; i < IMAGE_BYTES; i++) card[67 * FS_SECTOR_SIZE + i] = image_byte(i);
    }
#endif
}
#endif

int main(void) {
#if defined(FIRMWARE_MIN) || defined(FIRMWARE_READ_ONLY)
    factory_card();
#endif
#if defined(FIRMWARE_READ_ONLY)
    return boot_loader();
#else
    return logger();
#endif
}
