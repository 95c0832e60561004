// The format command: a volume over a whole image file, at an offset, in a
// partition of an existing table, or on a new disk image with an MBR
// partition table of one FAT16 partition.
#include <errno.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "tool.h"

namespace fat16tool {

namespace {

// Where --mbr puts its partition: 1 MiB from the start, as disk tools align.
constexpr uint32_t kMbrFirstSector = 2048;
// Heads and sectors per track of the CHS fields of a partition table; past
// 1,024 cylinders of this geometry a partition needs the LBA type 0x0E.
constexpr uint32_t kChsHeads = 255;
constexpr uint32_t kChsSectors = 63;
constexpr uint32_t kChsLimit = 1024 * kChsHeads * kChsSectors;
// A boot sector's jump, its boot code (after the extended BPB) and the
// 55 AA signature that ends it.
constexpr size_t kJumpBytes = 3;
constexpr size_t kBootCodeAt = 62;
constexpr size_t kSignatureAt = 510;

struct FormatRequest {
    bool force = false;
    std::string oem;
    bool boot_given = false; // --boot: the boot code comes from `boot`
    std::array<uint8_t, FS_SECTOR_SIZE> boot{};
    bool quiet = false; // -q: no line about what was made
    bool driver_layout = false;
    bool mbr = false;
    bool size_given = false;
    uint64_t sectors = 0; // with size_given
    FsFormatOptions options{};
    std::string label;
};

// Where the volume goes and how the result is named in messages.
struct Place {
    uint32_t first = 0; // the volume's first sector
    std::string name;   // "" for a whole image, " partition 1", " at offset N"
    uint64_t room = 0;  // sectors the volume may take (0: no limit)
};

// Makes the host file `path` at least `bytes` long. The new part stays
// sparse where the host allows.
bool extend_file(const std::string &path, uint64_t bytes, std::string *reason) {
    int fd = host_open_read_write(path);
    if (fd < 0) {
        *reason = host_error_text(errno);
        return false;
    }
    HostStat st;
    bool ok = host_fstat(fd, &st);
    if (ok && st.size < bytes && !host_set_size(fd, bytes)) {
        *reason = host_error_text(errno);
        ok = false;
    }
    if (!host_close(fd) && ok) {
        *reason = host_error_text(errno);
        ok = false;
    }
    return ok;
}

// True when the file's first bytes (up to a sector) are all zero.
bool starts_blank(const std::string &path, uint64_t offset) {
    uint8_t head[FS_SECTOR_SIZE];
    size_t n = 0;
    host_read_at(path, offset, head, sizeof head, &n);
    return std::all_of(head, head + n, [](uint8_t b) { return b == 0; });
}

// Writes a partition table of one primary partition (entry 1) to sector 0.
bool write_mbr(uint32_t first, uint32_t count, uint32_t signature) {
    uint8_t mbr[FS_SECTOR_SIZE] = {0};
    le_put(mbr + 440, signature, 4);
    uint8_t *e = mbr + 446;
    auto chs = [](uint32_t lba, uint8_t *out) {
        uint32_t c = lba / (kChsHeads * kChsSectors);
        uint32_t h = (lba / kChsSectors) % kChsHeads;
        uint32_t s = lba % kChsSectors + 1;
        if (lba >= kChsLimit) {
            c = 1023;
            h = kChsHeads - 1;
            s = kChsSectors;
        }
        out[0] = (uint8_t)h;
        out[1] = (uint8_t)(s | ((c >> 2) & 0xC0));
        out[2] = (uint8_t)c;
    };
    uint32_t last = first + count - 1;
    chs(first, e + 1);
    e[4] = last >= kChsLimit ? 0x0E : 0x06;
    chs(last, e + 5);
    le_put(e + 8, first, 4);
    le_put(e + 12, count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    return disk_write_sector(mbr, 0) == FS_OK;
}

std::string size_hint(const FormatRequest &r) {
    if (r.driver_layout) {
        uint32_t min = 0, max = 0;
        fs_format_at_limits(&min, &max);
        return " (the driver's layout takes " + std::to_string(min) + " to " + std::to_string(max) +
               " sectors)";
    }
    if (r.options.sectors_per_cluster != 0) {
        uint64_t cluster = (uint64_t)r.options.sectors_per_cluster * FS_SECTOR_SIZE;
        return " (clusters of " + std::to_string(cluster) + " bytes need a volume of about " +
               std::to_string(cluster * FS_MIN_CLUSTERS / 1024) + " KiB to " +
               std::to_string(cluster * FS_MAX_CLUSTERS / 1024) +
               " KiB; a FAT16 volume has 4,085 to 65,524 clusters)";
    }
    return " (a FAT16 volume has 4,085 to 65,524 clusters of at most 64 KiB, and this library reaches 2 GiB)";
}

// Formats `sectors` sectors from `first` and says what was made.
int finish_format(Reporter &report, const GlobalOptions &g, const FormatRequest &r, const Place &place,
                  uint64_t sectors, uint64_t image_sectors) {
    // The volume id and the label's time come from the tool's clock.
    install_clock();
    FsStatus made;
    if (r.driver_layout) {
        made = fs_format_at(place.first, (uint32_t)sectors);
    } else {
        FsFormatOptions o = r.options;
        o.first_sector = place.first;
        o.total_sectors = (uint32_t)sectors;
        made = fs_format_volume(&o);
    }
    if (made != FS_OK) {
        std::string reason = library_reason();
        if (fs_last_error() == FS_ERR_VOLUME_SIZE)
            reason = std::to_string(sectors) + " sectors: " + reason + size_hint(r);
        report.error(g.image, "cannot format: " + reason);
        return kExitFail;
    }
    if (r.boot_given) {
        // The jump, the boot code and its message from the file; the BPB,
        // the volume id, the label and the signature stay as formatted.
        uint8_t sector[FS_SECTOR_SIZE];
        if (disk_read_sector(sector, place.first) == FS_OK) {
            std::copy(r.boot.begin(), r.boot.begin() + kJumpBytes, sector);
            std::copy(r.boot.begin() + kBootCodeAt, r.boot.begin() + kSignatureAt, sector + kBootCodeAt);
            disk_write_sector(sector, place.first);
        }
        disk_flush();
    }
    if (disk_take_error() != FS_OK) {
        report.error(g.image, "formatting failed: " + reason_text(FS_ERR_IO));
        return kExitFail;
    }
    GlobalOptions mounted = g;
    if (r.mbr) mounted.partition = 1;
    if (mount_volume(mounted, image_sectors) != FS_OK) {
        report.error(g.image, "the new volume does not mount: " + library_reason());
        return kExitFail;
    }
    if (!r.quiet)
        printf("formatted %s%s: %llu sectors (%llu bytes), %u clusters of %u bytes\n", g.image.c_str(),
               place.name.c_str(), (unsigned long long)sectors, (unsigned long long)sectors * FS_SECTOR_SIZE,
               VolumeGeometry.cluster_count, (unsigned)VolumeGeometry.sectors_per_cluster * FS_SECTOR_SIZE);
    return kExitOk;
}

const char kHoldsVolume[] = "already holds a volume (--force formats it anew; everything on it is lost)";

int format_partition(const GlobalOptions &g, Reporter &report, const FormatRequest &r) {
    Image image;
    // The partition table comes from other tools: the image must exist.
    HostStat st;
    if (!host_stat(g.image, &st)) {
        report.error(g.image, "cannot open the image: " + host_error_text(errno) +
                                  " (make the partition table first, for example with sfdisk, or use --mbr)");
        return kExitFail;
    }
    const bool usable = st.kind == HostStat::FILE || st.block_device;
    if (st.block_device && !device_writable(g, g.image, report)) return kExitFail;
    if (!usable || !open_image_fixed(g.image, true)) {
        report.error(g.image, "cannot open the image: " +
                                  (usable ? host_error_text(errno) : "not a regular file or block device"));
        return kExitFail;
    }
    image.attach(g.image);
    if (disk_read_only()) {
        report.error(g.image, "the image is read-only");
        return kExitFail;
    }
    FsPartition p;
    std::string reason;
    if (!read_partition(g.partition, &p, &reason)) {
        report.error(g.image, reason);
        return kExitFail;
    }
    Place place;
    place.first = p.first_sector;
    place.name = " partition " + std::to_string(g.partition);
    std::string name = place.name.substr(1);
    uint64_t sectors = r.size_given ? r.sectors : p.sector_count;
    if (sectors > p.sector_count) {
        report.error(g.image, "the size " + std::to_string(sectors) + " sectors is more than " + name +
                                  " holds (" + std::to_string(p.sector_count) + " sectors)");
        return kExitFail;
    }
    if ((uint64_t)p.first_sector + sectors > FS_SECTOR_LIMIT) {
        report.error(
            g.image,
            name + " starts at sector " + std::to_string(p.first_sector) + ": a volume there has " +
                std::to_string(p.first_sector < FS_SECTOR_LIMIT ? FS_SECTOR_LIMIT - p.first_sector : 0) +
                " sectors at most, since the library cannot address sectors from " +
                std::to_string(FS_SECTOR_LIMIT) + " on (give --size)");
        return kExitFail;
    }
    const uint64_t image_bytes = disk_image_bytes();
    if (image_bytes < ((uint64_t)p.first_sector + sectors) * FS_SECTOR_SIZE) {
        report.error(g.image, name + " reaches past the end of the image file");
        return kExitFail;
    }
    FsProbe probe = fs_probe(p.first_sector, nullptr);
    if (probe == FS_PROBE_UNREADABLE) {
        report.error(g.image, "cannot read the first sector of " + name);
        return kExitFail;
    }
    if (!r.force && probe != FS_PROBE_BLANK) {
        report.error(g.image, name + (probe == FS_PROBE_OTHER
                                          ? " holds data that is not a FAT volume (--force formats over it)"
                                          : std::string(" ") + kHoldsVolume));
        return kExitFail;
    }
    disk_take_error();
    return finish_format(report, g, r, place, sectors, image_bytes / FS_SECTOR_SIZE);
}

// A whole image, a volume at --offset, or a new disk image with --mbr.
int format_file(const GlobalOptions &g, Reporter &report, const FormatRequest &r) {
    Place place;
    if (r.mbr) {
        place.first = kMbrFirstSector;
        place.name = " partition 1";
    } else if (g.offset_given && g.offset != 0) {
        place.first = (uint32_t)(g.offset / FS_SECTOR_SIZE);
        place.name = " at offset " + std::to_string(g.offset);
    }
    // With --mbr the table goes into sector 0; otherwise the volume's first
    // sector is what must not be lost.
    const uint32_t looked_at = r.mbr ? 0 : place.first;
    HostStat st;
    bool exists = host_stat(g.image, &st);
    // A block device (a card, a partition, a loop device) is formatted in
    // place: it neither grows nor shrinks, and is never removed.
    const bool device = exists && st.block_device;
    if (exists && st.kind != HostStat::FILE && !device) {
        report.error(g.image, "cannot format: not a regular file or block device");
        return kExitFail;
    }
    if (!exists && errno != ENOENT) {
        report.error(g.image, "cannot open the image: " + host_error_text(errno));
        return kExitFail;
    }
    if (device && !device_writable(g, g.image, report)) return kExitFail;
    // A whole disk normally holds a partition table; a volume over all of
    // it is what some cameras and boot ROMs want, so it takes --force.
    if (device && !r.mbr && !r.force && !g.offset_given && !host_device_is_partition(g.image)) {
        report.error(g.image, "is a whole disk: --mbr formats it with a partition table of one partition, as "
                              "cards come; --force puts the volume on the whole disk without one");
        return kExitFail;
    }
    uint64_t old_bytes = exists ? st.size : 0;
    if (exists) {
        if (!open_image_fixed(g.image, true)) {
            report.error(g.image, "cannot open the image: " + host_error_text(errno));
            return kExitFail;
        }
        if (device) old_bytes = disk_image_bytes();
        FsProbe probe = fs_probe(looked_at, nullptr);
        bool read_only = disk_read_only() != 0;
        disk_close_image();
        if (read_only) {
            report.error(g.image, "the image is read-only");
            return kExitFail;
        }
        std::string where = place.first != 0 && !r.mbr ? "offset " + std::to_string(g.offset) + " " : "";
        if (!r.force && probe != FS_PROBE_UNREADABLE && probe != FS_PROBE_BLANK && probe != FS_PROBE_OTHER) {
            report.error(
                g.image,
                probe == FS_PROBE_FAT16 || probe == FS_PROBE_SECTOR_SIZE || probe == FS_PROBE_UNSUPPORTED_FAT
                    ? where + kHoldsVolume
                    : where + "already holds a partition table or another boot sector (-p N formats a "
                              "partition; --force formats over it)");
            return kExitFail;
        }
        // A file that begins with data of another kind is no blank image: a
        // mistyped name must not destroy it. (A file shorter than a sector
        // is looked at on the host.)
        if (!r.force && !starts_blank(g.image, (uint64_t)looked_at * FS_SECTOR_SIZE)) {
            report.error(g.image, where + "holds data that is not a FAT volume (--force formats over it)");
            return kExitFail;
        }
    }
    const uint64_t old_sectors = old_bytes / FS_SECTOR_SIZE;
    // Without a size an existing image keeps its size; a new one gets the
    // driver's.
    uint64_t total = 0; // sectors of the volume (with --mbr: of the whole disk)
    const uint64_t start = r.mbr ? 0 : place.first;
    if (r.size_given)
        total = r.sectors;
    else if (old_sectors > start)
        total = old_sectors - start;
    else
        total = kDefaultSectors;
    uint64_t sectors = r.mbr ? (total > kMbrFirstSector ? total - kMbrFirstSector : 0) : total;
    uint64_t end = r.mbr ? total : place.first + total;
    if (end > FS_SECTOR_LIMIT || sectors == 0) {
        report.error(g.image, "cannot format: " + std::to_string(end) + " sectors reach past sector " +
                                  std::to_string(FS_SECTOR_LIMIT) + ", the last the library can address" +
                                  (r.size_given ? "" : " (give a smaller --size)"));
        return kExitFail;
    }
    if (device && end > old_sectors) {
        report.error(g.image, "cannot format: " + std::to_string(end * FS_SECTOR_SIZE) +
                                  " bytes do not fit the device's " + std::to_string(old_bytes));
        return kExitFail;
    }
    if (!exists) {
        int fd = host_create(g.image, false);
        if (fd < 0) {
            report.error(g.image, "cannot create the image: " + host_error_text(errno));
            return kExitFail;
        }
        host_close(fd);
    }
    // A failure leaves the file as it was: a new one removed, an extended one
    // cut back to its old length.
    auto undo = [&]() {
        if (device) return;
        if (!exists)
            host_unlink(g.image);
        else if (!host_truncate(g.image, old_bytes))
            report.warning(g.image, "cannot restore the image's old length: " + host_error_text(errno));
    };
    std::string reason;
    if (!device && !extend_file(g.image, end * FS_SECTOR_SIZE, &reason)) {
        report.error(g.image, "cannot make the image " + std::to_string(end * FS_SECTOR_SIZE) +
                                  " bytes long: " + reason);
        undo();
        return kExitFail;
    }
    if (!(device ? open_image_fixed(g.image, true) : open_image_file(g.image))) {
        report.error(g.image, "cannot open the image: " + host_error_text(errno));
        undo();
        return kExitFail;
    }
    int status = kExitFail;
    {
        Image image;
        image.attach(g.image);
        bool table = true;
        if (r.mbr) {
            // The disk signature, like the volume id, comes from the time
            // (SOURCE_DATE_EPOCH when set) unless a volume id is given.
            FsDateTime t = entry_time(host_now());
            uint32_t signature = r.options.volume_id_given
                                     ? r.options.volume_id
                                     : ((uint32_t)t.year << 20) ^ ((uint32_t)t.month << 16) ^
                                           ((uint32_t)t.day << 11) ^ ((uint32_t)t.hour << 6) ^
                                           ((uint32_t)t.minute << 1) ^ t.second;
            table = write_mbr(kMbrFirstSector, (uint32_t)sectors, signature);
            if (!table) report.error(g.image, "cannot write the partition table: " + reason_text(FS_ERR_IO));
        }
        if (table) status = finish_format(report, g, r, place, sectors, std::max<uint64_t>(old_sectors, end));
    }
    if (status != kExitOk) undo();
    return status;
}

bool parse_number(const std::string &text, uint64_t *out) {
    if (text.empty() || text.size() > 12) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    *out = v;
    return true;
}

} // namespace

// "1234ABCD", "1234-ABCD" or "0x1234abcd".
bool parse_volume_id(std::string text, uint32_t *out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
    if (text.size() == 9 && text[4] == '-') text.erase(4, 1);
    if (text.empty() || text.size() > 8) return false;
    uint32_t v = 0;
    for (char c : text) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) return false;
        v = v * 16 + (uint32_t)d;
    }
    *out = v;
    return true;
}

