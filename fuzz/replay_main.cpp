// Replays fuzz inputs without libFuzzer: every regular file of the
// directories (or the files) named on the command line goes through
// LLVMFuzzerTestOneInput once, in name order. A crash or a sanitizer report
// ends the process as it would end the fuzzer; an argument that names
// nothing readable is an error, so a test cannot pass by replaying nothing
// by mistake.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The regular files directly inside `dir`, except hidden ones (".keep").
std::vector<std::string> files_in(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = dir + "/" + e->d_name;
        if (is_regular(path)) out.push_back(path);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

bool replay(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end is
    // caught by the sanitizers as it would be under the fuzzer.
    static const uint8_t nothing = 0;
    std::vector<uint8_t> exact(data);
    LLVMFuzzerTestOneInput(exact.empty() ? &nothing : exact.data(), exact.size());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::vector<std::string> inputs;
        if (is_directory(arg)) {
            inputs = files_in(arg);
        } else if (is_regular(arg)) {
            inputs.push_back(arg);
        } else {
            fprintf(stderr, "%s: no such file or directory\n", arg.c_str());
            return 2;
        }
        for (const std::string &path : inputs) {
            if (!replay(path)) return 2;
            count++;
        }
    }
    printf("replayed %zu input(s) without a fault\n", count);
    return 0;
}
