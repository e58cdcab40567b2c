#include "bundle_plan.h"

#include <elf.h>
#include <errno.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "library_search.h"

namespace {

// The C library, the dynamic loader and the libraries built with them: they
// must match the loader of the machine that runs the program, so they always
// come from that machine.
const char *const c_library_names[] = {
    "libc.so.6", "libm.so.6", "libmvec.so.1", "libpthread.so.0", "libdl.so.2",
    "librt.so.1", "libresolv.so.2", "libutil.so.1", "libanl.so.1", "libnsl.so.1",
    "libBrokenLocale.so.1", "libthread_db.so.1", "libc_malloc_debug.so.0",
    "libnss_compat.so.2", "libnss_dns.so.2", "libnss_files.so.2",
    "libnss_hesiod.so.2", "ld-linux*.so.*", "linux-vdso*.so.*", "linux-gate*.so.*"};

enum NodeKind { NODE_PROGRAM, NODE_LIBRARY, NODE_INCLUDE };

// One object of the closure, or one included file.
struct Node {
    NodeKind kind;
    std::string name;
    std::string path;
    std::string origin;  // what $ORIGIN stands for in its search paths
    ElfObject elf;
    bool is_object = false;  // an ELF object of the target, whose needs count
    int loader = -1;         // the object whose needs brought it in
    std::string found;
    std::vector<std::string> needed_by;
    std::vector<int> needs;  // nodes of the libraries it needs
};

// The state of one bundling, written only by the functions below.
struct Closure {
    std::string target;
    std::vector<std::string> library_path;  // LD_LIBRARY_PATH, expanded
    std::vector<std::string> excludes;
    std::vector<Node> nodes;
    std::map<std::string, int> by_name;
    std::vector<SystemLibrary> left;
    std::map<std::string, size_t> left_by_name;
};

std::string join(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

// Why name is left to the system, or an empty string when it is bundled.
std::string system_reason(const Closure &c, const std::string &name)
{
    for (const char *pattern : c_library_names)
        if (fnmatch(pattern, name.c_str(), 0) == 0)
            return "part of the C library";
    for (const std::string &pattern : c.excludes)
        if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            return "--exclude " + pattern;
    return "";
}

std::string in_dir(const std::string &dir, const std::string &name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool try_dirs(const Closure &c, const std::vector<std::string> &dirs,
              const std::string &name, Node &found)
{
    for (const std::string &dir : dirs) {
        std::string candidate = in_dir(dir, name);
        if (loadable_library(candidate, c.target, found.elf)) {
            found.path = candidate;
            return true;
        }
    }
    return false;
}

// The loader's order: the RPATHs of the requester and of the objects that
// brought it in (only while the requester has no RUNPATH), LD_LIBRARY_PATH,
// the requester's RUNPATH, the cache, the default directories.
bool search_library(const Closure &c, int requester, const std::string &name, Node &found)
{
    const Node &r = c.nodes[(size_t)requester];
    if (!r.elf.has_runpath) {
        for (int l = requester; l != -1; l = c.nodes[(size_t)l].loader) {
            const Node &a = c.nodes[(size_t)l];
            if (!a.elf.has_rpath || a.elf.has_runpath)
                continue;
            if (try_dirs(c, expand_search_path(a.elf.rpath, ":", a.origin, c.target), name, found)) {
                found.found = "RPATH of " + a.name;
                return true;
            }
        }
    }
    if (try_dirs(c, c.library_path, name, found)) {
        found.found = "LD_LIBRARY_PATH";
        return true;
    }
    if (r.elf.has_runpath &&
        try_dirs(c, expand_search_path(r.elf.runpath, ":", r.origin, c.target), name, found)) {
        found.found = "RUNPATH of " + r.name;
        return true;
    }
    for (const std::string &path : loader_cache_paths(name, c.target))
        if (loadable_library(path, c.target, found.elf)) {
            found.path = path;
            found.found = "the loader cache";
            return true;
        }
    for (const std::string &dir : default_library_dirs(c.target))
        if (try_dirs(c, {dir}, name, found)) {
            found.found = "the default directory " + dir;
            return true;
        }
    return false;
}

void leave_to_system(Closure &c, const std::string &name, const std::string &reason,
                     const std::string &needed_by)
{
    auto at = c.left_by_name.find(name);
    if (at == c.left_by_name.end()) {
        c.left_by_name[name] = c.left.size();
        c.left.push_back({name, needed_by, reason});
    } else {
        c.left[at->second].needed_by += ", " + needed_by;
    }
}

int resolve_needs(Closure &c, int index, std::string &error)
{
    // Copies: finding a library adds to c.nodes, which may move them.
    const std::vector<std::string> needed = c.nodes[(size_t)index].elf.needed;
    const std::string requester = c.nodes[(size_t)index].name;
    for (const std::string &name : needed) {
        auto known = c.by_name.find(name);
        if (known != c.by_name.end()) {
            Node &n = c.nodes[(size_t)known->second];
            if (known->second != index) {
                n.needed_by.push_back(requester);
                c.nodes[(size_t)index].needs.push_back(known->second);
            }
            continue;
        }
        std::string reason = system_reason(c, name);
        if (!reason.empty()) {
            leave_to_system(c, name, reason, requester);
            continue;
        }
        if (name.find('/') != std::string::npos) {
            error = requester + " needs the library '" + name +
                    "' by path, which cannot be loaded from beside it (--exclude it to "
                    "leave it to the system)";
            return -1;
        }
        Node found;
        found.kind = NODE_LIBRARY;
        found.name = name;
        found.is_object = true;
        found.loader = index;
        if (!search_library(c, index, name, found)) {
            error = "library " + name + " not found; " + requester + " (" +
                    c.nodes[(size_t)index].path + ") needs it";
            return -1;
        }
        found.origin = directory_of(found.path);
        found.needed_by.push_back(requester);
        c.by_name[name] = (int)c.nodes.size();
        c.nodes[(size_t)index].needs.push_back((int)c.nodes.size());
        c.nodes.push_back(found);
    }
    return 0;
}

// Breadth first from the program, as the loader maps them; then the
// included objects, as dlopen would, each with the program as its loader.
int collect(Closure &c, const std::vector<int> &included, std::string &error)
{
    std::vector<int> queue = {0};
    size_t next = 0;
    for (int round = 0; round < 2; round++) {
        for (; next < queue.size(); next++) {
            size_t before = c.nodes.size();
            if (resolve_needs(c, queue[next], error))
                return -1;
            for (size_t i = before; i < c.nodes.size(); i++)
                queue.push_back((int)i);
        }
        for (int i : included)
            if (round == 0 && c.nodes[(size_t)i].is_object)
                queue.push_back(i);
    }
    return 0;
}

// The libraries in dependency order: each after every library that needs
// it, ties broken by name; libraries that need each other, by name.
std::vector<int> dependency_order(const Closure &c)
{
    std::map<int, int> waiting;  // node -> libraries that need it, not yet placed
    std::set<std::pair<std::string, int>> ready, rest;
    for (size_t i = 0; i < c.nodes.size(); i++)
        if (c.nodes[i].kind == NODE_LIBRARY)
            waiting[(int)i] = 0;
    for (const auto &w : waiting)
        for (int need : c.nodes[(size_t)w.first].needs)
            if (need != w.first && waiting.count(need))
                waiting[need]++;
    for (const auto &w : waiting)
        (w.second == 0 ? ready : rest).insert({c.nodes[(size_t)w.first].name, w.first});

    std::vector<int> order;
    while (!ready.empty() || !rest.empty()) {
        auto &from = ready.empty() ? rest : ready;
        std::pair<std::string, int> next = *from.begin();
        from.erase(from.begin());
        order.push_back(next.second);
        for (int need : c.nodes[(size_t)next.second].needs) {
            auto w = waiting.find(need);
            if (need == next.second || w == waiting.end())
                continue;
            std::pair<std::string, int> key = {c.nodes[(size_t)need].name, need};
            if (--w->second == 0 && rest.erase(key))
                ready.insert(key);
        }
    }
    return order;
}

OriginEdit origin_edit(const Node &n)
{
    if (!n.is_object)
        return ORIGIN_NONE;
    const std::string &path = n.elf.has_runpath ? n.elf.runpath : n.elf.rpath;
    std::string first = path.substr(0, path.find(':'));
    while (first.size() > 1 && first.back() == '/')
        first.pop_back();
    return first == "$ORIGIN" || first == "${ORIGIN}" ? ORIGIN_KEPT : ORIGIN_SET;
}

PlanEntry plan_entry(const Node &n, const std::string &why)
{
    PlanEntry e;
    e.name = n.name;
    e.path = n.path;
    e.why = why;
    e.found = n.found;
    e.origin = origin_edit(n);
    return e;
}

std::string real_directory(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return directory_of(path);
    return directory_of(resolved);
}

int check_regular_file(const std::string &path, std::string &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + (S_ISDIR(st.st_mode) ? ": is a directory" : ": not a regular file");
        return -1;
    }
    return 0;
}

}  // namespace

int bundle_program_target(const std::string &path, std::string &target,
                          std::string &error)
{
    if (check_regular_file(path, error))
        return -1;
    ElfObject program;
    if (read_elf_object(path, program, error) != 0) {
        error += " (--bundle takes a dynamically linked program)";
        return -1;
    }
    const char *program_target = elf_object_target(program);
    if (program_target == nullptr) {
        error = path + " is built for " + elf_machine_name(program) +
                "; --bundle takes x86_64 and i386 programs";
        return -1;
    }
    if ((program.type != ET_EXEC && program.type != ET_DYN) || !program.interpreter) {
        error = path + " is not a dynamically linked program (no program "
                       "interpreter): it needs no libraries, pack it without --bundle";
        return -1;
    }
    target = program_target;
    return 0;
}

int plan_bundle(const PackOptions &options, const std::string &target,
                BundlePlan &plan, std::string &error)
{
    Closure c;
    c.target = target;
    c.excludes = options.excludes;

    Node program;
    program.kind = NODE_PROGRAM;
    program.name = options.files[0].name;
    program.path = options.files[0].path;
    program.origin = real_directory(program.path);
    program.is_object = true;
    if (read_elf_object(program.path, program.elf, error))
        return -1;
    c.nodes.push_back(program);
    c.by_name[program.name] = 0;

    const char *ld_library_path = getenv("LD_LIBRARY_PATH");
    if (ld_library_path && *ld_library_path)
        c.library_path = expand_search_path(ld_library_path, ":;", program.origin, target);

    // An included file takes its base name; a library of the same name that
    // something needs is then that file.
    std::vector<int> included;
    for (const std::string &path : options.includes) {
        if (check_regular_file(path, error))
            return -1;
        Node n;
        n.kind = NODE_INCLUDE;
        n.name = base_name(path);
        n.path = path;
        n.origin = directory_of(path);
        n.loader = 0;
        n.is_object = loadable_library(path, target, n.elf) && n.elf.dynamic;
        included.push_back((int)c.nodes.size());
        if (!c.by_name.count(n.name))
            c.by_name[n.name] = (int)c.nodes.size();
        c.nodes.push_back(n);
    }

    if (collect(c, included, error))
        return -1;

    plan.target = target;
    plan.entries.clear();
    plan.entries.push_back(plan_entry(c.nodes[0], "the program"));
    for (int i : dependency_order(c)) {
        const Node &n = c.nodes[(size_t)i];
        plan.entries.push_back(plan_entry(n, "needed by " + join(n.needed_by)));
    }
    for (int i : included) {
        const Node &n = c.nodes[(size_t)i];
        std::string why = "--include";
        if (!n.needed_by.empty())
            why += ", needed by " + join(n.needed_by);
        plan.entries.push_back(plan_entry(n, why));
    }
    plan.left_to_system = c.left;
    return 0;
}
