// fat16: prepares and inspects FAT16 images from the shell through the
// library's public interface. This file reads the options that come before
// the command, holds the help texts and runs the command.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace fat16tool {

namespace {

const char kToolHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N | --offset BYTES] [-q] [--force] COMMAND [ARGS]\n"
    "Makes, inspects and changes FAT16 volumes kept in image files or on block\n"
    "devices (SD cards, partitions, loop devices).\n"
    "\n"
    "Options before the command:\n"
    "  -i, --image IMAGE    the image file or block device (default: fat16.img)\n"
    "  -p, --partition N    use partition N of the image's partition table: an MBR\n"
    "                       partition (1 to 4) or a GPT partition, whatever its type\n"
    "  --offset BYTES       use the volume that starts BYTES into the image (a\n"
    "                       multiple of 512; K, M and G multiply by 1,024)\n"
    "  -q, --quiet          no progress line during long transfers (every command\n"
    "                       also takes -q after its name)\n"
    "  --force              write to a block device even while it, a partition of\n"
    "                       it or its disk is mounted (this can damage it)\n"
    "  -h, --help           this help; 'fat16 COMMAND --help' explains a command\n"
    "  --version            the tool's version\n"
    "\n"
    "Commands:\n"
    "  format [--size SIZE] [OPTIONS]     make a FAT16 volume (image or partition)\n"
    "  info                               geometry, label, capacity, free space\n"
    "  ls [-l] [-8] [PATH]                list a directory, a file or a pattern\n"
    "  stat PATH...                       every field of one entry, its chain\n"
    "  tree [PATH]                        draw the tree below a directory\n"
    "  mkdir [-p] PATH...                 make directories\n"
    "  rmdir PATH...                      remove empty directories\n"
    "  rm [-r] PATH...                    remove files (with -r directory trees)\n"
    "  mv SOURCE... DEST                  move or rename files and directories\n"
    "  attrib [+r|-r|+h|-h|+s|-s|+a|-a]... PATH...   show or set attributes\n"
    "  label [TEXT | --clear] [--volume-id HEX]   show or set the label or the id\n"
    "  touch [-d TIME] PATH...            set modification times (make missing files)\n"
    "  put [-r] [-f|-n|-u] HOSTPATH... DEST   copy host files (-r: directories) in\n"
    "  get [-r] [-f|-n|-u] PATH... HOSTDEST   copy files (-r: directories) out\n"
    "  cat PATH...                        write files to standard output\n"
    "  import [-f|-n|-u] HOSTDIR [DEST]   copy the contents of a host directory in\n"
    "  export [-f|-n|-u] HOSTDIR          copy the whole volume into a host directory\n"
    "  du [-s] [PATH...]                  bytes and clusters used below directories\n"
    "  showfat PATH...                    the cluster chains of files and directories\n"
    "  check                              check the volume's consistency (reads only)\n"
#if FAT16_WITH_MOUNT
    "  mount [-r] [-f] MOUNTPOINT         mount the volume on a host folder (FUSE)\n"
#else
    "  mount                              not built in (libfuse3 was missing)\n"
#endif
    "\n"
    "Paths on the volume use '/' or '\\' and may begin with the drive prefix C:;\n"
    "every path starts at the root (\"docs/a.txt\" is \"/docs/a.txt\"); a path that\n"
    "ends in '/' names a directory. Names are matched without regard to case. Names\n"
    "go onto the volume exactly as given: any Unicode text of up to 255 UTF-16 units\n"
    "without the control characters U+0000 to U+001F and U+007F or \" * / : < > ? \\ |,\n"
    "and not ending in a dot or a space. U+0080 to U+009F are taken, as FAT and\n"
    "other systems take them, and shown as \\u0080 to \\u009F. Two names that differ\n"
    "only in case are one name. ls, get, cat, rm, mv, attrib, stat, touch, du and\n"
    "showfat take the wildcards *, ? and [...] in a path's last component, matched\n"
    "without regard to case; quote them from the shell: fat16 get 'DOCS/*.pdf' out/\n"
    "\n"
    "Files keep their host modification times (local time, as other FAT tools keep\n"
    "them). With SOURCE_DATE_EPOCH set, every later time is written as that time\n"
    "(UTC) and the volume id comes from it, so the same input makes the same image.\n"
    "\n"
    "A volume that reaches past the end of its image or device is named at open:\n"
    "reading commands go on with a warning, writing commands refuse.\n"
    "\n"
    "Exit status: 0 on success, 1 when anything failed (each failure is reported\n"
    "on standard error with its reason), 2 for a usage error.\n";

