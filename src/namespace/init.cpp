// The library's start: options and clock off, every layer back to its
// starting state in order from the bottom, then drive C mounted.
#include "fat16_dir.h"
#include "fat16_file.h"
#include "fat16_namespace.h"
#include "fat16_volume.h"

extern "C" {

FsStatus fs_init(void) {
    // What write-back kept of open files goes to the device before they
    // are forgotten.
    file_sync_all();
    fs_set_options(0);
#if FS_WITH_TIMES
    fs_set_clock(nullptr);
#endif
    fs_unmount();
    dir_reset();
    file_reset();
    walk_reset();
    return fs_mount(0);
}
}
