/* The mounted volume: boot sector, format, mount, volume report, and the
 * file allocation table with its cluster chains. */
#ifndef FS_VOLUME_H
#define FS_VOLUME_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

typedef struct VolumeGeometryRecord {
    uint8_t drive_letter; /* 'C' + drive index; 0xFF after fs_init until a mount */
    uint8_t fs_type;      /* 6 once a mount has succeeded */
    uint32_t partition_start;
    uint32_t total_sectors;
    uint32_t first_data_sector; /* first sector of cluster 2 */
    uint32_t fat1_start;
    uint32_t fat2_start;
    uint32_t root_dir_start;
    uint32_t root_dir_sectors;
    uint32_t cluster_count; /* valid clusters are 2 .. cluster_count + 1 */
    uint32_t data_sectors;
    uint32_t bytes_per_sector;
    uint8_t sectors_per_cluster;
    uint32_t reserved_sectors;
    uint8_t fat_count;
    uint32_t root_entry_count;
    uint32_t total_sectors_16;
    uint8_t media;
    uint32_t sectors_per_fat;
} VolumeGeometryRecord;

/* The mounted volume. Every layer above takes its sector numbers from here. */
extern VolumeGeometryRecord VolumeGeometry;

/* File-system type byte of FAT16, the only type this library formats. */
#define FS_TYPE_FAT16 6

/* Largest cluster count a FAT16 volume may have. */
#define FS_MAX_CLUSTERS 65524u
/* Fewer clusters than this make other tools take a volume for FAT12. */
#define FS_MIN_CLUSTERS 4085u

/* Forgets the mounted volume: the next fs_mount reads the boot sector
 * again, and until a mount succeeds every operation that needs a volume
 * fails with "no volume mounted". One step of fs_init. */
void fs_unmount(void);

/* Mounts the volume of the open image under the letter 'C' + drive_index.
 * Mounting the letter already mounted reads nothing. FS_OK when mounted;
 * FS_FAIL with "host I/O error" (sector 0 unreadable) or "damaged volume"
 * (sector 0 is a partition table, or a boot sector the library cannot use),
 * and then no volume is mounted. A volume mounted from a partition is
 * mounted from that partition again. */
FsStatus fs_mount(uint8_t drive_index);

/* Derives the layout fields of VolumeGeometry from its boot-sector fields. */
void fs_compute_geometry(void);

#if FS_WITH_FORMAT /* formatting (left out with FS_WITH_FORMAT 0) */
/* Formats the image with the formatter's fixed layout (64-sector clusters,
 * two FATs of 256 sectors, 1,024 root entries) for `total_sectors`, unless
 * sector 0 already carries the 55 AA signature or cannot be read, or
 * `fs_type` is not 6: then it writes nothing and returns FS_OK. Writes only
 * sectors below `total_sectors`. FS_FAIL, with nothing written, when the
 * layout does not fit `total_sectors` (fewer than 641 sectors, or more
 * clusters than its FAT can hold). Does not mount. */
FsStatus fs_format_if_blank(uint8_t drive_index, uint8_t fs_type, uint32_t total_sectors);

/* The two steps of formatting: the boot sector for `total_sectors` at
 * sector 0 (then fs_init_fats), and the cleared system area with the heads
 * of both FATs. They write whatever the image holds; fs_format_if_blank
 * checks the size first. */
void fs_write_boot_sector(uint32_t total_sectors, uint8_t drive_index);
void fs_init_fats(uint8_t drive_index);
#endif

/* Capacity and free space of the volume of drive `letter` ('C' to 'F',
 * either case; all name the one image), in sectors. Mounts that letter.
 * FS_OK with both outputs set; FS_FAIL with both 0 when no volume is
 * mounted or a FAT sector cannot be read, or with neither written for
 * another letter or a null output. */
FsStatus fs_volume_info(char letter, uint32_t *capacity, uint32_t *free_space);

/* 1 while a mount has succeeded and no later mount has failed. Operations
 * that need the volume refuse while this is 0. */
uint8_t fs_is_mounted(void);

/* 1 when `sector` is a FAT16 boot sector the library can mount: the 55 AA
 * signature and a usable BPB (512-byte sectors, a power-of-two cluster
 * size, a FAT for every cluster, a data area inside the total). */