const char kFormatHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N | --offset BYTES] format [OPTIONS]\n"
    "Formats a FAT16 volume: over the whole image file (made when missing, made\n"
    "longer when shorter than the volume) or block device, at --offset, in\n"
    "partition N of an existing partition table (-p N), or with --mbr on a disk\n"
    "image or device with a partition table of its own. The volumes pass fsck.fat\n"
    "and open in mtools. A whole disk (not a partition) is formatted with --mbr, or\n"
    "with --force for a volume over all of it; a mounted device is refused.\n"
    "\n"
    "  --size SIZE           the volume's size (with --mbr the disk image's): bytes\n"
    "                        with K, M or G (1,024-based), or sectors with s (64M,\n"
    "                        131072s); without it an existing image keeps its size, a\n"
    "                        new one gets 483328 sectors and a partition its own size\n"
    "  -s, --sectors N       the size in 512-byte sectors\n"
    "  --cluster-size BYTES  512 to 64K (default: as mkfs.fat chooses for the size)\n"
    "  --root-entries N      entries of the root directory (default 512)\n"
    "  --fats 1|2            copies of the FAT (default 2)\n"
    "  --label TEXT          the volume label (up to 11 characters)\n"
    "  --volume-id HEX       the volume id (default: from the time)\n"
    "  --reserved N          reserved sectors before the FATs (default 1)\n"
    "  --media HEX           the media byte: F8 (default, fixed disk), F0, F9 to FF\n"
    "  --oem TEXT            the OEM name of the boot sector, up to 8 characters\n"
    "                        (default MSWIN4.1)\n"
    "  --boot FILE           the jump, boot code and message of the boot sector from\n"
    "                        a 512-byte FILE; the BPB, id and label stay as computed\n"
    "  -q, --quiet           no line about the volume made\n"
    "  --mbr                 write a disk image: an MBR partition table with one\n"
    "                        FAT16 partition (type 0x06) from 1 MiB to the end of\n"
    "                        SIZE, formatted; -p 1 then reaches it\n"
    "  --layout driver       the driver's fixed layout, byte for byte (64-sector\n"
    "                        clusters, 2 FATs of 256 sectors, 1,024 root entries, no\n"
    "                        label; no --reserved, --media, --oem); sizes 262017 to\n"
    "                        4194176 sectors\n"
    "  -f, --force           format over an existing volume, partition table or other\n"
    "                        data; everything on it is lost\n"
    "\n"
    "A volume larger than 2 GiB (4,194,304 sectors) cannot be made: the library\n"
    "cannot address sectors past it. New image files stay sparse where the host\n"
    "allows. An image, partition or offset that already holds a volume or other\n"
    "data is refused without --force.\n"
    "Examples: fat16 -i sd.img format --size 256M --label CARD\n"
    "          fat16 -i disk.img format --mbr --size 1G --cluster-size 16K\n";

const char kInfoHelp[] = "Usage: fat16 [-i IMAGE] [-p N | --offset BYTES] info\n"
                         "Shows the volume's geometry, label, capacity and free space in bytes and in\n"
                         "sectors, and how many files (with their bytes) and directories it holds; with\n"
                         "-p N also the partition's type and extent as the partition table gives them.\n";

const char kLsHelp[] = "Usage: fat16 [-i IMAGE] [-p N] ls [-l] [-8] [PATH]\n"
                       "Lists the directory PATH (default: the root), the file PATH, or the entries a\n"
                       "pattern in PATH's last component matches, one name a line, as stored on the\n"
                       "volume; directories end in '/'.\n"
                       "\n"
                       "  -l, --long          also the attributes (d directory, r read-only, h hidden,\n"
                       "                      s system, a archive), the size in bytes, the modification\n"
                       "                      time (YYYY-MM-DD HH:MM, local time) and the 8.3 name where\n"
                       "                      it is not the name itself\n"
                       "  -8, --short-names   the 8.3 names only, as a boot ROM that reads no long names\n"
                       "                      sees the directory\n";

