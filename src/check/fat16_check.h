/* A read-only consistency check of the mounted volume. */
#ifndef FS_CHECK_H
#define FS_CHECK_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum FsProblemKind {
    FS_PROBLEM_BOOT_SECTOR = 1,   /* sector 0 fails the mount rules */
    FS_PROBLEM_FAT_COPIES_DIFFER, /* `cluster` is the first entry that differs */
    FS_PROBLEM_BAD_CLUSTER,       /* a chain or entry names a cluster outside the data area */
    FS_PROBLEM_CHAIN_LOOP,        /* a chain comes back to one of its own clusters */
    FS_PROBLEM_CROSS_LINK,        /* a cluster belongs to two chains */
    FS_PROBLEM_BAD_CHAIN_END,     /* a chain runs into a free or reserved entry */
    FS_PROBLEM_LOST_CLUSTERS,     /* `count` clusters are used but no entry reaches them */
    FS_PROBLEM_CHAIN_TOO_LONG,    /* a file holds more clusters than its size needs */
    FS_PROBLEM_CHAIN_TOO_SHORT,   /* a file's size needs more clusters than it holds */
    FS_PROBLEM_DOT_ENTRIES,       /* "." or ".." missing or naming the wrong cluster */
    FS_PROBLEM_LONG_NAME,         /* a long-name run out of order, unfinished or with a wrong checksum */
    FS_PROBLEM_DUPLICATE_NAME,    /* two live entries of one directory share a name */
    FS_PROBLEM_TOO_DEEP,          /* directories nested beyond what the check follows */
    FS_PROBLEM_IO                 /* a sector could not be read */
} FsProblemKind;

#define FS_CHECK_MAX_PROBLEMS 32u
#define FS_CHECK_PATH_SIZE 520u

typedef struct FsProblem {
    uint8_t kind;                  /* an FsProblemKind */
    uint32_t cluster;              /* the cluster concerned, 0 when none */
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

/* Checks the mounted volume and fills `report`. Reads only. FS_OK when no
 * problem was found; FS_FAIL when problems were found or no volume is
 * mounted. */
FsStatus fs_check(FsCheckReport *report);

/* A short English text for a problem kind. */
const char *fs_check_problem_text(uint8_t kind);

#ifdef __cplusplus
}
#endif

#endif
