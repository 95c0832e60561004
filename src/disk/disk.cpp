// The device layer: every sector the library moves goes through here to the
// device in use. It refuses what no device may be asked (no device, a null
// buffer, a sector past the device's end or past what a volume can use),
// counts the transfers, remembers failures for the operations above, and
// keeps the sector window: a few FAT and directory sectors held between
// operations, written through unless a caller keeps a change for later.
#include <string.h>

#include "fat16_disk.h"

namespace {

const uint32_t SECTOR_BYTES = FS_SECTOR_SIZE;
const uint32_t NO_SECTOR = 0xFFFFFFFFu;

const FsBlockDevice *device = nullptr;
void (*release_device)(void) = nullptr;
FsDiskCounters counters;
DiskFailMark failures = 0; // failed transfers since the device was opened
bool sticky_error = false;

#if FS_ZERO_SECTORS > 0
// Zeros for runs of zeros and for readers of a sector that cannot be read.
const uint8_t zeros[FS_ZERO_SECTORS * FS_SECTOR_SIZE] = {0};
#endif

// The window. With FS_WINDOW_SECTORS 0 its one place keeps a sector only
// while it holds a change (or until the next access, for the reader that
// asked for it).
const uint32_t PLACES = FS_WINDOW_SECTORS > 0 ? FS_WINDOW_SECTORS : 1;
const bool KEEP_CLEAN = FS_WINDOW_SECTORS > 0;

struct Place {
    uint32_t sector; // NO_SECTOR: empty
    uint16_t stride; // distance of its copies
    uint8_t copies;  // places the sector is written to
    uint8_t changed; // a change not yet written
};

Place places[PLACES];
uint8_t place_data[PLACES][FS_SECTOR_SIZE];
uint8_t age[PLACES];         // 0: asked for last; the largest was asked for longest ago
uint32_t favoured_first = 0; // sectors the window gives up last (the first FAT)
uint32_t favoured_count = 0;

FsStatus note_result(FsStatus status, uint64_t *errors) {
    if (status != FS_OK) {
        (*errors)++;
        failures++;
        sticky_error = true;
    }
    return status;
}

bool addressable(uint32_t sector) { return sector < FS_SECTOR_LIMIT && sector < device->sector_count; }

bool run_addressable(uint32_t first, uint32_t count) {
    return count > 0 && addressable(first) && count <= FS_SECTOR_LIMIT - first &&
           first + count <= device->sector_count;
}

void start_afresh(void) {
    counters = FsDiskCounters{0, 0, 0, 0, 0, 0};
    failures = 0;
    sticky_error = false;
}

const uint8_t MOVE_WRITE = 1; // to the device; else from it
const uint8_t MOVE_RUN = 2;   // a run: one call where the device takes runs

// Moves `count` sectors from `first` on between `buffer` and the device,
// counted: with MOVE_RUN in one call where the device takes runs, else one
// call a sector. A single sector counts as moved even when it cannot be
// addressed. Reads only write to `buffer`.
FsStatus device_move(uint8_t how, const uint8_t *buffer, uint32_t first, uint32_t count) {
    const bool write = !FS_READ_ONLY && (how & MOVE_WRITE) != 0; // a library that only reads never writes
    uint64_t *moved = write ? &counters.writes : &counters.reads;
    uint64_t *errors = write ? &counters.write_errors : &counters.read_errors;
    uint64_t *calls = write ? &counters.write_calls : &counters.read_calls;
    uint8_t *into = const_cast<uint8_t *>(buffer);
    if (!(how & MOVE_RUN)) ++*moved;
    if (!run_addressable(first, count)) return note_result(FS_FAIL, errors);
    if (how & MOVE_RUN) {
        *moved += count;
        if (write ? device->write_sectors != nullptr : device->read_sectors != nullptr) {
            ++*calls;
            return note_result(write ? device->write_sectors(device->context, first, count, buffer)
                                     : device->read_sectors(device->context, first, count, into),
                               errors);
        }
    }
    *calls += count;
    for (uint32_t k = 0; k < count; k++) {
        uint32_t at = k * SECTOR_BYTES;
        if ((write ? device->write(device->context, first + k, buffer + at)
                   : device->read(device->context, first + k, into + at)) != FS_OK)
            return note_result(FS_FAIL, errors);
    }
    return FS_OK;
}

FsStatus device_read(uint8_t *buffer, uint32_t sector) { return device_move(0, buffer, sector, 1); }
FsStatus device_write(const uint8_t *buffer, uint32_t sector) {
    return device_move(MOVE_WRITE, buffer, sector, 1);
}

// Writes place `i`'s change to each of its places. When a write fails the
// place is forgotten with its change: what the device holds there is not
// known, and a change written later, out of its order, could do harm (a
// link written after the writes it depended on failed).
FsStatus write_place(uint32_t i) {
    Place &p = places[i];
    if (FS_READ_ONLY || !p.changed) return FS_OK; // a library that only reads changes nothing
    FsStatus status = FS_OK;
    for (uint32_t k = 0; k < p.copies; k++) {
        uint32_t at = p.sector + k * p.stride;
        if (device_write(place_data[i], at) != FS_OK) status = FS_FAIL;
        // A copy the window holds in a place of its own follows.
        for (uint32_t j = 0; PLACES > 1 && k > 0 && j < PLACES; j++)
            if (places[j].sector == at && j != i) places[j].sector = NO_SECTOR;
    }
    p.changed = 0;
    if (status != FS_OK) p.sector = NO_SECTOR;
    return status;
}

// Writes out every change whose places meet the run first .. first + count - 1.
void write_changes_in(uint32_t first, uint32_t count) {
    for (uint32_t i = 0; !FS_READ_ONLY && i < PLACES; i++) {
        if (!places[i].changed) continue;
        for (uint32_t k = 0; k < places[i].copies; k++) {
            uint32_t at = places[i].sector + k * places[i].stride;
            if (at >= first && at - first < count) {
                write_place(i);
                break;
            }
        }
    }
}

uint32_t find_place(uint32_t sector) {
    if (sector == NO_SECTOR) return NO_SECTOR; // unaddressable; it marks an empty place
    for (uint32_t i = 0; i < PLACES; i++)
        if (places[i].sector == sector) return i;
    return NO_SECTOR;
}

bool favoured(uint32_t i) { return places[i].sector - favoured_first < favoured_count; }

// A place for a new sector: an empty one, else the one asked for longest
// ago among those without a change (outside the favoured range first), else
// the oldest change, written out.
uint32_t free_place(void) {
    uint32_t best = NO_SECTOR;
    for (uint32_t i = 0; i < PLACES; i++) {
        if (places[i].sector == NO_SECTOR) return i;
        if (places[i].changed) continue;
        if (best == NO_SECTOR || favoured(best) > favoured(i) ||
            (favoured(best) == favoured(i) && age[i] > age[best]))
            best = i;
    }
    if (best == NO_SECTOR) {
        best = 0;
        for (uint32_t i = 1; i < PLACES; i++)
            if (age[i] > age[best]) best = i;
        write_place(best);
    }
    places[best].sector = NO_SECTOR;
    places[best].changed = 0;
    return best;
}

// Makes place `i` the one asked for last; the ages stay distinct.
void touch(uint32_t i) {
    for (uint32_t j = 0; j < PLACES; j++)
        if (age[j] < age[i]) age[j]++;
    age[i] = 0;
}

// Place `i` now holds `sector` as the device has it.
void hold(uint32_t i, uint32_t sector) {
    places[i].sector = sector;
    places[i].changed = 0;
    places[i].copies = 1;
    places[i].stride = 0;
    touch(i);
}

// Takes the `sector` just read into `bytes` into the window (at place `i`
// when it holds the sector already), unless the window keeps nothing.
void keep_copy(uint32_t i, uint32_t sector, const uint8_t *bytes) {
    if (!KEEP_CLEAN) return;
    if (i == NO_SECTOR) i = free_place();
    memcpy(place_data[i], bytes, SECTOR_BYTES);
    hold(i, sector);
}

// The place holding `sector`, read from the device when needed; NO_SECTOR
// when it cannot be read. Other places' changes that cover the sector (it
// is a copy of theirs) are written first, so that the read sees them.
uint32_t load_place(uint32_t sector) {
    uint32_t i = find_place(sector);
    if (i != NO_SECTOR && (KEEP_CLEAN || places[i].changed)) {
        touch(i);
        return i;
    }
    write_changes_in(sector, 1);
    if (i == NO_SECTOR) i = free_place();
    places[i].sector = NO_SECTOR;
    if (device_read(place_data[i], sector) != FS_OK) return NO_SECTOR;
    hold(i, sector);
    return i;
}

void forget_all(void) {
    for (uint32_t i = 0; i < PLACES; i++) {
        places[i].sector = NO_SECTOR;
        places[i].changed = 0;
        age[i] = (uint8_t)i;
    }
}

} // namespace

