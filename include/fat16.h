/* fat16: a FAT16 volume kept in one host image file.
 *
 * The one header of the library. It compiles as C11 and as C++17; every
 * function and global record has C linkage. Start-up order:
 * disk_open_image(), fs_format_if_blank(), fs_init(); every other call
 * comes after fs_init(). */
#ifndef FS_FAT16_H
#define FS_FAT16_H

#include "fat16_common.h"
#include "fat16_disk.h"
#include "fat16_volume.h"
#include "fat16_dir.h"
#include "fat16_namespace.h"
#include "fat16_file.h"
#include "fat16_check.h"

#endif