uint8_t fs_boot_sector_valid(const uint8_t *sector);

/* What a sector of the image holds, for messages that explain why a volume
 * does not mount (fs_probe). */
typedef enum FsProbe {
    FS_PROBE_UNREADABLE = 0,  /* the sector cannot be read (past the image's end, or an I/O error) */
    FS_PROBE_BLANK,           /* 512 zero bytes */
    FS_PROBE_FAT16,           /* a boot sector this library mounts */
    FS_PROBE_PARTITION_TABLE, /* an MBR partition table (or a protective MBR) */
    FS_PROBE_SECTOR_SIZE,     /* a FAT boot sector for sectors of another size (`detail`: the size) */
    FS_PROBE_UNSUPPORTED_FAT, /* a FAT boot sector this library cannot use (FAT12, FAT32, damaged) */
    FS_PROBE_OTHER            /* other data */
} FsProbe;

/* Reads `sector` of the image and says what it holds; with
 * FS_PROBE_SECTOR_SIZE, `detail` (when not null) receives the sector size
 * the boot sector gives. Reads only. */
FsProbe fs_probe(uint32_t sector, uint32_t *detail);

/* The file system a volume that starts at `sector` holds, by its own marks:
 * "FAT12", "FAT16", "FAT32", "exFAT", "NTFS", "ext2", "ext3", "ext4" or
 * "ISO 9660"; null when none of them is recognised (blank, a partition
 * table, a program, other data) or `sector` cannot be read. Reads only,
 * the sectors it looks at (up to 33 KiB from `sector`). */
const char *fs_probe_file_system(uint32_t sector);

#if FS_WITH_PARTITIONS /* partition tables (left out with FS_WITH_PARTITIONS 0) */
/* One partition of the image's partition table. */
typedef struct FsPartition {
    uint8_t status; /* 0x80: marked active */
    uint8_t type;   /* the MBR type byte (0x04, 0x06 and 0x0E are FAT16); 0xEE for a GPT partition */
    uint8_t gpt;    /* 1: an entry of the GPT behind a protective MBR */
    uint32_t first_sector;
    uint32_t sector_count;
} FsPartition;

/* Reads partition `number` of the partition table in sector 0: a primary
 * MBR partition (1 to 4), or with a protective MBR (type 0xEE) entry
 * `number` of the GPT behind it. FS_OK with `out` filled; FS_FAIL with
 * "invalid argument" for a number outside the table, "host I/O error" when
 * a table sector cannot be read, "damaged volume" when sector 0 holds no
 * partition table (no signature, or a volume's boot sector) or the GPT is
 * unusable, "not found" when the entry is empty. */
FsStatus fs_read_partition(uint8_t number, FsPartition *out);
#endif

/* Mounts the FAT16 volume whose boot sector is `first_sector` (not 0) of the
 * image under the letter 'C' + drive_index; with `room` not 0 the volume
 * must fit that many sectors (its partition). Later mounts of other letters
 * use the same place until fs_init. FS_FAIL as fs_mount. */
FsStatus fs_mount_at(uint8_t drive_index, uint32_t first_sector, uint32_t room);

#if FS_WITH_PARTITIONS
/* Mounts partition `partition` (as fs_read_partition numbers them) of an
 * image whose sector 0 holds a partition table, whatever its type byte,
 * when it holds a FAT16 volume that fits it; under the letter 'C' +
 * drive_index. Later mounts of other letters use the same partition until
 * fs_init. FS_FAIL as fs_mount, or with "invalid argument" for a partition
 * the table does not have. */
FsStatus fs_mount_partition(uint8_t drive_index, uint8_t partition);
#endif

#if FS_WITH_FORMAT
/* Formats a volume of `total_sectors` starting at `first_sector` with the
 * formatter's layout, whatever the image holds there; writes only sectors
 * first_sector .. first_sector + total_sectors - 1. FS_FAIL with "size not
 * usable for a FAT16 volume" and nothing written when the volume would have
 * fewer than 4,085 or more than 65,524 clusters or reach past sector 2^22;
 * with "host I/O error" when a write failed. Does not mount. */
FsStatus fs_format_at(uint32_t first_sector, uint32_t total_sectors);