const char kTreeHelp[] = "Usage: fat16 [-i IMAGE] [-p N] tree [PATH]\n"
                         "Draws every directory and file below PATH (default: the root), names as\n"
                         "stored, directories ending in '/', then counts them.\n";

const char kMkdirHelp[] = "Usage: fat16 [-i IMAGE] [-p N] mkdir [-p] PATH...\n"
                          "Makes directories, each name stored exactly as typed.\n"
                          "\n"
                          "  -p, --parents   make missing parent directories too; existing ones are fine\n";

const char kRmdirHelp[] = "Usage: fat16 [-i IMAGE] [-p N] rmdir PATH...\n"
                          "Removes empty directories.\n";

const char kRmHelp[] = "Usage: fat16 [-i IMAGE] [-p N] rm [-r] PATH...\n"
                       "Removes files; PATH's last component may be a pattern.\n"
                       "\n"
                       "  -r, --recursive   remove directories with everything in them\n"
                       "\n"
                       "Read-only files are not removed (attrib -r first); each entry that stays is\n"
                       "reported, and the directories above it stay too.\n";

const char kMvHelp[] = "Usage: fat16 [-i IMAGE] [-p N] mv SOURCE... DEST\n"
                       "Moves files and directories. When DEST is an existing directory the SOURCEs\n"
                       "move into it under their names; otherwise the one SOURCE is moved or renamed\n"
                       "to DEST (every path starts at the root, so 'mv /docs/a.txt b.txt' moves it to\n"
                       "/b.txt). An existing file DEST is replaced by a file SOURCE. A SOURCE's last\n"
                       "component may be a pattern. Read-only files are not moved (attrib -r first).\n"
                       "Examples: fat16 mv /docs/draft.txt /docs/final.txt\n"
                       "          fat16 mv '/inbox/*.log' /logs/\n";

const char kAttribHelp[] = "Usage: fat16 [-i IMAGE] [-p N] attrib [+r|-r|+h|-h|+s|-s|+a|-a]... PATH...\n"
                           "Sets or clears the read-only (r), hidden (h), system (s) and archive (a)\n"
                           "attributes of files and directories; without changes shows them (d marks a\n"
                           "directory). Changes may be joined (+rh). PATH's last component may be a\n"
                           "pattern. Only --help asks for this help: -h clears the hidden attribute.\n"
                           "A read-only file cannot be written, replaced, removed, renamed or moved.\n"
                           "Example: fat16 attrib +r +h /BOOT.BIN\n";

const char kLabelHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N] label [TEXT | --clear] [--volume-id HEX]\n"
    "Shows the volume label (nothing when there is none), sets it to TEXT (up to\n"
    "11 characters, stored in capitals) or removes it with --clear. The label is\n"
    "kept in the boot sector and in the root directory, where other tools read it.\n"
    "\n"
    "  --volume-id HEX   set the volume id (1234ABCD or 1234-ABCD) in the boot sector\n";

const char kPutHelp[] = "Usage: fat16 [-i IMAGE] [-p N] put [-r] [-f|-n|-u] [-P] [-q] HOSTPATH... DEST\n"
                        "Copies host files onto the volume. When DEST is a directory each HOSTPATH is\n"
                        "copied into it under its own name; otherwise DEST names the one copy (a DEST\n"
                        "ending in '/' must be a directory). HOSTPATH - reads standard input into the\n"
                        "file DEST.\n"
                        "\n"
                        "  -r, --recursive   copy directories with everything in them (in name order)\n"
                        "  -f, --force       replace files that exist on the volume\n"
                        "  -n, --no-clobber  leave files that exist on the volume as they are\n"
                        "  -u, --update      replace a file that exists only when the host file is newer\n"
                        "                    or of another size\n"
                        "  -P, --no-dereference   leave symbolic links out (by default they are\n"
                        "                    followed: a link to a file or directory is copied as what\n"
                        "                    it leads to; a link back to a directory being copied and a\n"
                        "                    broken link are reported)\n"
                        "  -q, --quiet       no progress line (it is shown on a terminal only)\n"
                        "\n"
                        "Names are stored exactly as given, with the host files' modification times.\n"
                        "Each file that cannot be copied is reported with its reason (a name the volume\n"
                        "cannot hold, one that differs only in case from another, no space left, ...)\n"
                        "and the others are still copied where they fit; the exit status is then 1.\n"
                        "Special files inside directories are not copied. A copy\n"
                        "that fails is removed. A file being replaced stays as it was until its new copy\n"
                        "is complete: the copy is written beside it first, so there must be room for\n"
                        "both (otherwise it is refused and the old file kept; rm it first).\n"
                        "Example: fat16 put -r firmware/ /\n";