extern "C" {

FsStatus disk_open_device(const FsBlockDevice *wanted) {
    if (wanted == nullptr || wanted->read == nullptr || wanted->write == nullptr) return FS_FAIL;
    if (device != nullptr) disk_flush();
    forget_all();
    favoured_count = 0;
    device = wanted;
    start_afresh();
    return FS_OK;
}

const FsBlockDevice *disk_device(void) { return device; }

void disk_set_release(void (*release)(void)) { release_device = release; }

void disk_close_image(void) {
    if (device != nullptr) disk_flush();
    forget_all();
    void (*release)(void) = release_device;
    release_device = nullptr;
    device = nullptr;
    if (release != nullptr) release();
    start_afresh();
}

FsStatus disk_read_sector(uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || device == nullptr) return FS_FAIL;
    uint32_t i = find_place(sector);
    if (i != NO_SECTOR && (KEEP_CLEAN || places[i].changed)) {
        touch(i);
        memcpy(buffer, place_data[i], SECTOR_BYTES);
        return FS_OK;
    }
    write_changes_in(sector, 1);
    // Straight into the caller's buffer: a failed read leaves there what the
    // device left.
    if (device_read(buffer, sector) != FS_OK) return FS_FAIL;
    keep_copy(i, sector, buffer);
    return FS_OK;
}

