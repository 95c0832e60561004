#include "workload.h"

#include <algorithm>

namespace fat16test {

std::string upper_path(std::string p) {
    for (char &c : p)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return p;
}

namespace {

std::string sibling(const std::string &path, const std::string &name) {
    return path.substr(0, path.rfind('\\') + 1) + name;
}

} // namespace

std::vector<Step> power_cut_workload() {
    return {
        {Step::MKDIR, "C:\\DIR", "", 0},
        {Step::MKDIR, "C:\\DIR\\a long directory name", "", 0},
        {Step::CREATE, "C:\\DIR\\SHORT.TXT", "", 0},
        {Step::WRITE, "C:\\DIR\\SHORT.TXT", "", 40000}, // across a cluster boundary
        {Step::CREATE, "C:\\a long file name number one.txt", "", 0},
        {Step::WRITE, "C:\\a long file name number one.txt", "", 70000},
        {Step::RENAME, "C:\\DIR\\SHORT.TXT", "renamed with a long name.txt", 0},
        {Step::CREATE, "C:\\DIR\\a long directory name\\inner.bin", "", 0},
        {Step::WRITE, "C:\\DIR\\a long directory name\\inner.bin", "", 1000},
        {Step::WRITE, "C:\\a long file name number one.txt", "", 600}, // appends in the last cluster
        {Step::DELETE, "C:\\a long file name number one.txt", "", 0},
        {Step::CREATE, "C:\\BIG\\a long name in a full directory.txt", "",
         0}, // grows BIG into a freed cluster
        {Step::DELETE, "C:\\DIR\\a long directory name\\inner.bin", "", 0},
        {Step::RMDIR, "C:\\DIR\\a long directory name", "", 0},
        {Step::CREATE, "C:\\LAST.TXT", "", 0},
        {Step::WRITE, "C:\\LAST.TXT", "", 33000},
        {Step::TRUNCATE, "C:\\LAST.TXT", "", 5000},  // frees its second cluster
        {Step::TRUNCATE, "C:\\LAST.TXT", "", 70000}, // zeros, two clusters claimed
    };
}

// File data that reads like live directory entries naming cluster 2: should
// an unfinished allocation ever link such a cluster into a directory without
// zeroing it first, the check sees cross-links and duplicate names.
std::vector<uint8_t> step_data(const Step &step, uint32_t index) {
    std::vector<uint8_t> data(step.size);
    for (uint32_t i = 0; i < step.size; i++) {
        uint32_t at = i % 32;
        static const char name[] = "STALE   DAT";
        uint8_t b = at < 11 ? (uint8_t)name[at] : 0;
        if (at == 7) b = (uint8_t)('A' + index % 26);
        if (at == 11) b = ATTR_ARCHIVE;
        if (at == 26) b = 2;
        if (at == 28) b = (uint8_t)(100 + i / 32);
        data[i] = b;
    }
    return data;
}

bool run_step(const Step &step, uint32_t index) {
    switch (step.kind) {
    case Step::MKDIR: return fs_mkdir(step.path.c_str()) == FS_OK;
    case Step::CREATE: return fs_create_file(step.path.c_str()) == FS_OK;
    case Step::RENAME: return fs_rename(step.path.c_str(), step.other.c_str()) == FS_OK;
    case Step::DELETE: return fs_delete_file(step.path.c_str()) == FS_OK;
    case Step::RMDIR: return fs_rmdir(step.path.c_str()) == FS_OK;
    case Step::TRUNCATE: {
        uint8_t h = fs_open(step.path.c_str());
        if (h == 0xFF) return false;
        bool ok = fs_truncate(h, step.size) == FS_OK;
        return fs_close(h) == FS_OK && ok;
    }
    case Step::WRITE: {
        uint8_t h = fs_open(step.path.c_str());
        if (h == 0xFF) return false;
        bool ok = true;
        if (open_files[h].size > 0) ok = fs_seek(h, 0, ORIGIN_END) == FS_OK;
        std::vector<uint8_t> data = step_data(step, index);
        ok = ok && fs_write(h, data.data(), (uint32_t)data.size()) == data.size();
        fs_close(h);
        return ok;
    }
    }
    return false;
}

void apply_step(TreeState *state, const Step &step, uint32_t index) {
    std::string key = upper_path(step.path);
    switch (step.kind) {
    case Step::MKDIR: (*state)[key].dir = true; break;
    case Step::CREATE: (*state)[key] = ModelEntry{}; break;
    case Step::WRITE: {
        std::vector<uint8_t> data = step_data(step, index);
        std::vector<uint8_t> &file = (*state)[key].data;
        file.insert(file.end(), data.begin(), data.end());
        break;
    }
    case Step::RENAME: {
        ModelEntry moved = (*state)[key];
        state->erase(key);
        (*state)[upper_path(sibling(step.path, step.other))] = moved;
        break;
    }
    case Step::DELETE:
    case Step::RMDIR: state->erase(key); break;
    case Step::TRUNCATE: (*state)[key].data.resize(step.size, 0); break;
    }
}

std::vector<std::string> step_targets(const Step &step) {
    std::vector<std::string> t = {upper_path(step.path)};
    if (step.kind == Step::RENAME) t.push_back(upper_path(sibling(step.path, step.other)));
    return t;
}

void verify_interrupted(const std::vector<Step> &steps, uint32_t done, const std::vector<int> &also_allowed) {
    ASSERT_EQ(fs_init(), FS_OK) << "the image no longer mounts";
    TreeState expected;
    for (uint32_t i = 0; i < done; i++) apply_step(&expected, steps[i], i);
    std::vector<std::string> in_flight;
    if (done < steps.size()) in_flight = step_targets(steps[done]);
    auto flying = [&](const std::string &p) {
        return std::find(in_flight.begin(), in_flight.end(), p) != in_flight.end();
    };
    for (const auto &[path, entry] : expected) {
        if (flying(path)) continue;
        DirCursor.search_kind = entry.dir ? KIND_DIR : KIND_FILE;
        ASSERT_EQ(path_resolve(path.c_str()), FS_OK) << path << " lost (step " << done << ")";
        if (!entry.dir) {
            ASSERT_EQ(read_whole(path.c_str()), entry.data) << path << " damaged (step " << done << ")";
        }
    }
    if (done < steps.size() && steps[done].kind == Step::WRITE) {
        const std::vector<uint8_t> &old = expected[in_flight[0]].data;
        std::vector<uint8_t> now = read_whole(steps[done].path.c_str());
        std::vector<uint8_t> added = step_data(steps[done], done);
        ASSERT_GE(now.size(), old.size());
        ASSERT_LE(now.size(), old.size() + added.size());
        ASSERT_TRUE(std::equal(old.begin(), old.end(), now.begin()));
        ASSERT_TRUE(std::equal(now.begin() + (long)old.size(), now.end(), added.begin()));
    }
    if (done < steps.size() && steps[done].kind == Step::TRUNCATE) {
        // A truncation cut short leaves the file as it was or as it asked.
        std::vector<uint8_t> before = expected[in_flight[0]].data;
        std::vector<uint8_t> after = before;
        after.resize(steps[done].size, 0);
        std::vector<uint8_t> now = read_whole(steps[done].path.c_str());
        ASSERT_TRUE(now == before || now == after) << "truncation half done (step " << done << ")";
    }
    static FsCheckReport report;
    check_volume(&report);
    for (uint32_t i = 0; i < report.problem_count && i < FS_CHECK_MAX_PROBLEMS; i++) {
        const FsProblem &p = report.problems[i];
        std::string where = upper_path(std::string("C:") + p.path);
        ASSERT_TRUE(left_by_a_cut(p.kind, flying(where), also_allowed))
            << fs_check_problem_text(p.kind) << " at " << where << " (step " << done << ")";
    }
}

bool left_by_a_cut(uint8_t kind, bool in_flight, const std::vector<int> &also_allowed) {
    return kind == FS_PROBLEM_LOST_CLUSTERS || kind == FS_PROBLEM_FAT_COPIES_DIFFER ||
           kind == FS_PROBLEM_LONG_NAME || (kind == FS_PROBLEM_CHAIN_TOO_LONG && in_flight) ||
           std::find(also_allowed.begin(), also_allowed.end(), kind) != also_allowed.end();
}

} // namespace fat16test
