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
    "Usage: fat16 [-i IMAGE] [-p N] [-q] COMMAND [ARGS]\n"
    "Makes, inspects and changes FAT16 volumes kept in image files.\n"
    "\n"
    "Options before the command:\n"
    "  -i, --image IMAGE    the image file (default: fat16.img)\n"
    "  -p, --partition N    use primary partition N (1 to 4) of an MBR-partitioned image\n"
    "  -q, --quiet          no progress line during long transfers\n"
    "  -h, --help           this help; 'fat16 COMMAND --help' explains a command\n"
    "\n"
    "Commands:\n"
    "  format [--sectors N] [--force]     make the image and format it\n"
    "  info                               geometry, capacity, free space, counts\n"
    "  ls [-l] [PATH]                     list a directory (or one file)\n"
    "  tree [PATH]                        draw the tree below a directory\n"
    "  mkdir [-p] PATH...                 make directories\n"
    "  rmdir PATH...                      remove empty directories\n"
    "  rm PATH...                         remove files\n"
    "  mv PATH NEWNAME                    rename a file in its directory\n"
    "  put [-r] [-f] HOSTPATH... DEST     copy host files (and with -r directories) in\n"
    "  get [-r] [-f] PATH... HOSTDEST     copy files (and with -r directories) out\n"
    "  cat PATH...                        write files to standard output\n"
    "  import [-f] HOSTDIR [DEST]         copy the contents of a host directory in\n"
    "  export [-f] HOSTDIR                copy the whole volume out into a host directory\n"
    "  check                              check the volume's consistency (reads only)\n"
    "\n"
    "Paths on the volume use '/' or '\\' and may begin with the drive prefix C:;\n"
    "every path starts at the root (\"docs/a.txt\" is \"/docs/a.txt\"). Names are\n"
    "matched without regard to case. The volume keeps long names as given and 8.3\n"
    "names (at most 8 characters, a '.' and at most 3) in capitals: mkdir stores a\n"
    "short name in capitals, mv every new name; put and import refuse a host name\n"
    "that would not come back as given unless --capitals accepts capitals.\n"
    "File names hold at most one '.' with an extension of at most 3 characters and\n"
    "do not begin with '.'; directory names hold no '.'.\n"
    "\n"
    "Exit status: 0 on success, 1 when anything failed (each failure is reported\n"
    "on standard error with its reason), 2 for a usage error.\n";

const char kFormatHelp[] = "Usage: fat16 [-i IMAGE] [-p N] format [--sectors N] [--force]\n"
                           "Formats the image as one FAT16 volume, creating the image file when it is\n"
                           "missing (and making it longer when it is shorter than the volume). With -p N\n"
                           "it formats primary partition N of an image that already holds a partition\n"
                           "table (made with another tool, for example sfdisk; type 0x04, 0x06 or 0x0E).\n"
                           "The layout: 64-sector clusters, 2 FATs of 256 sectors, 1,024 root entries.\n"
                           "\n"
                           "  -s, --sectors N   sectors of 512 bytes in the volume: 262017 to 4194176\n"
                           "                    (default 483328, or with -p the partition's size)\n"
                           "  -f, --force       format over an existing volume; everything on it is lost\n"
                           "\n"
                           "An image or partition that already holds a volume, or whose first sector holds\n"
                           "other data, is refused without --force.\n"
                           "Example: fat16 -i sd.img format --sectors 1048576\n";

const char kInfoHelp[] = "Usage: fat16 [-i IMAGE] [-p N] info\n"
                         "Shows the volume's geometry, its capacity and free space in bytes and in\n"
                         "sectors, and how many files (with their bytes) and directories it holds.\n";

const char kLsHelp[] = "Usage: fat16 [-i IMAGE] [-p N] ls [-l] [PATH]\n"
                       "Lists the directory PATH (default: the root), or the file PATH, one name a\n"
                       "line, as stored on the volume; directories end in '/'.\n"
                       "\n"
                       "  -l, --long   also the attributes (d directory, r read-only, h hidden,\n"
                       "               s system, a archive) and the size in bytes\n";

const char kTreeHelp[] = "Usage: fat16 [-i IMAGE] [-p N] tree [PATH]\n"
                         "Draws every directory and file below PATH (default: the root), names as\n"
                         "stored, directories ending in '/', then counts them.\n";

const char kMkdirHelp[] = "Usage: fat16 [-i IMAGE] [-p N] mkdir [-p] PATH...\n"
                          "Makes directories. Directory names hold no '.'; a name of 8 characters at\n"
                          "most is stored in capitals (docs becomes DOCS), a longer one as given.\n"
                          "\n"
                          "  -p, --parents   make missing parent directories too; existing ones are fine\n";

const char kRmdirHelp[] = "Usage: fat16 [-i IMAGE] [-p N] rmdir PATH...\n"
                          "Removes empty directories.\n";

const char kRmHelp[] = "Usage: fat16 [-i IMAGE] [-p N] rm PATH...\n"
                       "Removes files (not directories: see rmdir).\n";

const char kMvHelp[] = "Usage: fat16 [-i IMAGE] [-p N] mv PATH NEWNAME\n"
                       "Renames the file PATH to NEWNAME in the same directory (NEWNAME is a name,\n"
                       "not a path). Directories cannot be renamed. The new name is stored in\n"
                       "capitals (draft.txt becomes DRAFT.TXT).\n"
                       "Example: fat16 mv /docs/draft.txt FINAL.TXT\n";

