// A model of a volume's tree for randomized tests: directories, files with
// their bytes, and the operations that change them, run against the library
// and the model side by side.
#pragma once

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../file/file_test_util.h"

namespace fat16test {

struct ModelNode {
    std::string name; // as stored: 8.3 names in capitals, long names as given
    bool dir = false;
    std::vector<uint8_t> data;
    std::vector<ModelNode> children;
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
    // Paths `mdir -/ -b` would print for the model.
    std::set<std::string> mtools_paths() const;
    size_t node_count() const;

  private:
    uint32_t pick(uint32_t n) { return (uint32_t)(rng_() % n); }
    std::string random_name(bool dir);
    ModelNode *random_dir(std::string *path);
    ModelNode *random_child(ModelNode *dir, bool want_dir);
    bool name_taken(const ModelNode *dir, const std::string &name) const;
    void collect(const ModelNode &n, const std::string &path,
                 std::set<std::pair<std::string, bool>> *out) const;

    std::mt19937 rng_;
    ModelNode root_;
};

} // namespace fat16test
