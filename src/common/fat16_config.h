/* Build options of the library, in one place. Each has a default here; a
 * program overrides any of them by defining it on the compiler line, in a
 * header of its own named by FAT16_CONFIG_FILE (for instance
 * -DFAT16_CONFIG_FILE="my_fat16_config.h"), which is included first, or with
 * the CMake cache option of the same name (FAT16_WITH_CHECK=OFF, ...). The
 * library and every program that includes its headers must be built with
 * the same options. The defaults are everything, as the driver, the tool
 * and the tests use it.
 *
 * A feature left out takes its calls with it: they are not declared, so a
 * program that calls one does not compile (the header comment of each call
 * names its option). The costs are bytes of the library for a Cortex-M4
 * (GCC 12 -Os -mthumb): "in all" is what the whole library's code loses
 * without the feature, which is what a firmware that calls it pays; "in a
 * firmware that does not call it" is measured on the fewest calls of
 * examples/firmware.c linked with --gc-sections (scripts/embedded_size.sh). */
#ifndef FS_CONFIG_H
#define FS_CONFIG_H

#ifdef FAT16_CONFIG_FILE
#include FAT16_CONFIG_FILE
#endif

/* Slots of the built-in open-file table (1 to 253). Each slot is RAM: 588
 * bytes with its own sector buffer, 76 with FS_TINY. */
#ifndef FS_OPEN_FILES
#define FS_OPEN_FILES 2
#endif

/* 1: the open files keep no sector buffer: the sector a transfer only
 * partly covers is held in the sector window, at its place on the device,
 * and read again when the window gave its place to another sector (more
 * reads with a small window). A sector gets its cluster when first written
 * to, so on a full volume a write takes no byte it cannot place. RAM: 512
 * bytes less per slot. */
#ifndef FS_TINY
#define FS_TINY 0
#endif

/* Sectors the device layer keeps of FAT and directory sectors (the sector
 * window): a sector read again while it is held costs no transfer. 2 keeps
 * a FAT sector and a directory sector side by side, which is what most
 * operations touch; 1 works with more reads (a file appended to a call at
 * a time reads its FAT and directory sectors again each call); 0 keeps
 * nothing between accesses (one sector of RAM is still used as the
 * directory reader's buffer). 512 bytes of RAM a sector (at least one), 9
 * of bookkeeping. */
#ifndef FS_WINDOW_SECTORS
#define FS_WINDOW_SECTORS 2
#endif

/* Sectors of constant zeros the device layer hands the device in one call,
 * for the unused sectors of a file's last cluster and a directory's new
 * cluster (longer runs go out in pieces of this size). On a host 32 KiB of
 * flash cost nothing; 0 (the default on a microcontroller) keeps none and
 * clears a place of the window for them instead, a call a sector: 512
 * bytes less flash, and the window's sector is read again when needed. */
#ifndef FS_ZERO_SECTORS
#if defined(__linux__) || defined(_WIN32) || defined(__APPLE__) || defined(__unix__)
#define FS_ZERO_SECTORS 64
#else
#define FS_ZERO_SECTORS 0
#endif
#endif

/* 1: the library only reads, for boot loaders and readers of cards:
 * every call that writes is left out (creating, deleting, renaming and
 * moving entries, attributes, times, labels, fs_write, fs_truncate, the
 * FAT's allocation, and the formatter, which FS_WITH_FORMAT must then
 * leave out too), and every file opens for reading only. Flash: a boot
 * loader's calls (mount, list, stat, open, seek, read, close) link 8,910
 * bytes in the smallest configuration, where the fewest writing calls
 * link 17,534. */
#ifndef FS_READ_ONLY
#define FS_READ_ONLY 0
#endif

/* 1: fs_format_volume, fs_format_at, fs_format_at_limits,
 * fs_format_if_blank, fs_write_boot_sector and fs_init_fats: making
 * volumes. 0: volumes come formatted. Flash: 2,212 bytes in all (about
 * 1,650 for fs_format_volume), 18 in a firmware that formats nothing. */
#ifndef FS_WITH_FORMAT
#if FS_READ_ONLY
#define FS_WITH_FORMAT 0
#else
#define FS_WITH_FORMAT 1
#endif
#endif

/* 1: fs_read_partition and fs_mount_partition, volumes in a partition of an
 * MBR or GPT table. 0: volumes at sector 0 or where fs_mount_at is told.
 * Flash: 553 bytes in all, 28 in a firmware that calls neither. */
#ifndef FS_WITH_PARTITIONS
#define FS_WITH_PARTITIONS 1
#endif

/* 1: names compare without regard to case for every letter of the Basic
 * Multilingual Plane with a simple case mapping (a table of runs). 0: names
 * beyond ASCII are stored and found all the same, case-blind only for
 * ASCII and the letters of code page 437 (Latin-1's and sigma). Flash:
 * 1,186 bytes in every firmware (every lookup compares names). */
#ifndef FS_WITH_UNICODE
#define FS_WITH_UNICODE 1
#endif

/* 1: fs_get_label, fs_set_label, fs_get_volume_id. Flash: 820 bytes in
 * all, nothing in a firmware that calls none of them. */
#ifndef FS_WITH_LABEL
#define FS_WITH_LABEL 1
#endif

/* 1: fs_set_clock, fs_set_times and the times of FsEntry; new entries and
 * the first write of an open file are stamped from the clock. 0: every
 * time field written is zero, as without a clock. Flash: 610 bytes and
 * RAM: 4 in every firmware (stamping is reached from creating and writing),
 * 392 more in all. */
#ifndef FS_WITH_TIMES
#define FS_WITH_TIMES 1
#endif

/* 1: fs_walk_tree and fs_find_file, the depth-first walk of the volume.
 * Flash: 1,600 bytes and RAM: 2,089 (its stack of levels, its path and the
 * directories it entered) in a firmware that walks; 18 and 5 in one that
 * does not. */
#ifndef FS_WITH_WALK
#define FS_WITH_WALK 1
#endif

/* 1: fs_check, the read-only consistency check. Flash: 5,767 bytes and
 * RAM: 21 (its work area is the caller's) in a firmware that checks;
 * nothing in one that does not. */
#ifndef FS_WITH_CHECK
#define FS_WITH_CHECK 1
#endif

#if FS_READ_ONLY && FS_WITH_FORMAT
#error "FS_READ_ONLY leaves no formatter: set FS_WITH_FORMAT 0"
#endif
#if FS_OPEN_FILES < 1 || FS_OPEN_FILES > 253
#error "FS_OPEN_FILES must be 1 to 253"
#endif
#if FS_WINDOW_SECTORS < 0 || FS_WINDOW_SECTORS > 64
#error "FS_WINDOW_SECTORS must be 0 to 64"
#endif
#if FS_ZERO_SECTORS < 0 || FS_ZERO_SECTORS > 128
#error "FS_ZERO_SECTORS must be 0 to 128"
#endif

#endif