const char kGetHelp[] = "Usage: fat16 [-i IMAGE] [-p N] get [-r] [-f|-n|-u] [-q] PATH... HOSTDEST\n"
                        "Copies files from the volume to the host, names as stored, with their\n"
                        "modification times. When HOSTDEST is a directory each PATH is copied into it\n"
                        "under its name; otherwise HOSTDEST names the one copy, and - writes the one\n"
                        "file to standard output. A PATH's last component may be a pattern.\n"
                        "\n"
                        "  -r, --recursive   copy directories with everything in them\n"
                        "  -f, --force       replace host files that exist\n"
                        "  -n, --no-clobber  leave host files that exist as they are\n"
                        "  -u, --update      replace a host file only when the volume's file is newer\n"
                        "                    or of another size\n"
                        "  -q, --quiet       no progress line (it is shown on a terminal only)\n"
                        "\n"
                        "Each file that cannot be copied is reported with its reason and the others are\n"
                        "still copied; the exit status is then 1. Names from the volume that could lead\n"
                        "outside HOSTDEST (\"..\", names with '/' or control characters) are not copied:\n"
                        "a warning names each. A copy that fails is removed.\n"
                        "Example: fat16 get -r /logs ./logs-from-card\n";

const char kCatHelp[] = "Usage: fat16 [-i IMAGE] [-p N] cat PATH...\n"
                        "Writes the files to standard output, one after the other; a PATH's last\n"
                        "component may be a pattern.\n";

const char kImportHelp[] = "Usage: fat16 [-i IMAGE] [-p N] import [-f|-n|-u] [-P] [-q] HOSTDIR [DEST]\n"
                           "Copies everything inside host directory HOSTDIR into volume directory DEST\n"
                           "(default: the root; made when missing). Existing directories are merged.\n"
                           "Names are stored exactly as given, each directory's in byte order, with the\n"
                           "host modification times: with SOURCE_DATE_EPOCH set, two imports of one tree\n"
                           "into volumes formatted alike make identical images.\n"
                           "\n"
                           "  -f, --force   replace files that exist on the volume\n"
                           "  -n, --no-clobber   leave files that exist on the volume as they are\n"
                           "  -u, --update  replace only files whose host copy is newer or of another size:\n"
                           "                an image is brought up to date with a changed tree quickly\n"
                           "  -P, --no-dereference   leave symbolic links out (by default they are\n"
                           "                followed, with links back to a directory being copied and\n"
                           "                broken links reported)\n"
                           "  -q, --quiet   no progress line (it is shown on a terminal only)\n"
                           "\n"
                           "Each file or directory that cannot be copied (a name the volume cannot hold,\n"
                           "one that differs only in case from another, no space or no directory entry\n"
                           "left) is reported with its host path and reason, and the rest is copied; the\n"
                           "exit status is then 1.\n";

const char kExportHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N] export [-f|-n|-u] [-q] HOSTDIR\n"
    "Copies the whole volume into host directory HOSTDIR (made when missing), names\n"
    "as stored, with the modification times of files and directories. Names that\n"
    "could lead outside HOSTDIR (empty, \".\", \"..\", with '/' or a control character)\n"
    "are not exported, nor anything inside such a directory: a warning names each,\n"
    "and the exit status is 1.\n"
    "\n"
    "  -f, --force   replace host files that exist\n"
    "  -n, --no-clobber   leave host files that exist as they are\n"
    "  -u, --update  replace only host files older than the volume's or of another size\n"
    "  -q, --quiet   no progress line (it is shown on a terminal only)\n";

const char kCheckHelp[] = "Usage: fat16 [-i IMAGE] [-p N] check\n"
                          "Checks the volume without changing it: boot sector and labels, FAT copies,\n"
                          "cluster chains, lost clusters, file sizes, \".\" and \"..\" entries, 8.3 names,\n"
                          "long names and duplicate names. Exit status 0 when clean, 1 with the problems\n"
                          "listed.\n";

