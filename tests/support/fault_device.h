// A device for tests that forwards to the device in use and fails on
// purpose: the Nth read or write, once or from then on (a power cut), with
// the sector being written at the cut torn if asked. Production devices
// know nothing of it.
#pragma once

#include <cstdint>

#include "fat16.h"

namespace fat16test {

struct FsDiskFaults {
    uint64_t fail_read;      // the Nth read from now on fails (1: the next one; 0: none)
    uint64_t fail_write;     // the Nth write from now on fails
    uint8_t persistent;      // and every later one of that kind too, as on a device that lost its power
    uint32_t torn_bytes = 0; // the failing write still puts its first torn_bytes bytes on the device
};

// Puts the fault device in front of the device in use (once; it stays until
// another device is opened) and sets the faults; a null pointer removes
// them. The transfer counters start afresh when the device is put in front.
void disk_set_faults(const FsDiskFaults *faults);

// Reads and writes the fault device passed on since faults were last set.
uint64_t fault_device_reads();
uint64_t fault_device_writes();

} // namespace fat16test
