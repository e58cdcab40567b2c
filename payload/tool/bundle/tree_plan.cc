#include "bundle/tree_plan.h"

#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "format.h"
#include "format/entry_name.h"
#include "format/tree_links.h"
#include "payload.h"

namespace {

// A chain of symbolic links longer than the kernel follows (MAXSYMLINKS)
// loops, as far as anyone resolving it can tell.
enum { MAX_LINK_HOPS = 40 };

// A link packed as what it points to leaves its record behind, marked so.
const uint32_t REMOVED = UINT32_MAX;

struct Item {
    PlanEntry entry;
    // Set for a file of several names, which become one file and hard links.
    dev_t device = 0;
    ino_t inode = 0;
    std::string real;  // a symbolic link's target, resolved on the file system
    int depth = 0;     // the links packed as what they point to above it
};

// What lies at or below a real path is packed at or below dest.
struct Root {
    std::string real;
    std::string dest;
};

struct Walk {
    const PackOptions *options = nullptr;
    std::vector<Item> items;
    std::vector<Root> roots;
    std::vector<size_t> links;  // the items that are symbolic links
    std::vector<std::string> notes;
    std::string error;
    bool refused = false;
    int depth = 0;  // of the items being added
};

int fail(Walk &w, bool refused, const std::string &error)
{
    w.error = error;
    w.refused = refused;
    return -1;
}

bool excluded(const Walk &w, const std::string &dest)
{
    for (const std::string &glob : w.options->exclude_paths)
        if (fnmatch(glob.c_str(), dest.c_str(), 0) == 0)
            return true;
    return false;
}

// Empty, with errno set, when path does not resolve.
std::string real_path(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return "";
    return resolved;
}

bool below(const std::string &path, const std::string &dir)
{
    if (dir == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

const char *kind_of_special(mode_t mode)
{
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "neither a file, a directory nor a symbolic link, and";
}

// The work directory is private to whoever runs the launcher: only the
// owner's execute bit means anything there.
uint32_t file_mode(mode_t mode) { return (mode & S_IXUSR) != 0 ? 0700 : 0600; }

Item new_item(const std::string &source, const std::string &dest, const std::string &why,
              uint32_t kind, int depth)
{
    Item item;
    item.depth = depth;
    item.entry.name = dest;
    item.entry.path = source;
    item.entry.why = why;
    item.entry.kind = kind;
    return item;
}

int add_path(Walk &w, const std::string &source, const std::string &dest,
             const std::string &why, bool follow);

int add_directory(Walk &w, const std::string &source, const std::string &dest,
                  const std::string &why)
{
    DIR *dir = opendir(source.c_str());
    if (dir == nullptr)
        return fail(w, false, source + ": " + strerror(errno));
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(dir);
        if (e == nullptr)
            break;
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    int saved = errno;
    closedir(dir);
    if (saved != 0)
        return fail(w, false, source + ": " + strerror(saved));
    std::sort(names.begin(), names.end());
    size_t before = w.items.size();
    for (const std::string &name : names)
        if (add_path(w, source + "/" + name, dest + "/" + name, why, false))
            return -1;
    if (w.items.size() == before) {
        Item item = new_item(source, dest, why, TREE_DIRECTORY, w.depth);
        item.entry.mode = 0700;
        w.items.push_back(item);
    }
    return 0;
}

int add_path(Walk &w, const std::string &source, const std::string &dest,
             const std::string &why, bool follow)
{
    if (excluded(w, dest))
        return 0;
    std::string problem = entry_path_problem(dest);
    if (!problem.empty())
        return fail(w, true, source + ": " + problem);
    struct stat st;
    if ((follow ? stat(source.c_str(), &st) : lstat(source.c_str(), &st)) != 0)
        return fail(w, false, source + ": " + strerror(errno));
    if (S_ISLNK(st.st_mode)) {
        char text[PATH_MAX];
        ssize_t length = readlink(source.c_str(), text, sizeof text);
        if (length < 0)
            return fail(w, false, source + ": " + strerror(errno));
        if ((size_t)length == sizeof text)
            return fail(w, false, source + ": a symbolic link's text too long to pack");
        Item item = new_item(source, dest, why, TREE_SYMLINK, w.depth);
        item.entry.target.assign(text, (size_t)length);
        w.links.push_back(w.items.size());
        w.items.push_back(item);
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        Item item = new_item(source, dest, why, TREE_FILE, w.depth);
        item.entry.mode = file_mode(st.st_mode);
        if (st.st_nlink > 1) {
            item.device = st.st_dev;
            item.inode = st.st_ino;
        }
        w.items.push_back(item);
        return 0;
    }
    if (S_ISDIR(st.st_mode))
        return add_directory(w, source, dest, why);
    return fail(w, false, source + ": " + kind_of_special(st.st_mode) + " cannot be packed");
}

// Where the file or directory at real is packed, if it lies inside what is.
bool packed_at(const Walk &w, const std::string &real, std::string &dest)
{
    const Root *best = nullptr;
    for (const Root &r : w.roots)
        if ((real == r.real || below(real, r.real)) &&
            (best == nullptr || r.real.size() > best->real.size()))
            best = &r;
    if (best == nullptr)
        return false;
    std::string rest = real == best->real ? ""
                       : best->real == "/" ? real
                                           : real.substr(best->real.size());
    dest = best->dest + rest;
    return true;
}

// Links whose target lies outside what is packed become what they point
// to; a directory so packed may bring links of its own, decided in turn.
int follow_outside_links(Walk &w)
{
    for (size_t k = 0; k < w.links.size(); k++) {
        size_t i = w.links[k];
        std::string source = w.items[i].entry.path, dest = w.items[i].entry.name;
        std::string text = w.items[i].entry.target, why = w.items[i].entry.why;
        std::string real = real_path(source);
        if (real.empty()) {
            int e = errno;
            if (e == ENOENT || e == ENOTDIR)
                return fail(w, false, source + ": a symbolic link to " + text +
                                          ", which does not exist");
            if (e == ELOOP)
                return fail(w, false, source + ": a symbolic link to " + text +
                                          ", which loops");
            return fail(w, false, source + ": " + strerror(e));
        }
        w.items[i].real = real;
        // An absolute link cannot stay inside the tree, whatever it names.
        std::string packed;
        bool inside = packed_at(w, real, packed);
        if (inside && text[0] != '/')
            continue;
        std::string parent = tree_parent(source);
        std::string here = real_path(!parent.empty() ? parent : source[0] == '/' ? "/" : ".");
        for (const Root &r : w.roots)
            if ((!inside && below(r.real, real)) || here == real || below(here, real) ||
                w.items[i].depth >= MAX_LINK_HOPS)
                return fail(w, true, source + " -> " + text + ": points at " + real +
                                         ", which holds what is packed: a directory loop");
        w.notes.push_back(dest + ": the symbolic link " + source + " -> " + text + " points " +
                          (inside ? "by an absolute path" : "outside what is packed") +
                          ", so it is packed as what it points to, " + real);
        w.items[i].entry.kind = REMOVED;
        struct stat st;
        if (!inside && stat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            w.roots.push_back({real, dest});
        w.depth = w.items[i].depth + 1;
        if (add_path(w, source, dest, why, true))
            return -1;
    }
    return 0;
}

// The items as the tree's judgement sees them: all but the links packed as
// what they point to; item[k] is the item of nodes[k].
void tree_nodes(const std::vector<Item> &items, std::vector<TreeNode> &nodes,
                std::vector<size_t> &item)
{
    for (size_t i = 0; i < items.size(); i++) {
        if (items[i].entry.kind == REMOVED)
            continue;
        nodes.push_back({items[i].entry.name, items[i].entry.kind, items[i].entry.target});
        item.push_back(i);
    }
}

// Every link left points at something packed: it must reach that very
// entry through the tree, or unpacked it would lead elsewhere.
int check_kept_links(Walk &w, const TreeIndex &t)
{
    for (size_t i : w.links) {
        const Item &item = w.items[i];
        if (item.entry.kind != TREE_SYMLINK)
            continue;
        std::string link = item.entry.name + " -> " + item.entry.target;
        std::string want, got;
        packed_at(w, item.real, want);
        if (t.by_path.count(want) == 0 && t.directories.count(want) == 0)
            return fail(w, true, link + ": points at " + item.real +
                                     ", which --exclude-path leaves out");
        TreeLinkResult r =
            resolve_tree_target(t, tree_parent(item.entry.name), item.entry.target, got);
        if (r == TREE_LINK_LOOPS)
            return fail(w, true, link + ": loops through the tree's links");
        if (r != TREE_LINK_INSIDE)
            return fail(w, true, link + ": resolved through the tree's entries from its "
                                        "own directory, it leaves the tree (it points at " +
                                        item.real + ", packed as '" + want + "')");
        if (got != want)
            return fail(w, true, link + ": resolved through the tree's entries it reaches '" +
                                     got + "', not '" + want + "' where " + item.real +
                                     " is packed");
    }
    return 0;
}

const char *kind_name(uint32_t kind)
{
    return kind == TREE_SYMLINK ? "a symbolic link" : kind == TREE_DIRECTORY ? "a directory"
                                                                             : "a file";
}

// One path each, none running through a file or a link, empty directories
// only; the program a file of one component. Every entry is kept: links
// packed as what they point to are gone by now.
int check_paths(std::string &error, const std::vector<PlanEntry> &entries)
{
    const PlanEntry &program = entries[0];
    if (program.kind != TREE_FILE || program.name.find('/') != std::string::npos) {
        error = "the program, entry 0 ('" + program.name + "' from " + program.path +
                "), must be a file of a single path component: it names the work directory";
        return -1;
    }
    std::vector<TreeNode> nodes;
    nodes.reserve(entries.size());
    for (const PlanEntry &e : entries)
        nodes.push_back({e.name, e.kind, e.target});
    TreeIndex t;
    index_tree(nodes, t);
    TreePathsFault fault;
    if (check_tree_paths(t, fault) == 0)
        return 0;
    const PlanEntry &e = entries[fault.entry];
    const PlanEntry &other = entries[fault.other];
    if (fault.kind == TREE_PATHS_SAME)
        error = "two entries have the path '" + e.name + "' (" + other.path + " and " + e.path +
                ")";
    else if (fault.kind == TREE_PATHS_THROUGH)
        error = "entry path '" + e.name + "' runs through '" + other.name + "', " +
                kind_name(other.kind) + " entry";
    else
        error = tree_paths_problem(t);
    return -1;
}

}  // namespace

bool plan_needs_tree(const PackOptions &options, const BundlePlan &plan)
{
    return !options.adds.empty() ||
           (options.bundle && plan.entries.size() > PAYLOAD_MAX_ENTRIES);
}

int plan_tree(const PackOptions &options, BundlePlan &plan, std::string &error, bool &refused)
{
    Walk w;
    w.options = &options;
    for (size_t i = 0; i < plan.entries.size(); i++) {
        Item item;
        item.entry = plan.entries[i];
        item.entry.kind = TREE_FILE;
        struct stat st;
        item.entry.mode = i == 0 || (stat(item.entry.path.c_str(), &st) == 0 &&
                                     file_mode(st.st_mode) == 0700)
                              ? 0700
                              : 0600;
        std::string real = real_path(item.entry.path);
        if (!real.empty())
            w.roots.push_back({real, item.entry.name});
        w.items.push_back(item);
    }
    int failed = 0;
    for (const TreeAdd &add : options.adds) {
        std::string real = real_path(add.source);
        if (real.empty()) {
            failed = fail(w, false, add.source + ": " + strerror(errno));
            break;
        }
        w.roots.push_back({real, add.dest});
        if ((failed = add_path(w, add.source, add.dest, "--add " + add.source, true)) != 0)
            break;
    }
    if (failed == 0)
        failed = follow_outside_links(w);
    if (failed == 0 && w.items.empty())
        failed = fail(w, true, "--exclude-path leaves nothing to pack");

    std::vector<Item> kept;
    if (failed == 0) {
        std::vector<TreeNode> nodes;
        std::vector<size_t> item;
        tree_nodes(w.items, nodes, item);
        TreeIndex all;
        index_tree(nodes, all);
        failed = check_kept_links(w, all);
        // The program first, then by path; directories holding entries are
        // made on demand.
        for (size_t i = 0; i < w.items.size(); i++)
            if (w.items[i].entry.kind != REMOVED &&
                (w.items[i].entry.kind != TREE_DIRECTORY ||
                 all.directories.count(w.items[i].entry.name) == 0))
                kept.push_back(w.items[i]);
        if (!kept.empty())
            std::sort(kept.begin() + 1, kept.end(), [](const Item &a, const Item &b) {
                return a.entry.name < b.entry.name;
            });
    }
    if (failed != 0) {
        error = w.error;
        refused = w.refused;
        return -1;
    }

    std::map<std::pair<dev_t, ino_t>, size_t> first_name;
    std::vector<PlanEntry> entries;
    for (size_t i = 0; i < kept.size(); i++) {
        PlanEntry &e = kept[i].entry;
        if (e.kind == TREE_FILE && kept[i].inode != 0) {
            auto name = first_name.emplace(std::make_pair(kept[i].device, kept[i].inode), i);
            if (!name.second) {
                e.kind = TREE_HARD_LINK;
                e.link = (uint32_t)name.first->second;
                e.mode = 0;
            }
        }
        entries.push_back(std::move(e));
    }
    if (check_paths(error, entries)) {
        refused = true;
        return -1;
    }
    plan.entries = std::move(entries);
    plan.notes.insert(plan.notes.end(), w.notes.begin(), w.notes.end());
    plan.tree = true;
    return 0;
}

int place_added_entries(BundlePlan &plan, size_t first_added, std::string &error,
                        bool &refused)
{
    std::vector<PlanEntry> &entries = plan.entries;
    for (size_t i = first_added; i < entries.size(); i++) {
        struct stat st;
        entries[i].kind = TREE_FILE;
        entries[i].mode = stat(entries[i].path.c_str(), &st) == 0 ? file_mode(st.st_mode) : 0600;
    }
    std::vector<size_t> order;
    for (size_t i = 1; i < entries.size(); i++)
        order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&entries](size_t a, size_t b) {
        return entries[a].name < entries[b].name;
    });
    std::vector<uint32_t> moved_to(entries.size(), 0);
    std::vector<PlanEntry> sorted;
    sorted.reserve(entries.size());
    sorted.push_back(std::move(entries[0]));
    for (size_t i : order) {
        moved_to[i] = (uint32_t)sorted.size();
        sorted.push_back(std::move(entries[i]));
    }
    for (PlanEntry &e : sorted)
        if (e.kind == TREE_HARD_LINK)
            e.link = moved_to[e.link];
    entries = std::move(sorted);
    refused = true;
    return check_paths(error, entries);
}
