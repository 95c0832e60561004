// A model of a volume's tree for randomized tests: directories, files with
// their bytes, how each name is stored (8.3 entry with its case flags, or
// long name and alias), and the operations that change them, run against
// the library and the model side by side.
#pragma once

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../file/file_test_util.h"

namespace fat16test {

struct ModelNode {
    std::string long_name; // as stored; "" for a plain 8.3 entry
    std::string short11;   // the 8.3 name or alias as stored, 11 bytes
    uint8_t case_flags = 0;
    bool dir = false;
    ModelNode *parent = nullptr;
    std::vector<uint8_t> data;
    std::vector<std::unique_ptr<ModelNode>> children;
};

class TreeModel {
  public:
    explicit TreeModel(uint32_t seed) : rng_(seed) { root_.dir = true; }

    // One random operation on the library and the model; expectations are
    // checked with gtest assertions.
    void random_step();
    // The walk of the whole volume against the model, as (path, is_dir).
    void check_walk();
    // Every file's bytes against the model, and the free space against the
    // clusters the model's tree needs (directories measured on the image).
    void check_contents_and_space();
    // Paths `mdir -/ -b` would print for the model; with `halves` a
    // character beyond U+FFFF as "__" (see the interop test).
    std::set<std::string> mtools_paths(bool halves) const;
    // Every file as (path below the root with '/' separators, bytes), for
    // comparing a copy other tools made.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files() const;
    size_t node_count() const;
    // How many steps of each kind succeeded and were refused so far (creation,
    // move, rename, lookup), so that a test can see the mix it ran.
    struct Tally {
        uint32_t long_names = 0, short_names = 0, kept_case = 0, moves = 0, moves_refused = 0;
        uint32_t renames = 0, lookups = 0, by_alias = 0;
    };
    const Tally &tally() const { return tally_; }

  private:
    uint32_t pick(uint32_t n) { return (uint32_t)(rng_() % n); }
    std::string random_name(bool dir);
    std::string variant(const ModelNode &n, bool last);
    std::string path_of(const ModelNode &n, bool variants, bool last = true);
    ModelNode *random_node(bool want_dir, bool allow_root);
    std::string listed(const ModelNode &n) const;
    void step_create();
    void step_write();
    void step_rename();
    void step_delete();
    void step_rmdir();
    void step_move();
    void step_lookup();
    void collect(const ModelNode &n, const std::string &path,
                 std::set<std::pair<std::string, bool>> *out) const;

    std::mt19937 rng_;
    ModelNode root_;
    bool keep_case_ = false;
    Tally tally_;
};

} // namespace fat16test
