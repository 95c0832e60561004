// The open-file table.
#include "fat16_file.h"

extern "C" {
OpenFile open_files[FS_OPEN_SLOTS];
}
