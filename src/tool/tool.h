// Shared pieces of the `fat16` command-line tool: options, messages, paths
// on the volume, the directory listing with real names, host names, and
// the commands themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fat16.h"

namespace fat16tool {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kDefaultSectors = FS_IMAGE_SECTORS;

// Options that come before the command.
struct GlobalOptions {
    std::string image = "fat16.img";
    int partition = 0; // 0: the image holds one volume from sector 0
    bool quiet = false;
};

// Messages of one command: "fat16: COMMAND: SUBJECT: REASON" on standard
// error. Remembers whether anything failed, for the exit status.
class Reporter {
  public:
    explicit Reporter(std::string command) : command_(std::move(command)) {}
    void error(const std::string &subject, const std::string &reason);
    void warning(const std::string &subject, const std::string &reason);
    // A usage error: the message and a pointer to the command's help.
    int usage(const std::string &message);
    bool failed() const { return failed_; }
    const std::string &command() const { return command_; }
    int status() const { return failed_ ? kExitFail : kExitOk; }

  private:
    std::string command_;
    bool failed_ = false;
};

// The library's reason for the last failure, as text.
std::string library_reason();
std::string reason_text(FsError error);
// Reasons after which a transfer stops instead of going on with the next file.
bool fatal_error(FsError error);
// Text with its control bytes shown as \xNN, safe to print on a terminal.
std::string printable(const std::string &text);

// Reads partition `number` (1 to 4) of the open image's partition table;
// false with the reason.
bool read_partition(int number, FsPartition *out, std::string *reason);

// A path on the volume as components. Users write '/' or '\', with or
// without a drive prefix "C:"; "." is dropped and ".." goes up.
struct VolPath {
    std::vector<std::string> parts;
    bool root() const { return parts.empty(); }
    std::string lib() const;   // "C:\A\B" for the library
    std::string shown() const; // "/A/B" for messages about derived paths
    VolPath child(const std::string &name) const;
    VolPath parent() const;
    const std::string &name() const { return parts.back(); }
};

// Parses a path on the volume; false (with the reason) for a drive other than C.
bool parse_vol_path(const std::string &text, VolPath *out, std::string *reason);

// One entry of a directory, named as stored: its long name, or its 8.3 name
// with the lower-case flags other tools set.
struct Entry {
    std::string name;
    uint8_t attr = 0;
    uint32_t size = 0;
    uint32_t cluster = 0;
    bool is_dir() const { return (attr & ATTR_DIRECTORY) != 0; }
};

// The opened and mounted image.
class Image {
  public:
    // Opens the image and mounts its volume (or partition). Reports and
    // returns false on failure.
    bool open(const GlobalOptions &options, Reporter &report, bool for_writing);
    // Takes over an image opened with disk_open_image_path (formatting).
    void attach(const std::string &path) {
        path_ = path;
        open_ = true;
    }
    Image() = default;
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ~Image();
    // Reports a sticky transfer error of the device; false when there was one.
    bool healthy(Reporter &report);
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    bool open_ = false;
};

// Checks that the library's lookup of the path of a directory known from a
// listing leads to that very directory (`cluster`; 0 for the root). False
// with a reason otherwise.
bool reach_directory(const VolPath &dir, uint32_t cluster, std::string *reason);
// The entries of that directory, names as stored. False with a reason.
bool list_directory(const VolPath &dir, uint32_t cluster, std::vector<Entry> *out, std::string *reason);

// What a path names, found by listing each directory on the way. A
// directory is DIR only when the library's lookup of the path reaches that
// very directory (names with a '.' may lead it to another one).
struct Lookup {
    enum Kind { MISSING, FILE, DIR, FAILED } kind = FAILED;
    Entry entry;                 // the entry found (kind FILE or DIR)
    std::string reason;          // why the lookup failed (kind FAILED)
    bool parent_missing = false; // FAILED because a directory on the way is missing
};
Lookup lookup(const VolPath &path);

// Checks that the directory a path lives in can be used: reports and
// returns false otherwise.
bool parent_usable(const VolPath &path, const std::string &shown, Reporter &report);
// The library's reason for the last failure, with a hint about the name
// rules when it refused a name.
std::string reason_for_name(const std::string &name, bool is_dir);

// Walks the tree below directory `top` (cluster `top_cluster`, 0 for the
// root) depth first, each directory entered by its path and checked to be
// the one listed, and none entered twice. The visitor sees every entry with
// its path and where it stands, and says whether to go into a directory.
// Directories that cannot be entered are reported. False when the visitor
// stopped the walk.
enum class Step { GO, SKIP, STOP };
struct WalkPos {
    size_t depth; // 0 for the entries of `top`
    bool last;    // the last entry of its directory
};
using Visitor = std::function<Step(const VolPath &, const Entry &, const WalkPos &)>;
bool walk_tree(const VolPath &top, uint32_t top_cluster, Reporter &report, const Visitor &visit);

// Host names.
// Why the volume cannot hold host name `name` as given (empty when it can):
// names that would come back different (capitals, a dropped final dot),
// names other tools change, non-ASCII bytes. `capitals` accepts 8.3 names
// stored in capitals.
std::string host_name_problem(const std::string &name, bool is_dir, bool capitals);
// A hint on why the library refuses a name ("" when none applies).
std::string name_rule_hint(const std::string &name, bool is_dir);
// False when a component from the volume must not become a host path
// component: empty, "." or "..", or holding '/' or a control byte.
bool safe_host_component(const std::string &name);
std::string join_host(const std::string &dir, const std::string &name);
std::string host_basename(const std::string &path);

// Progress of a long transfer on standard error, drawn only on a terminal.
class Progress {
  public:
    explicit Progress(bool enabled);
    ~Progress();
    void add_bytes(uint64_t n);
    void file_done();
    void finish();

  private:
    void draw(bool last);
    bool enabled_;
    bool drawn_ = false;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    double start_ = 0;
    double last_draw_ = 0;
};

// Commands. `args` are the words after the command name.
int cmd_format(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_info(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_ls(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_tree(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_mkdir(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_rmdir(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_rm(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_mv(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_put(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_get(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_cat(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_import(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_export(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_check(const GlobalOptions &g, const std::vector<std::string> &args);

// Help texts; `help_text("")` is the tool's.
const char *help_text(const std::string &command);

// Command-line words of one command: flags and operands, "--" ending flags.
// `accepted` lists the flags the command takes, some with a value ("-s N",
// "--sectors=N"). Returns false with a message for an unknown flag.
struct ParsedArgs {
    std::vector<std::string> flags; // as given, long form when both exist
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> operands;
    bool help = false;
    bool has(const std::string &flag) const;
    const std::string *value(const std::string &flag) const;
};
struct FlagDef {
    const char *short_form; // "-r" or nullptr
    const char *long_form;  // "--recursive" or nullptr
    bool takes_value;
};
bool parse_args(const std::vector<std::string> &args, const std::vector<FlagDef> &accepted, ParsedArgs *out,
                std::string *error);

} // namespace fat16tool
