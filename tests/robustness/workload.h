// A workload of namespace and file operations with a model of the tree it
// leaves after each step, for the power-cut and kill tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "../file/file_test_util.h"

namespace fat16test {

struct Step {
    enum Kind { MKDIR, CREATE, WRITE, RENAME, DELETE, RMDIR, TRUNCATE } kind;
    std::string path;  // absolute, "C:\..."
    std::string other; // the new name of a rename
    uint32_t size;     // bytes a write appends; a truncation's new size
};

struct ModelEntry {
    bool dir = false;
    std::vector<uint8_t> data;
};

// Keyed by the upper-case path.
using TreeState = std::map<std::string, ModelEntry>;

std::vector<Step> power_cut_workload();
// Runs one step on the mounted volume; true when the library reports success.
bool run_step(const Step &step, uint32_t index);
// The tree after `step`.
void apply_step(TreeState *state, const Step &step, uint32_t index);
// The paths a step changes (its target and, for a rename, the new path).
std::vector<std::string> step_targets(const Step &step);
// The bytes step `index` writes.
std::vector<uint8_t> step_data(const Step &step, uint32_t index);
std::string upper_path(std::string p);

// After steps 0 .. done-1 returned and step `done` (if any) was cut short:
// the image mounts, every finished step has its effect (a write in flight
// left the old bytes and a prefix of its own), and the consistency check
// finds nothing but lost clusters, FAT copies that differ, unfinished
// long-name runs, or surplus clusters on the file in flight (or a problem
// of a kind in `also_allowed`).
void verify_interrupted(const std::vector<Step> &steps, uint32_t done,
                        const std::vector<int> &also_allowed = {});

// Whether the check may report a problem of `kind` after a cut: lost
// clusters, FAT copies that differ, an unfinished long-name run, a chain
// longer than its size on a file `in_flight`, or a kind in `also_allowed`.
bool left_by_a_cut(uint8_t kind, bool in_flight, const std::vector<int> &also_allowed = {});

} // namespace fat16test