const char kStatHelp[] = "Usage: fat16 [-i IMAGE] [-p N] stat PATH...\n"
                         "Shows every field of each entry: its path, long name and 8.3 name, attributes\n"
                         "(with the byte), size, first cluster, the clusters of its chain with their\n"
                         "fragments, and its creation, modification and access times (local time; the\n"
                         "access time is a date). PATH's last component may be a pattern.\n";

const char kTouchHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N] touch [-c] [-d TIME] PATH...\n"
    "Sets the modification and access times of files and directories to now or to\n"
    "TIME; a missing file is made, empty, with that time.\n"
    "\n"
    "  -d, --date TIME    \"YYYY-MM-DD HH:MM:SS\" (also without the seconds, or a date\n"
    "                     alone), local time as other FAT tools keep it, 1980 to 2107\n"
    "  -c, --no-create    make no file that is missing\n";

const char kDuHelp[] = "Usage: fat16 [-i IMAGE] [-p N] du [-s] [PATH...]\n"
                       "Shows the bytes of the files below each directory PATH (default: the root) and\n"
                       "the clusters they and the directories take, one line a directory, deepest\n"
                       "first; for a file PATH, its bytes and clusters. The root directory's own area\n"
                       "is fixed and not counted.\n"
                       "\n"
                       "  -s, --summarize   one line for each PATH only\n";

const char kShowfatHelp[] = "Usage: fat16 [-i IMAGE] [-p N] showfat PATH...\n"
                            "Shows the cluster chain of each file or directory as runs of consecutive\n"
                            "clusters (\"2-9 14-20\") and how many fragments it has.\n";

#if FAT16_WITH_MOUNT
const char kMountHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N | --offset BYTES] mount [-r] [-f] [-o OPTIONS] MOUNTPOINT\n"
    "Mounts the volume on the host folder MOUNTPOINT through FUSE, without root, so\n"
    "that any program can use its files; 'fusermount3 -u MOUNTPOINT' unmounts it.\n"
    "Without -f the command returns once the volume is mounted and serves it in\n"
    "the background until then.\n"
    "\n"
    "  -r, --read-only    mount read-only: nothing is written to the image\n"
    "  -f, --foreground   serve in the foreground (messages go to standard error)\n"
    "  -o, --options OPTIONS   FUSE mount options, comma-separated (allow_other, ...)\n"
    "\n"
    "Files and directories belong to the mounting user: directories 0755, files\n"
    "0644, entries with the read-only attribute without write bits (chmod a-w sets\n"
    "the attribute, chmod u+w clears it). Names are matched without regard to\n"
    "case; a name the volume cannot hold is refused (EINVAL), the reason written\n"
    "to standard error (shown with -f). Symbolic links, hard links and device\n"
    "files are refused (EPERM); a file that is open cannot be removed or renamed\n"
    "(EBUSY). Each write is in the image file when it returns, so a mount that is\n"
    "killed loses at most the write it was doing; fsync also has the host write\n"
    "the image to its disk. Do not use the image otherwise while it is mounted,\n"
    "nor before the mount process has ended after the unmount.\n"
    "Example: fat16 -i card.img mount /tmp/card && cp -r photos /tmp/card/ &&\n"
    "         fusermount3 -u /tmp/card\n";
#endif

struct Command {
    const char *name;
    int (*run)(const GlobalOptions &, const std::vector<std::string> &);
    const char *help;
};

const Command kCommands[] = {
    {"format", cmd_format, kFormatHelp},
    {"info", cmd_info, kInfoHelp},
    {"ls", cmd_ls, kLsHelp},
    {"tree", cmd_tree, kTreeHelp},
    {"mkdir", cmd_mkdir, kMkdirHelp},
    {"rmdir", cmd_rmdir, kRmdirHelp},
    {"rm", cmd_rm, kRmHelp},
    {"mv", cmd_mv, kMvHelp},
    {"attrib", cmd_attrib, kAttribHelp},
    {"label", cmd_label, kLabelHelp},
    {"put", cmd_put, kPutHelp},
    {"get", cmd_get, kGetHelp},
    {"cat", cmd_cat, kCatHelp},
    {"import", cmd_import, kImportHelp},
    {"export", cmd_export, kExportHelp},
    {"check", cmd_check, kCheckHelp},
    {"stat", cmd_stat, kStatHelp},
    {"touch", cmd_touch, kTouchHelp},
    {"du", cmd_du, kDuHelp},
    {"showfat", cmd_showfat, kShowfatHelp},
#if FAT16_WITH_MOUNT
    {"mount", cmd_mount, kMountHelp},
#endif
};