FsStatus disk_write_sector(const uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || device == nullptr) return FS_FAIL;
    write_changes_in(sector, 1);
    FsStatus status = device_write(buffer, sector);
    uint32_t i = find_place(sector);
    if (i != NO_SECTOR) {
        // A write that failed leaves the device's bytes unknown: forgotten.
        if (status == FS_OK)
            memcpy(place_data[i], buffer, SECTOR_BYTES);
        else
            places[i].sector = NO_SECTOR;
    }
    return status;
}

FsStatus disk_read_sectors(uint8_t *buffer, uint32_t first, uint32_t count) {
    if (buffer == nullptr || device == nullptr) return FS_FAIL;
    if (count == 0) return note_result(FS_FAIL, &counters.read_errors);
    write_changes_in(first, count);
    return device_move(MOVE_RUN, buffer, first, count);
}

FsStatus disk_write_sectors(const uint8_t *buffer, uint32_t first, uint32_t count) {
    if (buffer == nullptr || device == nullptr) return FS_FAIL;
    if (count == 0) return note_result(FS_FAIL, &counters.write_errors);
    write_changes_in(first, count);
    FsStatus status = device_move(MOVE_WRITE | MOVE_RUN, buffer, first, count);
    for (uint32_t i = 0; i < PLACES; i++) {
        uint32_t s = places[i].sector;
        if (s == NO_SECTOR || s < first || s - first >= count) continue;
        if (status == FS_OK)
            memcpy(place_data[i], buffer + (s - first) * SECTOR_BYTES, SECTOR_BYTES);
        else
            places[i].sector = NO_SECTOR;
    }
    return status;
}