/* The sizes fs_format_at accepts, in sectors: `*min_sectors` (4,085
 * clusters) to `*max_sectors` (65,524 clusters). */
void fs_format_at_limits(uint32_t *min_sectors, uint32_t *max_sectors);

/* What fs_format_volume makes. Fields left 0 take their default. */
typedef struct FsFormatOptions {
    uint32_t first_sector;        /* the volume's first sector on the device (a partition's start) */
    uint32_t total_sectors;       /* sectors of the volume */
    uint32_t sectors_per_cluster; /* 1, 2, 4 ... 128; 0: from the size, as mkfs.fat -F 16 chooses */
    uint32_t root_entries;        /* 0: 512; rounded up to whole sectors (16 entries each) */
    uint32_t fat_count;           /* 1 or 2; 0: 2 */
    uint32_t reserved_sectors;    /* 0: 1 */
    uint8_t media;                /* 0xF0 or 0xF8 to 0xFF; 0: 0xF8 */
    const char *label;            /* up to 11 characters; null or "": none ("NO NAME") */
    uint8_t volume_id_given;      /* 1: `volume_id` as given; 0: from the clock (0 without one) */
    uint32_t volume_id;
    const char *oem_name; /* up to 8 characters; null: "MSWIN4.1" */
} FsFormatOptions;

/* Formats a FAT16 volume: zeroes the reserved sectors, every FAT copy and
 * the root, writes the FAT heads, a volume-label entry when a label is
 * given, and the boot sector (sectors per track and heads, hidden sectors =
 * first_sector, drive 0x80, the volume id, the label or "NO NAME", "FAT16",
 * a boot stub that says the volume cannot start a computer). The FAT is the
 * smallest that covers the clusters. Writes only sectors first_sector ..
 * first_sector + total_sectors - 1, and nothing when refused. Does not
 * mount. FS_FAIL with "size not usable for a FAT16 volume" when the cluster
 * count would fall outside 4,085..65,524 or the volume would reach past
 * sector 2^22; "invalid argument" for a field outside its range; "invalid
 * name" for a label with characters a label cannot hold; "host I/O error". */
FsStatus fs_format_volume(const FsFormatOptions *options);
#endif

/* 1 for a byte no volume label holds: a control character or one of
 * " * + , . / : ; < = > ? [ \ ] |. */
uint8_t fs_label_char_refused(uint8_t c);

#if FS_WITH_FORMAT || FS_WITH_LABEL
/* The 11 bytes a volume label is stored as: capitals, space padded. FS_FAIL
 * with "invalid name" for more than 11 characters, a leading space, or a
 * character a label cannot hold (control characters, non-ASCII, and
 * " * + , . / : ; < = > ? [ \ ] |). */
FsStatus fs_label_form(const char *label, uint8_t *label11);
#endif

/* Allocation remembers below which cluster none is free; a mount starts
 * afresh. Programs that change the FAT past the library call this too. */
void fat_forget_free_hint(void);

/* 1 when `cluster` is a data cluster of the mounted volume. */
uint8_t fat_cluster_valid(uint32_t cluster);

/* 1 when a FAT entry value ends a chain: 0xFFF8 to 0xFFFF. Everything else
 * outside the data clusters (0, 1, 0xFFF7 the bad-cluster mark, values past
 * the last cluster, a failed read) is damage, never an end. */
uint8_t fat_is_end_mark(uint32_t value);

/* First sector of data cluster `cluster`; for any other number a sector no
 * device can address, so that nothing reads or writes the system area
 * through a bad cluster number. */
uint32_t cluster_to_sector(uint32_t cluster);

/* The FAT entry of `cluster` from the first FAT. The end mark 0xFFFF for a
 * cluster outside the FAT (nothing is read); 0xFFFFFFFF, which is no entry
 * value, when the FAT sector cannot be read. */
uint32_t fat_read_entry(uint32_t cluster);

#if !FS_READ_ONLY /* allocation (left out with FS_READ_ONLY 1) */
/* Takes the lowest free data cluster, zero-fills it (one run), then marks
 * it as a one-cluster chain (0xFFFF) in every FAT copy. FS_OK with the
 * cluster in `out_cluster` and `buffer` holding 512 zero bytes; FS_FAIL
 * when no cluster is free or a FAT sector cannot be read. */
