// Shared pieces of the `fat16` command-line tool: options, messages, paths
// on the volume, directory listings and lookups, wildcards, host names,
// times, and the commands themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fat16.h"
#include "host.h"

namespace fat16tool {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
// What a volume label may hold, as messages about a refused label say it.
constexpr const char *kLabelRule =
    "at most 11 characters: letters, digits, spaces (not first) and ! # $ % & ' ( ) - @ ^ _ ` { } ~";

// Size of a new image when no size is given: the driver's image.
constexpr uint32_t kDefaultSectors = FS_IMAGE_SECTORS;

// Options that come before the command.
struct GlobalOptions {
    std::string image = "fat16.img";
    int partition = 0; // 0: no partition table is used
    bool offset_given = false;
    uint64_t offset = 0; // --offset: the volume's first byte in the image
    bool quiet = false;
    bool force = false; // --force: write to a block device even where it is mounted
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
    // Prints nothing from now on (a pass that only counts).
    void silence() { silent_ = true; }
    const std::string &command() const { return command_; }
    int status() const { return failed_ ? kExitFail : kExitOk; }

  private:
    std::string command_;
    bool failed_ = false;
    bool silent_ = false;
};

// The library's reason for the last failure, as text.
std::string library_reason();
std::string reason_text(FsError error);
// Reasons that concern the whole volume: after them a transfer stops
// instead of going on with the next file.
bool fatal_error(FsError error);
// Text with its control bytes shown as \xNN, safe to print on a terminal.
std::string printable(const std::string &text);

// Reads partition `number` of the open image's partition table; false with
// the reason.
bool read_partition(int number, FsPartition *out, std::string *reason);
// "type 0x06" or "GPT partition" for messages.
std::string partition_kind(const FsPartition &p);

// A path on the volume as components. Users write '/' or '\', with or
// without a drive prefix "C:"; "." is dropped and ".." goes up. A path
// written with a separator at its end names a directory.
struct VolPath {
    std::vector<std::string> parts;
    bool dir_form = false; // written with a trailing '/' or '\'
    bool root() const { return parts.empty(); }
    std::string lib() const;   // "C:\A\B" for the library
    std::string shown() const; // "/A/B" for messages about derived paths
    VolPath child(const std::string &name) const;
    VolPath parent() const;
    const std::string &name() const { return parts.back(); }
};

// Parses a path on the volume; false (with the reason) for a drive other than C.
bool parse_vol_path(const std::string &text, VolPath *out, std::string *reason);

// One entry of a directory, as stored: its long name, or its 8.3 name with
// the lower-case flags other tools set.
struct Entry {
    std::string name;
    std::string short_name; // the 8.3 name or alias, "NAME.EXT"
    uint8_t attr = 0;
    uint32_t size = 0;
    uint32_t cluster = 0;
    FsDateTime created{}, modified{}, accessed{};
    // False when the library's lookup of `name` in its directory leads to
    // another entry (a damaged directory with two entries of one name, or a
    // name another tool stored with a final dot or space or a '\').
    bool reachable = true;
    bool is_dir() const { return (attr & ATTR_DIRECTORY) != 0; }
};

// Opens the image file at host path `path` with the library's image device
// (disk_open_image_path); false with errno.
bool open_image_file(const std::string &path);
// Opens the image file or block device at `path` as it is (a write past its
// end fails; `writing` false: for reading only); false with errno.
bool open_image_fixed(const std::string &path, bool writing);
// Refuses (reports, false) to write block device `path` while it, a
// partition of it or its disk is mounted, unless --force was given.
bool device_writable(const GlobalOptions &g, const std::string &path, Reporter &report);
// "the volume needs N bytes, the image has M" when the mounted volume
// reaches past the end of the open image or device; empty otherwise.
std::string short_image_text();

// The opened and mounted image.
class Image {
  public:
    // Opens the image and mounts its volume (whole image, partition or
    // offset), with names kept as given and the tool's clock. Reports and
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

// Mounts the volume the options name (after fs_init): the whole image, a
// partition or the volume at --offset, whose image file holds
// `image_sectors` sectors. Turns on kept case and the tool's clock.
FsStatus mount_volume(const GlobalOptions &g, uint64_t image_sectors);

// Checks that the library's lookup of the path of a directory known from a
// listing leads to that very directory (`cluster`; 0 for the root). False
// with a reason otherwise.
bool reach_directory(const VolPath &dir, uint32_t cluster, std::string *reason);
// The entries of that directory, as stored. False with a reason.
bool list_directory(const VolPath &dir, uint32_t cluster, std::vector<Entry> *out, std::string *reason);

// What a path names. A directory or file counts only when the library's
// lookup reaches it by its whole name.
struct Lookup {
    enum Kind { MISSING, FILE, DIR, FAILED } kind = FAILED;
    Entry entry;                 // the entry found (kind FILE or DIR)
    std::string reason;          // why the lookup failed (kind FAILED)
    bool parent_missing = false; // FAILED because a directory on the way is missing
};
Lookup lookup(const VolPath &path);
// The usual message for a lookup that found no entry of the kind wanted.
std::string lookup_failure(const Lookup &found);

// Checks that the directory a path lives in can be used: reports and
// returns false otherwise.
bool parent_usable(const VolPath &path, const std::string &shown, Reporter &report);
// The library's reason for the last failure, with the name rule broken
// when it refused a name.
std::string reason_for_name(const std::string &name);

// A path given on the command line with what it names; a wildcard in the
// last component stands for every entry it matches.
struct Target {
    std::string text; // as given, or the match's path
    VolPath path;
    Lookup found;
    bool matched = false; // found by a wildcard
};
// Expands the user's path `text`: one target, found or not, when its last
// component holds no wildcard ('*', '?', '[') or names an entry as written;
// otherwise every entry of the directory the pattern matches, without
// regard to case. Reports and returns false when the path cannot be used
// or the pattern matches nothing.
bool expand_path(Reporter &report, const std::string &text, std::vector<Target> *out);
// Expands every PATH given; reports those that cannot be expanded.
std::vector<Target> expand_all(Reporter &report, const std::vector<std::string> &texts);
// Why a target names no entry of the kind wanted.
std::string target_failure(const Lookup &found);
bool has_wildcard(const std::string &component);
// True when `name` matches the wildcard `pattern`, without regard to case.
bool wildcard_match(const std::string &pattern, const std::string &name);

// Walks the tree below directory `top` (cluster `top_cluster`, 0 for the
// root) depth first, each directory entered by its path and checked to be
// the one listed, and none entered twice. The visitor sees every entry with
// its path and where it stands, and says whether to go into a directory;
// `after_dir`, when given, is called when a directory entered is done.
// Directories that cannot be entered are reported. False when the visitor
// stopped the walk.
enum class Step { GO, SKIP, STOP };
struct WalkPos {
    size_t depth; // 0 for the entries of `top`
    bool last;    // the last entry of its directory
};
using Visitor = std::function<Step(const VolPath &, const Entry &, const WalkPos &)>;
using AfterDir = std::function<void(const VolPath &, const Entry &)>;
bool walk_tree(const VolPath &top, uint32_t top_cluster, Reporter &report, const Visitor &visit,
               const AfterDir &after_dir = nullptr);

// Names.
// Why the volume cannot hold `name` exactly as given (empty when it can):
// invalid UTF-8, control characters or characters FAT forbids, more than
// 255 UTF-16 units, or a final dot or space, which FAT drops.
std::string name_problem(const std::string &name);
// A key equal for two names exactly when the library takes them for one
// name (case-blind, the simple upper-case mappings of the library).
std::string fold_name(const std::string &name);

// Times. Host times become entry times in local time, as other FAT tools
// keep them; with SOURCE_DATE_EPOCH set, every time after it becomes it
// (in UTC), so the same input makes the same image.
// Reads SOURCE_DATE_EPOCH; false with a message when it is set but is no
// whole number of seconds.
bool read_source_date_epoch(std::string *error);
// The entry time of a host time.
FsDateTime entry_time(const struct timespec &t);
// The host time of an entry time; false when the entry records none.
bool host_time(const FsDateTime &t, struct timespec *out);
// "YYYY-MM-DD HH:MM", or spaces when no time is recorded.
std::string time_text(const FsDateTime &t);
// Gives the library the tool's clock (now, or SOURCE_DATE_EPOCH).
void install_clock();
// While it lives, the library's clock reads `t`: new entries and first
// writes take that time instead of now.
class ClockStamp {
  public:
    explicit ClockStamp(const FsDateTime &t);
    ~ClockStamp();
    ClockStamp(const ClockStamp &) = delete;
    ClockStamp &operator=(const ClockStamp &) = delete;
};

// A cluster chain as runs of consecutive clusters ("2-9 14-20").
struct Chain {
    std::vector<std::pair<uint32_t, uint32_t>> runs; // first and last cluster of each run
    uint32_t length = 0;                             // clusters
    std::string problem; // why the chain ends early (damaged volume); empty when it ends well
    std::string text() const;
};
// Reads the chain from `first` (0: none) through the FAT, stopping at an end
// mark, a cluster outside the data area, or one it passed before.
Chain read_chain(uint32_t first);

// A volume id as "1234ABCD", "1234-ABCD" or "0x1234abcd"; false otherwise.
bool parse_volume_id(std::string text, uint32_t *out);

// Sizes on the command line: bytes with an optional K, M or G (powers of
// 1,024), or sectors with "s". False for anything else.
bool parse_size(const std::string &text, uint64_t *bytes);

// Progress of a long transfer on standard error, drawn only on a terminal.
class Progress {
  public:
    explicit Progress(bool enabled);
    ~Progress();
    // True when the line is drawn: only then is counting the totals worth it.
    bool shown() const { return enabled_; }
    // The files and bytes the whole transfer moves, when known: the line
    // then shows done and total and a percentage.
    void expect(uint64_t files, uint64_t bytes);
    void add_bytes(uint64_t n);
    void file_done();
    void finish();

  private:
    void draw(bool last);
    bool enabled_;
    bool drawn_ = false;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    bool totals_ = false;
    uint64_t total_files_ = 0;
    uint64_t total_bytes_ = 0;
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
int cmd_attrib(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_label(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_put(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_get(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_cat(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_import(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_export(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_check(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_stat(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_touch(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_du(const GlobalOptions &g, const std::vector<std::string> &args);
int cmd_showfat(const GlobalOptions &g, const std::vector<std::string> &args);
// Built only with libfuse3 (FAT16_WITH_MOUNT).
int cmd_mount(const GlobalOptions &g, const std::vector<std::string> &args);

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
// Parses the command's words; on a usage error or --help returns false
// with the exit status in `status`.
bool parse_or_usage(Reporter &report, const std::vector<std::string> &args,
                    const std::vector<FlagDef> &accepted, ParsedArgs *parsed, int *status);

} // namespace fat16tool
