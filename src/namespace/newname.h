// Names of new entries: which names are accepted, how each is stored, and
// whether the target directory already uses it. Shared by creation,
// renaming and moving inside the namespace layer; not part of the library's
// interface.
#pragma once

#include "fat16_common.h"

// The alias family of a long-form name: the name part the numeric tails
// attach to, and the extension.
struct AliasFamily {
    uint8_t base[11]; // the alias without a further tail (legacy names), or the prefix and extension
    char prefix[8];
    uint32_t prefix_len;
    bool base_has_tail; // the base already ends in "~1", or every alias needs a tail
};

struct NewName {
    const char *text;       // the name as given, UTF-8
    uint32_t length;        // its bytes that are stored: trailing spaces and dots are dropped
    uint8_t long_form;      // 1: long-name entries and an alias; 0: one 8.3 entry
    uint32_t slots;         // directory slots the entry takes
    uint8_t short_name[11]; // the 8.3 entry's name, or the alias newname_check chose
    uint8_t case_flags;     // byte 12 of the 8.3 entry (kept case)
    uint8_t capitals;       // 1: a long name is stored in capitals (renames without kept case)
    uint8_t watched;        // 1: newname_check saw where its directory has room
    AliasFamily family;
};

// Checks a new name for an entry and works out how it is stored: UTF-8, 1
// to 255 UTF-16 units once trailing spaces and dots are dropped, no control
// characters and none of " * / : < > ? \ |, not "." or "..". A name of 8.3
// form is stored in capitals, or with kept case (FS_OPT_KEEP_CASE) with the
// case flags; others as a long name with an alias. `capitals` stores a long
// name in capitals too. `name` must stay valid while `out` is used. FS_FAIL
// with "invalid name" for a name the volume cannot hold.
FsStatus newname_prepare(const char *name, uint8_t capitals, NewName *out);

// Scans the target directory once (the directory a KIND_DIR resolution just
// named) and refuses the name when any live entry already uses it, as a long
// name or as an 8.3 name, without regard to case. For a long-form name it
// also picks the lowest free alias tail. The entry at (`skip_sector`,
// `skip_offset`), about to be erased by a rename or move, neither holds the
// name nor an alias. The cursor and FoundEntry are left as the resolution
// left them. With `skip_is_free` it does not hold the name either, so that
// a move may change the case of an entry's own name.
//
// Without an entry to skip (NEWNAME_NO_SKIP), the directory is about to get
// the new entry as it is: the scan also notes where it has room, which
// newname_create then takes (`watched`) instead of reading the directory
// again.
FsStatus newname_check(NewName *name, uint32_t skip_sector, uint32_t skip_offset, uint8_t skip_is_free);
const uint32_t NEWNAME_NO_SKIP = 0xFFFFFFFFu;

// Creates the entry in the target directory with the alias already chosen:
// attribute, first cluster and size as given, every other field zero; or,
// with `model` (an 8.3 slot), that slot's fields but for the name and its
// case flags (renamed and moved entries keep their attributes and times). A
// new directory (attribute with ATTR_DIRECTORY and no model) gets a zeroed
// cluster with "." and "..".
FsStatus newname_create(const NewName *name, const uint8_t *model, uint8_t attr, uint32_t first_cluster,
                        uint32_t size);
