// Partition list of the storage pass: built from /proc/partitions, completed
// from /proc/mounts, and dumped as a table while /var/debug exists.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_text.h"
#include "hotplug/hp_log.h"

bool hp_read_line(FILE* f, char* buf, size_t size, bool* cut) {
    size_t n = 0;
    bool any = false;
    *cut = false;
    int c;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (n + 1 < size)
            buf[n++] = (char)c;
        else if (c != '\n')
            *cut = true;  // only a line end that does not fit is no loss
        if (c == '\n') break;
    }
    if (size > 0) buf[n] = '\0';
    return any;
}

namespace {

using hp_text::is_digit;

void copy_field(char* dst, size_t size, std::string_view src) {
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace

void hp_parse_partition_line(std::string_view line, bool cut, hp_partition* node, bool* whole_disk) {
    using namespace hp_text;
    if (whole_disk) *whole_disk = false;
    long long major = 0, minor = 0, blocks = 0;
    bool named = false;
    if (take_number(line, INT32_MIN, INT32_MAX, &major)) {
        node->major = (int32_t)major;
        if (take_number(line, INT32_MIN, INT32_MAX, &minor)) {
            node->minor = (int32_t)minor;
            if (take_number(line, -(1ll << 62), 1ll << 62, &blocks)) {
                std::string_view name = take_token(line);
                // A name that runs to the end of a cut line may go on beyond it.
                bool whole = !(cut && line.empty());
                if (!name.empty() && whole && name.size() < sizeof(node->partition)) {
                    copy_field(node->partition, sizeof(node->partition), name);
                    named = true;
                }
            }
        }
    }
    if (blocks == 1) hp_set_status(node, HP_ST_IGNORE);
    size_t len = named ? strlen(node->partition) : 0;
    if (len == 0 || !is_digit(node->partition[len - 1])) {
        hp_set_status(node, HP_ST_IGNORE);
        if (whole_disk) *whole_disk = len > 0 && blocks != 1;
    }
}

bool hp_is_partition_of(const char* name, const char* disk) {
    size_t n = strlen(disk);
    if (n == 0 || strncmp(name, disk, n) != 0 || name[n] == '\0') return false;
    for (const char* p = name + n; *p; ++p)
        if (!is_digit(*p)) return false;
    return true;
}

namespace {

// Marks a whole disk while the table is read; resolved before the reader
// returns, so it never reaches the steps.
constexpr const char* kWholeDisk = "wholedisk";

}  // namespace

int hp_read_partitions(FILE* f, hp_partition** head) {
    *head = nullptr;
    char line[HP_PARTITIONS_LINE];
    bool cut = false;
    // Column header and the empty line behind it.
    if (!hp_read_line(f, line, sizeof(line), &cut) || !hp_read_line(f, line, sizeof(line), &cut))
        return 0;
    hp_partition** tail = head;
    int r = 0;
    while (hp_read_line(f, line, sizeof(line), &cut)) {
        hp_partition* node = static_cast<hp_partition*>(calloc(1, sizeof(hp_partition)));
        if (!node) {
            HP_LOG(HP_MOD_STORAGE, "can not alloc memory\n");
            r = -1;
            break;
        }
        bool whole_disk = false;
        hp_parse_partition_line(std::string_view(line, strlen(line)), cut, node, &whole_disk);
        if (whole_disk) hp_set_status(node, kWholeDisk);
        *tail = node;
        tail = &node->next;
    }
    // A stick formatted without a partition table (mkfs on the whole device)
    // is listed as a disk alone: it is mounted like a partition of its own.
    // A disk with partitions is left to them.
    for (hp_partition* disk = *head; disk; disk = disk->next) {
        if (strcmp(disk->status, kWholeDisk) != 0) continue;
        bool has_partition = false;
        for (hp_partition* n = *head; n && !has_partition; n = n->next)
            has_partition = hp_is_partition_of(n->partition, disk->partition);
        hp_set_status(disk, has_partition ? HP_ST_IGNORE : HP_ST_NEW);
    }
    return r;
}

int hp_get_partitions(hp_partition** head) {
    *head = nullptr;
    FILE* f = fopen("/proc/partitions", "r");
    if (!f) {
        HP_LOG(HP_MOD_STORAGE, "can not open /proc/partitions");
        return -1;
    }
    int r = hp_read_partitions(f, head);
    fclose(f);
    return r;
}

namespace {

// Devices of pseudo, automounter and network file systems, by name.
constexpr const char* kSkippedDevices[] = {
    "sysfs", "proc", "rootfs", "tmpfs", "root", "none",
    "auto.misc", "sunrpc", "hosts", "nfsd", "nfs", "usbfs",
};

bool contains(std::string_view s, std::string_view what) {
    return s.find(what) != std::string_view::npos;
}

}  // namespace

const char* hp_base_name(const char* dev) {
    const char* slash = strrchr(dev, '/');
    return slash ? slash + 1 : dev;
}

bool hp_is_mnt_entry(std::string_view dir) {
    constexpr std::string_view kMnt = "/mnt/";
    if (dir.size() <= kMnt.size() || !dir.starts_with(kMnt)) return false;
    std::string_view name(dir.data() + kMnt.size(), dir.size() - kMnt.size());
    return name.find('/') == std::string_view::npos && name != "." && name != "..";
}

void hp_real_mnt(char* out, size_t size) {
    char real[PATH_MAX];
    if (realpath("/mnt", real) && strlen(real) < size)
        memcpy(out, real, strlen(real) + 1);
    else
        snprintf(out, size, "%s", "/mnt");
}

namespace {

// The name of a mount directly under /mnt, whether the table names it
// through /mnt or through the folder /mnt leads to; empty for any other
// directory.
std::string_view mnt_entry_name(std::string_view dir, std::string_view real_mnt) {
    if (hp_is_mnt_entry(dir)) return std::string_view(dir.data() + 5, dir.size() - 5);
    if (real_mnt.empty() || real_mnt == "/mnt" || dir.size() <= real_mnt.size() + 1 ||
        !dir.starts_with(real_mnt) || dir[real_mnt.size()] != '/')
        return {};
    std::string_view name(dir.data() + real_mnt.size() + 1, dir.size() - real_mnt.size() - 1);
    if (name.find('/') != std::string_view::npos || name == "." || name == "..") return {};
    return name;
}

}  // namespace

bool hp_parse_mount_line(std::string_view line, hp_mount_entry* out, std::string_view real_mnt) {
    using namespace hp_text;
    std::string_view dev = take_token(line);
    std::string_view dir = take_token(line);
    std::string_view type = take_token(line);
    if (dir.empty() || dev.size() >= sizeof(out->dev)) return false;
    for (const char* skip : kSkippedDevices)
        if (contains(dev, skip)) return false;
    if (contains(dev, "=")) return false;
    size_t slash = dev.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == dev.size()) return false;
    std::string_view name = mnt_entry_name(dir, real_mnt);
    out->system = name.empty();
    if (!out->system) {
        // Under /mnt: a line without its type was cut, and a longer directory
        // than the field is none of the pass's names. The directory is
        // given by the name the pass made it under, /mnt/<name>.
        if (type.empty() || 5 + name.size() >= sizeof(out->dir)) return false;
        memcpy(out->dir, "/mnt/", 5);
        copy_field(out->dir + 5, sizeof(out->dir) - 5, name);
    } else {
        copy_field(out->dir, sizeof(out->dir), dir);
    }
    copy_field(out->dev, sizeof(out->dev), dev);
    copy_field(out->type, sizeof(out->type), type);
    return true;
}

bool hp_stat_is_blockdev(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISBLK(st.st_mode);
}

int hp_read_mounts(FILE* f, hp_partition** head, hp_is_blockdev_fn is_blockdev, std::string_view real_mnt) {
    char line[HP_MOUNTS_LINE];
    bool at_line_start = true;  // the next piece read begins a table line
    hp_partition* last_added = nullptr;
    // The table is read in pieces of at most 127 bytes, and every piece is
    // traced as read. A line longer than that arrives in several pieces;
    // only its first piece, which holds the three leading fields, is parsed:
    // the rest of a line is option text, not a mount.
    while (fgets(line, sizeof(line), f)) {
        HP_DLOG(HP_MOD_STORAGE, "%s\n", line);
        size_t len = strlen(line);
        bool first_piece = at_line_start;
        at_line_start = len > 0 && line[len - 1] == '\n';
        if (!first_piece) continue;
        hp_mount_entry m;
        if (!hp_parse_mount_line(std::string_view(line, len), &m, real_mnt)) continue;
        const char* base = hp_base_name(m.dev);

        hp_partition* match = nullptr;
        for (hp_partition* n = *head; n; n = n->next) {
            if (strcmp(n->partition, base) == 0) {
                match = n;
                break;
            }
        }
        if (match) {
            // A partition the system mounted outside /mnt stays "ignore"
            // whatever other lines say: such a node carries a path, which
            // no "ignore" node from /proc/partitions has.
            bool systems = strcmp(match->status, HP_ST_IGNORE) == 0 && match->path[0] != '\0';
            if (systems) continue;
            hp_set_status(match, m.system ? HP_ST_IGNORE : HP_ST_MOUNTED);
            copy_field(match->path, sizeof(match->path), m.dir);
            copy_field(match->dev, sizeof(match->dev), m.dev);
            if (m.system) HP_DLOG(HP_MOD_STORAGE, "%s is mounted at %s: left alone\n", match->partition, m.dir);
            continue;
        }

        if (m.system || !is_blockdev(m.dev)) continue;
        hp_partition* node = static_cast<hp_partition*>(calloc(1, sizeof(hp_partition)));
        if (!node) {
            HP_LOG(HP_MOD_STORAGE, "can not alloc memory\n");
            continue;
        }
        copy_field(node->dev, sizeof(node->dev), m.dev);
        copy_field(node->path, sizeof(node->path), m.dir);
        hp_set_status(node, HP_ST_TOUMOUNT);
        if (!last_added) {
            hp_partition** tail = head;
            while (*tail) tail = &(*tail)->next;
            *tail = node;
        } else {
            last_added->next = node;
        }
        last_added = node;
    }
    return 0;
}

namespace {

// Undoes "\ooo" escapes of a /proc/mounts field in place.
void unescape_mount_field(char* s) {
    char* wr = s;
    for (const char* rd = s; *rd;) {
        if (rd[0] == '\\' && rd[1] >= '0' && rd[1] <= '3' && rd[2] >= '0' && rd[2] <= '7' &&
            rd[3] >= '0' && rd[3] <= '7') {
            *wr++ = (char)(((rd[1] - '0') << 6) | ((rd[2] - '0') << 3) | (rd[3] - '0'));
            rd += 4;
        } else {
            *wr++ = *rd++;
        }
    }
    *wr = '\0';
}

}  // namespace

namespace {

// Gives each mount point of the table text, its "\ooo" escapes undone, to
// `visit` until that returns true; true when it did. Kept out of line: its
// buffers must not sit on every level of the removal helpers' tree walk.
__attribute__((noinline)) bool scan_mount_points(FILE* f, bool (*visit)(const char* dir, void* ctx), void* ctx) {
    char line[4096 + 512];
    bool cut = false;
    while (hp_read_line(f, line, sizeof(line), &cut)) {
        std::string_view rest(line, strlen(line));
        hp_text::take_token(rest);
        std::string_view dir = hp_text::take_token(rest);
        if (dir.empty() || dir.size() >= 4096) continue;
        char field[4096];
        memcpy(field, dir.data(), dir.size());
        field[dir.size()] = '\0';
        unescape_mount_field(field);
        if (visit(field, ctx)) return true;
    }
    return false;
}

struct Below {
    const char* dir;
    size_t dir_len;
    char* out;
    size_t size;
    size_t best;
};

}  // namespace

bool hp_mounts_list_dir(FILE* f, const char* path) {
    return scan_mount_points(
        f, [](const char* dir, void* want) { return strcmp(dir, static_cast<const char*>(want)) == 0; },
        const_cast<char*>(path));
}

bool hp_deepest_mount_below(FILE* f, const char* dir, char* out, size_t size) {
    Below b{dir, strlen(dir), out, size, 0};
    scan_mount_points(
        f,
        [](const char* mp, void* ctx) {
            Below& b = *static_cast<Below*>(ctx);
            size_t len = strlen(mp);
            if (len > b.dir_len + 1 && strncmp(mp, b.dir, b.dir_len) == 0 && mp[b.dir_len] == '/' &&
                len > b.best && len < b.size) {
                memcpy(b.out, mp, len + 1);
                b.best = len;
            }
            return false;
        },
        &b);
    return b.best > 0;
}

int hp_check_mounts(hp_partition** head) {
    FILE* f = fopen("/proc/mounts", "r");
    if (!f) {
        HP_LOG(HP_MOD_STORAGE, "can not open /proc/mounts\n");
        return -1;
    }
    // A /mnt that is a symbolic link (to /var/mnt on a read-only root) has
    // its mounts listed under the folder it leads to.
    char real_mnt[128];
    hp_real_mnt(real_mnt, sizeof(real_mnt));
    hp_read_mounts(f, head, hp_stat_is_blockdev, real_mnt);
    fclose(f);
    return 0;
}

int hp_dump_partitions(hp_partition* first) {
    if (!hp_is_debug()) return 0;
    HP_BARE("mount info:\n");
    HP_BARE("%s\n", "---------------------------------------------");
    HP_BARE("%5s  %5s  %-10s   %-10s   %-7s   %-15s %-15s\n", "major", "minor", "partition", "status",
            "pos", "dev", "path");
    for (hp_partition* n = first; n; n = n->next) {
        HP_BARE("%5d  %5d  %-10s   %-10s   %-1d   %-15s %-15s\n", n->major, n->minor, n->partition,
                n->status, n->pos, n->dev, n->path);
    }
    HP_BARE("%s\n\n", "--------------------------------------------");
    return 0;
}
