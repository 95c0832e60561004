// The device layer: every sector the library moves goes through here to the
// device in use. It refuses what no device may be asked (no device, a null
// buffer, a sector past the device's end or past what a volume can use),
// counts the transfers, and remembers failures for the operations above.
#include "fat16_disk.h"

namespace {

const FsBlockDevice *device = nullptr;
void (*release_device)(void) = nullptr;
FsDiskCounters counters;
uint64_t failures = 0; // failed transfers since the device was opened
bool sticky_error = false;

FsStatus note_result(FsStatus status, uint64_t *errors) {
    if (status != FS_OK) {
        (*errors)++;
        failures++;
        sticky_error = true;
    }
    return status;
}

bool addressable(uint32_t sector) { return sector < FS_SECTOR_LIMIT && sector < device->sector_count; }

void start_afresh(void) {
    counters = FsDiskCounters{0, 0, 0, 0};
    failures = 0;
    sticky_error = false;
}

} // namespace

extern "C" {

FsStatus disk_open_device(const FsBlockDevice *wanted) {
    if (wanted == nullptr || wanted->read == nullptr || wanted->write == nullptr) return FS_FAIL;
    device = wanted;
    start_afresh();
    return FS_OK;
}

const FsBlockDevice *disk_device(void) { return device; }

void disk_set_release(void (*release)(void)) { release_device = release; }

void disk_close_image(void) {
    void (*release)(void) = release_device;
    release_device = nullptr;
    device = nullptr;
    if (release != nullptr) release();
    start_afresh();
}

FsStatus disk_read_sector(uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || device == nullptr) return FS_FAIL;
    counters.reads++;
    FsStatus status = addressable(sector) ? device->read(device->context, sector, buffer) : FS_FAIL;
    return note_result(status, &counters.read_errors);
}

FsStatus disk_write_sector(const uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || device == nullptr) return FS_FAIL;
    counters.writes++;
    FsStatus status = addressable(sector) ? device->write(device->context, sector, buffer) : FS_FAIL;
    return note_result(status, &counters.write_errors);
}

FsStatus disk_sync(void) {
    if (device == nullptr) return FS_FAIL;
    if (device->sync == nullptr) return FS_OK;
    return note_result(device->sync(device->context), &counters.write_errors);
}

void disk_get_counters(FsDiskCounters *out) {
    if (out != nullptr) *out = counters;
}

void disk_reset_counters(void) { counters = FsDiskCounters{0, 0, 0, 0}; }

FsStatus disk_take_error(void) {
    bool had = sticky_error;
    sticky_error = false;
    return had ? FS_FAIL : FS_OK;
}

uint64_t disk_failures(void) { return failures; }
}
