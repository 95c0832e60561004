#include "tree_model.h"

#include <algorithm>

namespace fat16test {

namespace {

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

bool fits_short(const std::string &name) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    return base.size() <= 8 && name.find(' ') == std::string::npos;
}

std::string stored(const std::string &name) { return fits_short(name) ? upper(name) : name; }

std::string child_path(const std::string &dir, const std::string &name) {
    return dir.size() == 3 ? dir + name : dir + "\\" + name;
}

} // namespace

// Names that cannot collide with an alias: short ones hold no '~' and long
// ones have over 8 characters before their dot, so their aliases end in a tail.
std::string TreeModel::random_name(bool dir) {
    static const char kShort[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-";
    static const char kLong[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789- ";
    std::string name;
    if (pick(2) == 0) {
        uint32_t len = 1 + pick(8);
        for (uint32_t i = 0; i < len; i++) name += kShort[pick(sizeof kShort - 1)];
    } else {
        uint32_t len = 9 + pick(60);
        name += kLong[pick(52)];
        for (uint32_t i = 1; i < len - 1; i++) name += kLong[pick(sizeof kLong - 1)];
        name += kLong[pick(52)];
    }
    if (!dir && pick(3) > 0) {
        name += '.';
        uint32_t len = 1 + pick(3);
        for (uint32_t i = 0; i < len; i++) name += kShort[pick(26)];
    }
    return name;
}

ModelNode *TreeModel::random_dir(std::string *path) {
    ModelNode *dir = &root_;
    *path = "C:\\";
    while (pick(2) == 0) {
        std::vector<ModelNode *> subdirs;
        for (ModelNode &c : dir->children)
            if (c.dir) subdirs.push_back(&c);
        if (subdirs.empty()) break;
        dir = subdirs[pick((uint32_t)subdirs.size())];
        *path = child_path(*path, dir->name);
    }
    return dir;
}

ModelNode *TreeModel::random_child(ModelNode *dir, bool want_dir) {
    std::vector<ModelNode *> found;
    for (ModelNode &c : dir->children)
        if (c.dir == want_dir) found.push_back(&c);
    return found.empty() ? nullptr : found[pick((uint32_t)found.size())];
}

bool TreeModel::name_taken(const ModelNode *dir, const std::string &name) const {
    for (const ModelNode &c : dir->children)
        if (upper(c.name) == upper(name)) return true;
    return false;
}

void TreeModel::random_step() {
    std::string dir_path;
    ModelNode *dir = random_dir(&dir_path);
    switch (pick(7)) {
    case 0:
    case 1: { // create a file or a directory, sometimes under a name in use
        bool make_dir = pick(3) == 0;
        std::string name = random_name(make_dir);
        if (!dir->children.empty() && pick(5) == 0) {
            name = dir->children[pick((uint32_t)dir->children.size())].name;
            if (pick(2)) name = upper(name);
        }
        std::string path = child_path(dir_path, name);
        bool ok = !name_taken(dir, name) && path.size() <= 259;
        FsStatus s = make_dir ? fs_mkdir(path.c_str()) : fs_create_file(path.c_str());
        ASSERT_EQ(s, ok ? FS_OK : FS_FAIL) << (make_dir ? "mkdir " : "create ") << path;
        if (ok) {
            ModelNode n;
            n.name = stored(name);
            n.dir = make_dir;
            dir->children.push_back(n);
        }
        break;
    }
    case 2:
    case 3: { // write into a file: append or overwrite
        ModelNode *f = random_child(dir, false);
        if (f == nullptr) break;
        std::string path = child_path(dir_path, f->name);
        uint8_t h = fs_open(path.c_str());
        ASSERT_NE(h, 0xFF) << path;
        uint32_t at = f->data.empty() || pick(2) ? (uint32_t)f->data.size() : pick((uint32_t)f->data.size());
        if (at < f->data.size()) {
            ASSERT_EQ(fs_seek(h, (int32_t)at, ORIGIN_START), FS_OK);
        } else if (!f->data.empty()) {
            ASSERT_EQ(fs_seek(h, 0, ORIGIN_END), FS_OK);
        }
        static const uint32_t sizes[] = {1, 100, 511, 512, 513, 5000, 32768, 40000};
        uint32_t n = sizes[pick(8)];
        std::vector<uint8_t> bytes = pattern(n, rng_());
        ASSERT_EQ(fs_write(h, bytes.data(), n), n) << path;
        ASSERT_EQ(fs_close(h), FS_OK);
        if (f->data.size() < at + n) f->data.resize(at + n);
        std::copy(bytes.begin(), bytes.end(), f->data.begin() + at);
        break;
    }
    case 4: { // rename a file, sometimes to a name in use
        ModelNode *f = random_child(dir, false);
        if (f == nullptr) break;
        std::string name = pick(4) == 0 && !dir->children.empty()
                               ? dir->children[pick((uint32_t)dir->children.size())].name
                               : random_name(false);
        std::string path = child_path(dir_path, f->name);
        bool ok = !name_taken(dir, name) && child_path(dir_path, name).size() <= 259;
        ASSERT_EQ(fs_rename(path.c_str(), name.c_str()), ok ? FS_OK : FS_FAIL) << path << " -> " << name;
        if (ok) f->name = upper(name);
        break;
    }
    case 5: { // delete a file
        ModelNode *f = random_child(dir, false);
        if (f == nullptr) break;
        std::string path = child_path(dir_path, f->name);
        ASSERT_EQ(fs_delete_file(path.c_str()), FS_OK) << path;
        dir->children.erase(dir->children.begin() + (f - dir->children.data()));
        break;
    }
    default: { // remove a directory: only an empty one goes
        ModelNode *d = random_child(dir, true);
        if (d == nullptr) break;
        std::string path = child_path(dir_path, d->name);
        bool ok = d->children.empty();
        ASSERT_EQ(fs_rmdir(path.c_str()), ok ? FS_OK : FS_FAIL) << path;
        if (ok) dir->children.erase(dir->children.begin() + (d - dir->children.data()));
        break;
    }
    }
}

void TreeModel::collect(const ModelNode &n, const std::string &path,
                        std::set<std::pair<std::string, bool>> *out) const {
    for (const ModelNode &c : n.children) {
        std::string p = child_path(path, c.name);
        out->insert({upper(p), c.dir});
        if (c.dir) collect(c, p, out);
    }
}

void TreeModel::check_walk() {
    std::set<std::pair<std::string, bool>> expected, walked;
    collect(root_, "C:\\", &expected);
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr = 0;
    for (uint8_t more = 0; fs_walk_tree(path, more, &attr) == FS_OK; more = 1) {
        ASSERT_LT(walked.size(), expected.size() + 1) << "the walk returns more than the tree holds";
        walked.insert({upper(path), (attr & ATTR_DIRECTORY) != 0});
    }
    ASSERT_EQ(walked, expected);
}

void TreeModel::check_contents_and_space() {
    uint32_t used = 0;
    std::vector<std::pair<const ModelNode *, std::string>> stack = {{&root_, "C:\\"}};
    while (!stack.empty()) {
        auto [n, path] = stack.back();
        stack.pop_back();
        for (const ModelNode &c : n->children) {
            std::string p = child_path(path, c.name);
            if (c.dir) {
                DirCursor.search_kind = KIND_DIR;
                ASSERT_EQ(path_resolve(p.c_str()), FS_OK) << p;
                used += chain_length(FoundEntry.first_cluster);
                stack.push_back({&c, p});
            } else {
                ASSERT_EQ(read_whole(p.c_str()), c.data) << p;
                used += (uint32_t)((c.data.size() + 32767) / 32768);
            }
        }
    }
    uint32_t capacity = 0, free_space = 0;
    ASSERT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    ASSERT_EQ(free_space, (VolumeGeometry.cluster_count - used) * VolumeGeometry.sectors_per_cluster);
    static FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK)
        << "first problem: " << (report.problem_count ? fs_check_problem_text(report.problems[0].kind) : "")
        << " at " << report.problems[0].path;
    EXPECT_EQ(report.used_clusters, used);
}

std::set<std::string> TreeModel::mtools_paths() const {
    std::set<std::pair<std::string, bool>> all;
    std::set<std::string> out;
    std::vector<std::pair<const ModelNode *, std::string>> stack = {{&root_, "::"}};
    while (!stack.empty()) {
        auto [n, path] = stack.back();
        stack.pop_back();
        for (const ModelNode &c : n->children) {
            std::string p = path + "/" + c.name;
            out.insert(c.dir ? p + "/" : p);
            if (c.dir) stack.push_back({&c, p});
        }
    }
    return out;
}

size_t TreeModel::node_count() const {
    std::set<std::pair<std::string, bool>> all;
    collect(root_, "C:\\", &all);
    return all.size();
}

} // namespace fat16test