const char kPutHelp[] = "Usage: fat16 [-i IMAGE] [-p N] put [-r] [-f] [-q] [--capitals] HOSTPATH... DEST\n"
                        "Copies host files onto the volume. When DEST is a directory each HOSTPATH is\n"
                        "copied into it under its own name; otherwise DEST names the one copy.\n"
                        "\n"
                        "  -r, --recursive   copy directories with everything in them\n"
                        "  -f, --force       replace files that exist on the volume\n"
                        "  -q, --quiet       no progress line (it is shown on a terminal only)\n"
                        "  --capitals        accept short names stored in capitals (readme.txt becomes\n"
                        "                    README.TXT); otherwise such names are refused\n"
                        "\n"
                        "Host names the volume cannot hold as given are refused with the reason, and\n"
                        "the rest is copied; symbolic links and special files inside directories are\n"
                        "not copied. A copy that fails (no space left, an I/O error) is removed.\n"
                        "Example: fat16 put -r firmware/ /\n";

const char kGetHelp[] = "Usage: fat16 [-i IMAGE] [-p N] get [-r] [-f] [-q] PATH... HOSTDEST\n"
                        "Copies files from the volume to the host. When HOSTDEST is a directory each\n"
                        "PATH is copied into it under its name; otherwise HOSTDEST names the one copy.\n"
                        "\n"
                        "  -r, --recursive   copy directories with everything in them\n"
                        "  -f, --force       replace host files that exist\n"
                        "  -q, --quiet       no progress line (it is shown on a terminal only)\n"
                        "\n"
                        "Names from the volume that could lead outside HOSTDEST (\"..\", names with '/'\n"
                        "or control characters) are not copied: a warning names each, and the exit\n"
                        "status is 1. A copy that fails is removed.\n"
                        "Example: fat16 get -r /logs ./logs-from-card\n";

const char kCatHelp[] = "Usage: fat16 [-i IMAGE] [-p N] cat PATH...\n"
                        "Writes the files to standard output, one after the other.\n";

const char kImportHelp[] = "Usage: fat16 [-i IMAGE] [-p N] import [-f] [-q] [--capitals] HOSTDIR [DEST]\n"
                           "Copies everything inside host directory HOSTDIR into volume directory DEST\n"
                           "(default: the root; made when missing). Existing directories are merged.\n"
                           "\n"
                           "  -f, --force   replace files that exist on the volume\n"
                           "  -q, --quiet   no progress line (it is shown on a terminal only)\n"
                           "  --capitals    accept short names stored in capitals; otherwise refused\n"
                           "\n"
                           "Names the volume cannot hold as given are refused with the reason and the rest\n"
                           "is copied; the exit status is then 1. No space left stops the import.\n";

const char kExportHelp[] =
    "Usage: fat16 [-i IMAGE] [-p N] export [-f] [-q] HOSTDIR\n"
    "Copies the whole volume into host directory HOSTDIR (made when missing), names\n"
    "as stored. Names that could lead outside HOSTDIR (empty, \".\", \"..\", with '/'\n"
    "or a control character) are not exported, nor anything inside such a\n"
    "directory: a warning names each, and the exit status is 1.\n"
    "\n"
    "  -f, --force   replace host files that exist\n"
    "  -q, --quiet   no progress line (it is shown on a terminal only)\n";

const char kCheckHelp[] = "Usage: fat16 [-i IMAGE] [-p N] check\n"
                          "Checks the volume without changing it: boot sector, FAT copies, cluster\n"
                          "chains, lost clusters, file sizes, \".\" and \"..\" entries, long names and\n"
                          "duplicate names. Exit status 0 when clean, 1 with the problems listed.\n";

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
    {"put", cmd_put, kPutHelp},
    {"get", cmd_get, kGetHelp},
    {"cat", cmd_cat, kCatHelp},
    {"import", cmd_import, kImportHelp},
    {"export", cmd_export, kExportHelp},
    {"check", cmd_check, kCheckHelp},
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
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        if (a == "-h" || a == "--help") {
            fputs(kToolHelp, stdout);
            return kExitOk;
        }
        if (a == "-q" || a == "--quiet") {
            g.quiet = true;
        } else if (a == "-i" || a == "--image" || a.rfind("--image=", 0) == 0) {
            if (a.size() > 7 && a[7] == '=')
                g.image = a.substr(8);
            else if (!value(&g.image))
                return usage_error("option " + a + " needs IMAGE");
            if (g.image.empty()) return usage_error("IMAGE may not be empty");
        } else if (a == "-p" || a == "--partition" || a.rfind("--partition=", 0) == 0) {
            std::string n;
            if (a.size() > 11 && a[11] == '=')
                n = a.substr(12);
            else if (!value(&n))
                return usage_error("option " + a + " needs N");
            if (n.size() != 1 || n[0] < '1' || n[0] > '4')
                return usage_error("the partition N is 1, 2, 3 or 4");
            g.partition = n[0] - '0';
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else {
            break;
        }
    }
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

int main(int argc, char **argv) { return fat16tool::run(argc, argv); }
