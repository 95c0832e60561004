// Names of new entries: which names are accepted, how each is stored, and
// whether the target directory already uses it. Shared by creation and
// renaming inside the namespace layer; not part of the library's interface.
#pragma once

#include "fat16_common.h"

struct NewName {
    char text[256];    // the name as it will be stored (a file's trailing '.' dropped)
    uint8_t long_form; // 1: long-name entries and an alias; 0: one 8.3 entry
    uint32_t slots;    // directory slots the entry takes
    uint8_t alias[11]; // the alias of a long-form name, free in the directory
};

// Checks a new name for an entry of attribute `attr` and works out how it is
// stored. FS_FAIL for a name no lookup could find again.
FsStatus newname_prepare(const char *name, uint8_t attr, NewName *out);

// Scans the target directory once (the directory a KIND_DIR resolution just
// named) and refuses the name when any live entry already uses it, as a long
// name or as an 8.3 name, ignoring ASCII case. For a long-form name it also
// picks the lowest free alias tail. The entry at (`skip_sector`,
// `skip_offset`), about to be erased by a rename, does not hold an alias.
// The cursor and FoundEntry are left as the resolution left them.
FsStatus newname_check(NewName *name, uint32_t skip_sector, uint32_t skip_offset);

// Creates the entry in the target directory with an alias already chosen.
FsStatus newname_create(const NewName *name, uint8_t attr, uint32_t first_cluster, uint32_t size);