int cmd_format(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("format");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args,
                        {{"-s", "--sectors", true},
                         {nullptr, "--size", true},
                         {"-f", "--force", false},
                         {nullptr, "--cluster-size", true},
                         {nullptr, "--root-entries", true},
                         {nullptr, "--fats", true},
                         {nullptr, "--label", true},
                         {nullptr, "--volume-id", true},
                         {nullptr, "--layout", true},
                         {nullptr, "--mbr", false},
                         {nullptr, "--reserved", true},
                         {nullptr, "--media", true},
                         {nullptr, "--oem", true},
                         {nullptr, "--boot", true}},
                        &a, &status))
        return status;
    if (!a.operands.empty()) return report.usage("unexpected argument " + a.operands[0]);
    FormatRequest r;
    r.force = a.has("--force");
    r.quiet = a.has("--quiet") || g.quiet;
    r.mbr = a.has("--mbr");
    const std::string *sectors = a.value("--sectors");
    const std::string *size = a.value("--size");
    if (sectors != nullptr && size != nullptr) return report.usage("give --size or --sectors, not both");
    if (sectors != nullptr) {
        if (!parse_number(*sectors, &r.sectors) || r.sectors == 0)
            return report.usage("--sectors takes a whole number of sectors");
        r.size_given = true;
    }
    if (size != nullptr) {
        uint64_t bytes = 0;
        if (!parse_size(*size, &bytes) || bytes == 0)
            return report.usage(
                "--size takes bytes with K, M or G (1,024-based), or sectors with s: 64M, 131072s");
        if (bytes % FS_SECTOR_SIZE != 0)
            return report.usage("--size must be a whole number of 512-byte sectors");
        r.sectors = bytes / FS_SECTOR_SIZE;
        r.size_given = true;
    }
    if (r.size_given && r.sectors > FS_SECTOR_LIMIT)
        return report.usage("the size is more than the " + std::to_string(FS_SECTOR_LIMIT) +
                            " sectors (2 GiB) the library can address");
    const std::string *layout = a.value("--layout");
    if (layout != nullptr && *layout != "driver" && *layout != "standard")
        return report.usage("--layout is driver (the driver's fixed layout) or standard");
    r.driver_layout = layout != nullptr && *layout == "driver";
    FsFormatOptions &o = r.options;
    if (const std::string *v = a.value("--cluster-size")) {
        uint64_t bytes = 0;
        if (!parse_size(*v, &bytes) || bytes < FS_SECTOR_SIZE || bytes > 65536 || (bytes & (bytes - 1)) != 0)
            return report.usage("--cluster-size is 512, 1K, 2K, 4K, 8K, 16K, 32K or 64K bytes");
        o.sectors_per_cluster = (uint32_t)(bytes / FS_SECTOR_SIZE);
    }
    if (const std::string *v = a.value("--root-entries")) {
        uint64_t n = 0;
        if (!parse_number(*v, &n) || n == 0 || n > 65520)
            return report.usage("--root-entries takes 1 to 65520 (rounded up to a multiple of 16)");
        o.root_entries = (uint32_t)n;
    }
    if (const std::string *v = a.value("--fats")) {
        if (*v != "1" && *v != "2") return report.usage("--fats is 1 or 2");
        o.fat_count = (uint32_t)(*v)[0] - '0';
    }
    if (const std::string *v = a.value("--label")) {
        uint8_t label11[11];
        if (fs_label_form(v->c_str(), label11) != FS_OK)
            return report.usage(std::string("--label takes ") + kLabelRule);
        r.label = *v;
        o.label = r.label.c_str();
    }
    if (const std::string *v = a.value("--volume-id")) {
        if (!parse_volume_id(*v, &o.volume_id))
            return report.usage("--volume-id takes up to 8 hexadecimal digits (1234ABCD or 1234-ABCD)");
        o.volume_id_given = 1;
    }
    if (const std::string *v = a.value("--reserved")) {
        uint64_t n = 0;
        if (!parse_number(*v, &n) || n == 0 || n > 65535)
            return report.usage("--reserved takes 1 to 65535 sectors (the boot sector is the first)");
        o.reserved_sectors = (uint32_t)n;
    }
    if (const std::string *v = a.value("--media")) {
        uint32_t media = 0;
        if (!parse_volume_id(*v, &media) || (media != 0xF0 && (media < 0xF8 || media > 0xFF)))
            return report.usage("--media is F0 or F8 to FF (hexadecimal; F8 for a fixed disk)");
        o.media = (uint8_t)media;
    }
    if (const std::string *v = a.value("--oem")) {
        if (v->empty() || v->size() > 8 || std::any_of(v->begin(), v->end(), [](char c) {
                return (unsigned char)c < 0x20 || (unsigned char)c > 0x7E;
            }))
            return report.usage("--oem takes 1 to 8 printable ASCII characters");
        r.oem = *v;
        o.oem_name = r.oem.c_str();
    }
    if (const std::string *v = a.value("--boot")) {
        int fd = host_open_read(*v);
        bool read = fd >= 0 && host_read(fd, r.boot.data(), r.boot.size()) == (long long)r.boot.size();
        uint8_t extra = 0;
        bool longer = read && host_read(fd, &extra, 1) > 0;
        if (fd >= 0) host_close(fd);
        if (!read || longer)
            return report.usage(
                "--boot takes a file of exactly 512 bytes (a boot sector whose code and message "
                "are copied)");
        r.boot_given = true;
    }
    if (r.driver_layout && (o.sectors_per_cluster != 0 || o.root_entries != 0 || o.fat_count != 0 ||
                            a.value("--label") != nullptr || o.volume_id_given || o.reserved_sectors != 0 ||
                            o.media != 0 || o.oem_name != nullptr))
        return report.usage(
            "the driver's layout is fixed: it takes no --cluster-size, --root-entries, --fats, "
            "--label, --volume-id, --reserved, --media or --oem");
    if (r.mbr && g.partition != 0) return report.usage("--mbr makes partition 1 itself; leave out -p");
    if (r.mbr && g.offset_given) return report.usage("--mbr puts the volume at 1 MiB; leave out --offset");
    if (g.partition != 0) return format_partition(g, report, r);
    return format_file(g, report, r);
}

} // namespace fat16tool