const Command *find_command(const std::string &name) {
    for (const Command &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

int usage_error(const std::string &message) {
    fprintf(stderr, "fat16: %s\nTry 'fat16 --help'.\n", message.c_str());
    return kExitUsage;
}

int run(int argc, char **argv) {
    GlobalOptions g;
    int i = 1;
    for (; i < argc; i++) {
        std::string a = argv[i];
        // "--name=VALUE" or "--name VALUE" (and "-x VALUE").
        auto value = [&](const char *long_form, std::string *out) {
            size_t n = strlen(long_form);
            if (a.size() > n && a.compare(0, n, long_form) == 0 && a[n] == '=') {
                *out = a.substr(n + 1);
                return true;
            }
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        auto is = [&](const char *short_form, const char *long_form) {
            size_t n = strlen(long_form);
            return (short_form != nullptr && a == short_form) ||
                   (a.compare(0, n, long_form) == 0 && (a.size() == n || a[n] == '='));
        };
        if (a == "-h" || a == "--help") {
            fputs(kToolHelp, stdout);
            return kExitOk;
        }
        if (a == "--version") {
            printf("fat16 %s\n", FAT16_VERSION);
            return kExitOk;
        }
        if (a == "-q" || a == "--quiet") {
            g.quiet = true;
        } else if (a == "--force") {
            g.force = true;
        } else if (is("-i", "--image")) {
            if (!value("--image", &g.image)) return usage_error("option " + a + " needs IMAGE");
            if (g.image.empty()) return usage_error("IMAGE may not be empty");
        } else if (is("-p", "--partition")) {
            std::string n;
            if (!value("--partition", &n)) return usage_error("option " + a + " needs N");
            if (n.empty() || n.size() > 3 || n.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(n) < 1 || std::stoi(n) > 128)
                return usage_error("the partition N is 1 to 4 (MBR) or 1 to 128 (GPT)");
            g.partition = std::stoi(n);
        } else if (is(nullptr, "--offset")) {
            std::string n;
            if (!value("--offset", &n)) return usage_error("option " + a + " needs BYTES");
            if (!parse_size(n, &g.offset) || g.offset % FS_SECTOR_SIZE != 0 ||
                g.offset / FS_SECTOR_SIZE >= FS_SECTOR_LIMIT)
                return usage_error(
                    "--offset takes a multiple of 512 bytes (K, M, G: 1,024-based) below 2 GiB");
            g.offset_given = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else {
            break;
        }
    }
    if (g.partition != 0 && g.offset_given) return usage_error("give -p N or --offset BYTES, not both");
    std::string epoch_error;
    if (!read_source_date_epoch(&epoch_error)) return usage_error(epoch_error);
    if (i >= argc) return usage_error("missing COMMAND");
    std::string name = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    if (name == "help") {
        if (args.empty()) {
            fputs(kToolHelp, stdout);
            return kExitOk;
        }
        const Command *c = find_command(args[0]);
        if (c == nullptr) return usage_error("no command " + args[0]);
        fputs(c->help, stdout);
        return kExitOk;
    }
    const Command *c = find_command(name);
    if (c == nullptr) return usage_error("unknown command " + name);
    return c->run(g, args);
}

} // namespace

const char *help_text(const std::string &command) {
    const Command *c = find_command(command);
    return c != nullptr ? c->help : kToolHelp;
}

} // namespace fat16tool

int main(int argc, char **argv) {
    // The words as UTF-8 (on Windows from the UTF-16 command line).
    std::vector<std::string> words = fat16tool::host_start(argc, argv);
    std::vector<char *> pointers;
    for (std::string &w : words) pointers.push_back(&w[0]);
    pointers.push_back(nullptr);
    return fat16tool::run((int)words.size(), pointers.data());
}
