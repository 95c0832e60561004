/* A read-only consistency check of the mounted volume. */
#ifndef FS_CHECK_H
#define FS_CHECK_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* The check is left out of builds with FS_WITH_CHECK 0 (fat16_config.h). */
#if FS_WITH_CHECK

typedef enum FsProblemKind {
    FS_PROBLEM_BOOT_SECTOR = 1,   /* the boot sector fails the mount rules, or its two totals disagree */
    FS_PROBLEM_FAT_COPIES_DIFFER, /* `cluster` is the first entry that differs */
    FS_PROBLEM_BAD_CLUSTER,       /* a chain or entry names a cluster outside the data area */
    FS_PROBLEM_CHAIN_LOOP,        /* a chain comes back to one of its own clusters */
    FS_PROBLEM_CROSS_LINK,        /* a cluster belongs to two chains */
    FS_PROBLEM_BAD_CHAIN_END,     /* a chain runs into a free, reserved or bad-cluster entry */
    FS_PROBLEM_LOST_CLUSTERS,     /* `count` clusters are used but no entry reaches them */
    FS_PROBLEM_CHAIN_TOO_LONG,    /* a file holds more clusters than its size needs */
    FS_PROBLEM_CHAIN_TOO_SHORT,   /* a file's size needs more clusters than it holds */
    FS_PROBLEM_DOT_ENTRIES,       /* "." or ".." missing, naming the wrong cluster, out of place, or
                                     with bit 0x20 of the case byte set */
    FS_PROBLEM_LONG_NAME,         /* a long-name run out of order, unfinished, with a wrong checksum,
                                     or a slot whose reserved fields are not 0 */
    FS_PROBLEM_DUPLICATE_NAME,    /* two live entries of one directory share a name */
    FS_PROBLEM_TOO_DEEP,          /* directories nested beyond what the check follows */
    FS_PROBLEM_IO,                /* a sector could not be read (`cluster`: the sector) */
    FS_PROBLEM_SHORT_IMAGE,       /* the volume's last sector cannot be read (`cluster`: that sector) */
    FS_PROBLEM_FAT_HEAD,          /* a FAT copy's entry 0 is not the media byte with 0xFF above it
                                     (`cluster`: the copy's first sector) */
    FS_PROBLEM_BAD_NAME,          /* an 8.3 name holds a byte FAT forbids, starts with a space, or
                                     has bit 0x20 of its case byte (12) set */
    FS_PROBLEM_DIR_ENTRY,         /* a directory entry with a size, or with first cluster 0 */
    FS_PROBLEM_STRAY_LABEL,       /* a volume label outside the root directory */
    FS_PROBLEM_BAD_LABEL,         /* the boot sector's or the root directory's label holds a byte a
                                     label cannot hold, or starts with a space */
    FS_PROBLEM_LABEL_MISMATCH     /* the boot sector's label is not the root directory's ("NO NAME"
                                     when the root has none) */
} FsProblemKind;

#define FS_CHECK_MAX_PROBLEMS 32u
#define FS_CHECK_PATH_SIZE 520u

typedef struct FsProblem {
    uint8_t kind;                  /* an FsProblemKind */
    uint32_t cluster;              /* the cluster concerned, 0 when none; for the kinds about a
                                      sector (FS_PROBLEM_IO, FS_PROBLEM_SHORT_IMAGE,
                                      FS_PROBLEM_FAT_HEAD) that sector */
    uint32_t count;                /* how many (lost clusters, differing FAT entries), else 1 */
    char path[FS_CHECK_PATH_SIZE]; /* the entry or directory concerned, "" when none */
} FsProblem;

typedef struct FsCheckReport {
    uint32_t directories; /* below the root */
    uint32_t files;
    uint32_t used_clusters; /* reached from an entry */
    uint32_t free_clusters;
    uint32_t lost_clusters;
    uint32_t problem_count; /* all found; the first FS_CHECK_MAX_PROBLEMS are kept */
    FsProblem problems[FS_CHECK_MAX_PROBLEMS];
} FsCheckReport;

/* Bytes of work area fs_check needs for the mounted volume (0 when none is
 * mounted): a fixed part of about 16 KB and two bits per cluster, about
 * 32 KB for the largest FAT16 volume. */
uint32_t fs_check_work_size(void);

/* Checks the mounted volume and fills `report`, using `work` (`work_size`
 * bytes, at least fs_check_work_size(); any alignment) as its only scratch
 * memory. Reads only. FS_OK when no problem was found; FS_FAIL when
 * problems were found ("damaged volume"), no volume is mounted ("no volume
 * mounted", with a boot-sector problem), or `report` or the work area is
 * missing or too small ("invalid argument", no problem listed). */
FsStatus fs_check(FsCheckReport *report, void *work, uint32_t work_size);

/* A short English text for a problem kind. */
const char *fs_check_problem_text(uint8_t kind);

#endif /* FS_WITH_CHECK */

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
