#include "fault_device.h"

#include <cstring>

namespace fat16test {

namespace {

struct FaultDevice {
    FsBlockDevice device;
    const FsBlockDevice *lower = nullptr;
    FsDiskFaults faults{0, 0, 0, 0};
    uint64_t reads = 0;
    uint64_t writes = 0;
};

FaultDevice wrapper;

bool hit(uint64_t seen, uint64_t nth) {
    return nth != 0 && (seen == nth || (wrapper.faults.persistent && seen > nth));
}

FsStatus fault_read(void *, uint32_t sector, uint8_t *buffer) {
    if (hit(++wrapper.reads, wrapper.faults.fail_read)) return FS_FAIL;
    return wrapper.lower->read(wrapper.lower->context, sector, buffer);
}

FsStatus fault_write(void *, uint32_t sector, const uint8_t *buffer) {
    uint64_t n = ++wrapper.writes;
    if (!hit(n, wrapper.faults.fail_write))
        return wrapper.lower->write(wrapper.lower->context, sector, buffer);
    // The write that is cut may leave part of its bytes: the sector then
    // holds the new bytes up to the tear and the old ones after it.
    uint32_t torn = wrapper.faults.torn_bytes;
    if (n == wrapper.faults.fail_write && torn > 0 && torn < 512) {
        uint8_t mixed[512];
        if (wrapper.lower->read(wrapper.lower->context, sector, mixed) == FS_OK) {
            memcpy(mixed, buffer, torn);
            wrapper.lower->write(wrapper.lower->context, sector, mixed);
        }
    }
    return FS_FAIL;
}

// Runs pass sector by sector, so that a fault can cut a run anywhere.
FsStatus fault_read_run(void *context, uint32_t first, uint32_t count, uint8_t *buffer) {
    for (uint32_t k = 0; k < count; k++)
        if (fault_read(context, first + k, buffer + k * 512) != FS_OK) return FS_FAIL;
    return FS_OK;
}

FsStatus fault_write_run(void *context, uint32_t first, uint32_t count, const uint8_t *buffer) {
    for (uint32_t k = 0; k < count; k++)
        if (fault_write(context, first + k, buffer + k * 512) != FS_OK) return FS_FAIL;
    return FS_OK;
}

FsStatus fault_sync(void *) {
    if (wrapper.lower->sync == nullptr) return FS_OK;
    return wrapper.lower->sync(wrapper.lower->context);
}

} // namespace

void disk_set_faults(const FsDiskFaults *faults) {
    const FsBlockDevice *current = disk_device();
    if (current == nullptr) return;
    if (current != &wrapper.device) {
        wrapper.lower = current;
        wrapper.device = FsBlockDevice{&wrapper,   current->sector_count, fault_read,     fault_write,
                                       fault_sync, fault_read_run,        fault_write_run};
        disk_open_device(&wrapper.device);
    }
    wrapper.faults = faults != nullptr ? *faults : FsDiskFaults{0, 0, 0, 0};
    wrapper.reads = 0;
    wrapper.writes = 0;
}

uint64_t fault_device_reads() { return wrapper.reads; }
uint64_t fault_device_writes() { return wrapper.writes; }

} // namespace fat16test
