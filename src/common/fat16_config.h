/* Build options of the library, in one place. Each has a default here; a
 * program overrides any of them by defining it on the compiler line or in
 * a header of its own named by FAT16_CONFIG_FILE (for instance
 * -DFAT16_CONFIG_FILE="my_fat16_config.h"), which is included first. The
 * library and every program that includes its headers must be built with
 * the same options. */
#ifndef FS_CONFIG_H
#define FS_CONFIG_H

#ifdef FAT16_CONFIG_FILE
#include FAT16_CONFIG_FILE
#endif

/* Sectors the device layer keeps of FAT and directory sectors (the sector
 * window): a sector read again while it is held costs no transfer. 2 keeps
 * a FAT sector and a directory sector side by side, which is what most
 * operations touch; 1 works with more reads; 0 keeps nothing between
 * accesses (one sector of RAM is still used as the directory reader's
 * buffer). Costs 512 bytes of RAM a sector (at least one) and 12 bytes of
 * bookkeeping a sector. */
#ifndef FS_WINDOW_SECTORS
#define FS_WINDOW_SECTORS 2
#endif

/* Sectors of zeros the device layer can hand the device in one call, for
 * the slack of a file's last cluster and a directory's new cluster (longer
 * runs go out in pieces of this size). The zeros are constant data: on a
 * host 32 KiB cost nothing; a microcontroller keeps one sector in flash. */
#ifndef FS_ZERO_SECTORS
#if defined(__linux__) || defined(_WIN32) || defined(__APPLE__) || defined(__unix__)
#define FS_ZERO_SECTORS 64
#else
#define FS_ZERO_SECTORS 1
#endif
#endif

#if FS_WINDOW_SECTORS < 0 || FS_WINDOW_SECTORS > 64
#error "FS_WINDOW_SECTORS must be 0 to 64"
#endif
#if FS_ZERO_SECTORS < 1 || FS_ZERO_SECTORS > 128
#error "FS_ZERO_SECTORS must be 1 to 128"
#endif

#endif
