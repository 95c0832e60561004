// A memory area as a device: tests, fuzzers and RAM disks. The area is the
// caller's and is never extended.
#include <string.h>

#include "fat16_disk.h"
#include "fat16_layout.h"

namespace {

FsStatus memory_read(void *context, uint32_t sector, uint8_t *buffer) {
    const FsMemoryDevice *area = (const FsMemoryDevice *)context;
    uint64_t at = (uint64_t)sector * SECTOR_SIZE;
    if (at >= area->size) return FS_FAIL;
    uint64_t avail = area->size - at;
    if (avail < SECTOR_SIZE) {
        memcpy(buffer, area->data + at, (size_t)avail); // a short read: the bytes there are
        return FS_FAIL;
    }
    memcpy(buffer, area->data + at, SECTOR_SIZE);
    return FS_OK;
}

FsStatus memory_write(void *context, uint32_t sector, const uint8_t *buffer) {
    const FsMemoryDevice *area = (const FsMemoryDevice *)context;
    uint64_t at = (uint64_t)sector * SECTOR_SIZE;
    if (at + SECTOR_SIZE > area->size) return FS_FAIL;
    memcpy(area->data + at, buffer, SECTOR_SIZE);
    return FS_OK;
}

// Runs: the sectors that lie wholly inside the area, in one copy.
FsStatus memory_read_run(void *context, uint32_t first, uint32_t count, uint8_t *buffer) {
    const FsMemoryDevice *area = (const FsMemoryDevice *)context;
    uint64_t at = (uint64_t)first * SECTOR_SIZE;
    uint64_t bytes = (uint64_t)count * SECTOR_SIZE;
    if (at >= area->size) return FS_FAIL;
    if (area->size - at < bytes) {
        memcpy(buffer, area->data + at, (size_t)(area->size - at)); // a short read
        return FS_FAIL;
    }
    memcpy(buffer, area->data + at, (size_t)bytes);
    return FS_OK;
}

FsStatus memory_write_run(void *context, uint32_t first, uint32_t count, const uint8_t *buffer) {
    const FsMemoryDevice *area = (const FsMemoryDevice *)context;
    uint64_t at = (uint64_t)first * SECTOR_SIZE;
    uint64_t bytes = (uint64_t)count * SECTOR_SIZE;
    if (at + bytes > area->size) return FS_FAIL;
    memcpy(area->data + at, buffer, (size_t)bytes);
    return FS_OK;
}

// The area disk_open_memory uses.
FsMemoryDevice opened;

} // namespace

extern "C" {

const FsBlockDevice *disk_memory_device(FsMemoryDevice *memory, uint8_t *data, uint32_t size) {
    memory->data = data;
    memory->size = size;
    memory->device.context = memory;
    memory->device.sector_count = (uint32_t)(((uint64_t)size + SECTOR_SIZE - 1) / SECTOR_SIZE);
    memory->device.read = memory_read;
    memory->device.write = memory_write;
    memory->device.sync = nullptr;
    memory->device.read_sectors = memory_read_run;
    memory->device.write_sectors = memory_write_run;
    return &memory->device;
}

FsStatus disk_open_memory(uint8_t *data, uint32_t size) {
    disk_close_image();
    if (data == nullptr) return FS_FAIL;
    return disk_open_device(disk_memory_device(&opened, data, size));
}
}
