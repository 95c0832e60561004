/* The on-disk layout of FAT16: offsets and values of the boot sector, the
 * partition table, FAT entries, directory slots and long-name slots. Shared
 * by the layers of the library (and its white-box tests); not installed, so
 * that programs using the library see none of these names. */
#ifndef FS_LAYOUT_H
#define FS_LAYOUT_H

#include "fat16_common.h"

#define SECTOR_SIZE FS_SECTOR_SIZE

/* Boot sector: offsets within the volume's first sector. */
#define BS_JUMP 0
#define BS_OEM_NAME 3
#define BPB_BYTES_PER_SECTOR 11
#define BPB_SECTORS_PER_CLUSTER 13
#define BPB_RESERVED_SECTORS 14
#define BPB_FAT_COUNT 16
#define BPB_ROOT_ENTRIES 17
#define BPB_TOTAL_SECTORS_16 19
#define BPB_MEDIA 21
#define BPB_SECTORS_PER_FAT 22
#define BPB_SECTORS_PER_TRACK 24
#define BPB_HEADS 26
#define BPB_HIDDEN_SECTORS 28
#define BPB_TOTAL_SECTORS_32 32
#define BS_DRIVE_NUMBER 36
#define BS_RESERVED 37
#define BS_EXT_SIGNATURE 38
#define BS_SERIAL 39
#define BS_LABEL 43
#define BS_FS_TYPE_NAME 54
#define BS_BOOT_CODE 62
#define BS_SIGNATURE 510 /* 0x55 0xAA */
/* Value of BS_EXT_SIGNATURE when the volume id, label and type name follow. */
#define BS_EXTENDED 0x29u
/* The label field of a volume without a label. */
#define BS_NO_LABEL "NO NAME    "

/* MBR partition table in sector 0: four 16-byte entries. */
#define MBR_ENTRIES 446
#define MBR_ENTRY_SIZE 16
#define MBR_STATUS 0
#define MBR_TYPE 4
#define MBR_FIRST_SECTOR 8
#define MBR_SECTOR_COUNT 12

/* FAT entry values. 0xFFF8 to 0xFFFF end a chain; 0xFFF7 marks a bad
 * cluster; every other value outside the data clusters is damage. */
#define FAT_FREE 0x0000u
#define FAT_BAD_CLUSTER 0xFFF7u
#define FAT_END_MIN 0xFFF8u
#define FAT_END_OF_CHAIN 0xFFFFu
/* What fat_read_entry answers when the FAT sector could not be read: no
 * 16-bit value, so that no caller can take it for an end mark or a link. */
#define FAT_READ_FAILED 0xFFFFFFFFu

/* A 32-byte directory slot. */
#define DIR_SLOT_SIZE 32u
#define DIR_SLOTS_PER_SECTOR 16u
#define DIR_NAME 0 /* 8 bytes, space padded */
#define DIR_EXT 8  /* 3 bytes, space padded */
#define DIR_ATTR 11
#define DIR_CASE 12 /* case flags other systems read: */
#define DIR_CASE_LOWER_BASE 0x08u
#define DIR_CASE_LOWER_EXT 0x10u
#define DIR_CREATE_HUNDREDTHS 13
#define DIR_CREATE_TIME 14
#define DIR_CREATE_DATE 16
#define DIR_ACCESS_DATE 18
#define DIR_CLUSTER_HIGH 20 /* 0 on FAT16 */
#define DIR_MODIFY_TIME 22
#define DIR_MODIFY_DATE 24
#define DIR_FIRST_CLUSTER 26 /* 16 bits */
#define DIR_SIZE 28          /* 32 bits */
#define DIR_ESCAPED_E5 0x05  /* a first name byte 0x05 stands for 0xE5 */
/* Bytes of an 8.3 name part as UTF-8 text with its NUL (code page 437
 * takes up to 3 bytes a character). */
#define DIR_NAME_TEXT_SIZE 25u
#define DIR_EXT_TEXT_SIZE 10u

/* A long-name slot: 13 UTF-16 characters in three runs. */
#define LFN_SEQUENCE 0
#define LFN_RESERVED 12 /* 0 */
#define LFN_CHECKSUM 13
#define LFN_FIRST_CLUSTER 26 /* 0 */
#define LFN_LAST_FLAG 0x40u
#define LFN_SEQUENCE_MASK 0x3Fu
#define LFN_CHARS 13u       /* characters per long-name entry */
#define LFN_MAX_ENTRIES 20u /* a 255-character name */
#define LFN_MAX_NAME 255u

/* Work copies of a path: 259 UTF-16 units take at most 777 bytes of UTF-8. */
#define FS_PATH_BYTES 780u

/* For functions with a sector buffer that deep call chains pass through:
 * kept out of their callers' frames, so that the buffer is on the stack
 * only while the function runs (small systems have little stack). */
#if defined(__GNUC__)
#define FS_OWN_FRAME __attribute__((noinline))
#else
#define FS_OWN_FRAME
#endif

/* Byte offset of character k (0..12) within a long-name slot. */
static inline uint32_t lfn_char_offset(uint32_t k) {
    if (k < 5) return 1 + 2 * k;
    if (k < 11) return 14 + 2 * (k - 5);
    return 28 + 2 * (k - 11);
}

#endif