#if FS_ZERO_SECTORS == 0
// Without constant zeros a place of the window is cleared for them; the
// sector it held is read again when it is next asked for.
static const uint8_t *cleared_place(void) {
    uint32_t i = free_place();
    memset(place_data[i], 0, SECTOR_BYTES);
    return place_data[i];
}
#endif

FsStatus disk_write_zeros(uint32_t first, uint32_t count) {
    if (device == nullptr) return FS_FAIL;
    if (count == 0) return note_result(FS_FAIL, &counters.write_errors);
#if FS_ZERO_SECTORS > 0
    const uint8_t *source = zeros;
    const uint32_t per_call = FS_ZERO_SECTORS;
#else
    const uint8_t *source = cleared_place();
    const uint32_t per_call = 1;
#endif
    FsStatus status = FS_OK;
    while (count > 0 && status == FS_OK) {
        uint32_t n = count < per_call ? count : per_call;
        status = disk_write_sectors(source, first, n);
        first += n;
        count -= n;
    }
    return status;
}

const uint8_t *disk_window_read(uint32_t sector) {
    if (device == nullptr) return nullptr;
    uint32_t i = load_place(sector);
    return i == NO_SECTOR ? nullptr : place_data[i];
}

uint8_t *disk_window_change(uint32_t sector, uint8_t copies, uint32_t stride) {
    if (device == nullptr) return nullptr;
    uint32_t i = load_place(sector);
    if (i == NO_SECTOR) return nullptr;
    places[i].changed = 1;
    places[i].copies = copies > 0 ? copies : 1;
    places[i].stride = (uint16_t)stride;
    return place_data[i];
}

uint8_t *disk_window_fresh(uint32_t sector) {
    if (device == nullptr) return nullptr;
    uint32_t i = find_place(sector);
    if (i == NO_SECTOR) i = free_place();
    memset(place_data[i], 0, SECTOR_BYTES);
    hold(i, sector);
    places[i].changed = 1;
    return place_data[i];
}

FsStatus disk_window_write(uint32_t sector) {
    if (device == nullptr) return FS_FAIL;
    uint32_t i = find_place(sector);
    return i == NO_SECTOR ? FS_OK : write_place(i);
}

FsStatus disk_flush_with_last(uint32_t last) {
    if (device == nullptr) return FS_FAIL;
    FsStatus status = FS_OK;
    for (uint32_t i = 0; i < PLACES; i++)
        if (places[i].sector != last && write_place(i) != FS_OK) status = FS_FAIL;
    // Never the write that makes the others reachable when one of them failed.
    uint32_t i = find_place(last);
    if (status == FS_OK && i != NO_SECTOR) status = write_place(i);
    return status;
}

FsStatus disk_flush(void) { return disk_flush_with_last(NO_SECTOR); }

void disk_invalidate(void) {
    if (device != nullptr) disk_flush();
    forget_all();
}

void disk_window_favour(uint32_t first, uint32_t count) {
    favoured_first = first;
    favoured_count = count;
}

const uint8_t *disk_zero_sector(void) {
#if FS_ZERO_SECTORS > 0
    return zeros;
#else
    return cleared_place();
#endif
}

FsStatus disk_sync(void) {
    if (device == nullptr) return FS_FAIL;
    FsStatus flushed = disk_flush();
    if (device->sync == nullptr) return flushed;
    FsStatus synced = note_result(device->sync(device->context), &counters.write_errors);
    return flushed == FS_OK ? synced : FS_FAIL;
}

void disk_get_counters(FsDiskCounters *out) {
    if (out != nullptr) *out = counters;
}

void disk_reset_counters(void) { counters = FsDiskCounters{0, 0, 0, 0, 0, 0}; }

FsStatus disk_take_error(void) {
    bool had = sticky_error;
    sticky_error = false;
    return had ? FS_FAIL : FS_OK;
}

DiskFailMark disk_failures(void) { return failures; }

uint8_t disk_failed_since(DiskFailMark mark) { return failures != mark ? 1 : 0; }

FsStatus disk_fail_since(DiskFailMark mark, FsError reason) {
    return fs_fail(disk_failed_since(mark) ? FS_ERR_IO : reason);
}
}