FsStatus fat_alloc_cluster(uint32_t *out_cluster, uint8_t *buffer);

/* Takes the lowest free data cluster n, zero-fills it, gives it the entry
 * `cluster` had and then links `cluster` to n: at the end of a chain, n
 * becomes its new last cluster. Callers pass a chain's last cluster, after
 * reading its end mark. FS_OK as fat_alloc_cluster; FS_FAIL when no cluster
 * is free, `cluster` is no data cluster or its entry cannot be read. */
FsStatus fat_append_cluster(uint32_t cluster, uint32_t *out_cluster, uint8_t *buffer);

/* Claims for a file's data. A claim takes the lowest free data cluster and
 * marks it as the end of a chain in the sector window only, writing
 * nothing: no sector of the cluster is touched (the file writes its data
 * and zeros there) and the FAT change reaches the device with fat_commit,
 * or earlier when the window needs the sector's place, which is harmless:
 * claimed clusters are reachable from no chain until fat_commit links them.
 * With `after` a cluster claimed and not yet committed, `after` is linked
 * to the new one, so the claims of one file form a chain. FS_OK with the
 * cluster in `out_cluster`; FS_FAIL when no cluster is free or a FAT sector
 * cannot be read. */
FsStatus fat_claim_cluster(uint32_t after, uint32_t *out_cluster);
/* Makes `cluster`, a claimed one, the end of its chain (in the window). */
FsStatus fat_end_chain_at(uint32_t cluster);
/* Gives back the claimed chain from `first` on (marked free in the window). */
void fat_release_claims(uint32_t first);
/* Writes every FAT change the window keeps (every copy), then links `from`,
 * the last cluster of an existing chain, to `to`, the first claimed
 * cluster of its extension, writing that sector last, so that a cut leaves
 * claims unreachable (lost clusters) or linked whole. With `from` 0 (the
 * claims start a chain of their own, named by a directory entry written
 * afterwards) it only writes. FS_FAIL when a write failed: then the link is
 * not made, in the window either. */
FsStatus fat_commit(uint32_t from, uint32_t to);

/* Frees the chain that starts at `cluster` in every FAT copy, up to its end
 * mark, a link to no data cluster, a loop or an unreadable FAT sector.
 * FS_FAIL when `cluster` is no data cluster, else FS_OK. */
FsStatus fat_free_chain(uint32_t cluster);
#endif

/* The lowest cluster whose entry holds `cluster` (its predecessor in its
 * chain); 255 when none does or a FAT sector cannot be read (255 is a valid
 * cluster too: callers ask only for clusters that have a predecessor). */
uint32_t fat_find_prev_cluster(uint32_t cluster);

/* Number of distinct clusters of the chain that starts at `first`: it ends
 * at a value outside the data clusters or where the chain comes back to a
 * cluster it already passed. 0 when `first` is no data cluster. A FAT
 * sector that cannot be read ends the chain too: the count is then at most
 * the distinct clusters in front of it. Keeps no memory of the clusters
 * passed: a chain that ends is read once, one that loops about three times. */
uint32_t fat_chain_length(uint32_t first);
/* The same measure with the links read by `next_of` (FAT_READ_FAILED, i.e.
 * 0xFFFFFFFF, for a link that cannot be read), for readers of the FAT with
 * a cache of their own (the check). */
uint32_t fat_chain_distinct(uint32_t first, uint32_t (*next_of)(uint32_t cluster));

/* Loop guard for walking a cluster chain one link at a time (Brent's cycle
 * detection): a chain that loops is recognised when the loop closes, and no
 * walk ever takes more than cluster_count + 2 steps. */
typedef struct FatChainGuard {
    uint32_t saved;  /* the cluster the walk compares against */
    uint32_t power;  /* steps until `saved` moves on */
    uint32_t lambda; /* steps since `saved` was taken */
    uint32_t steps;  /* links followed so far */
} FatChainGuard;

/* Starts a guard for a walk from `first_cluster`. */
void fat_guard_start(FatChainGuard *guard, uint32_t first_cluster);
/* Call for every link followed to `next`; FS_FAIL when the chain loops or
 * has run longer than the volume has clusters. */
FsStatus fat_guard_step(FatChainGuard *guard, uint32_t next);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
