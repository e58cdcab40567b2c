#include "bundle/bundle_closure.h"

#include <fnmatch.h>

#include <iterator>

#include "bundle/library_search.h"

namespace {

// The C library, the dynamic loader and the libraries built with them: they
// must match the loader of the machine that runs the program, so they always
// come from that machine.
const char *const c_library_names[] = {
    "libc.so.6", "libm.so.6", "libmvec.so.1", "libpthread.so.0", "libdl.so.2",
    "librt.so.1", "libresolv.so.2", "libutil.so.1", "libanl.so.1", "libnsl.so.1",
    "libBrokenLocale.so.1", "libthread_db.so.1", "libc_malloc_debug.so.0",
    "libnss_compat.so.2", "libnss_dns.so.2", "libnss_files.so.2",
    "libnss_hesiod.so.2", "ld-linux*.so.*"};

// The kernel's own objects, which no file holds: left to the system even
// with --libc (they need no leaving: nothing names them in DT_NEEDED).
const char *const kernel_object_names[] = {"linux-vdso*.so.*", "linux-gate*.so.*"};

bool matches_any(const char *const *patterns, size_t count, const std::string &name)
{
    for (size_t i = 0; i < count; i++)
        if (fnmatch(patterns[i], name.c_str(), 0) == 0)
            return true;
    return false;
}

// Why name is left to the system, or an empty string when it is bundled.
std::string system_reason(const Closure &c, const std::string &name)
{
    if (matches_any(kernel_object_names, std::size(kernel_object_names), name))
        return "part of the C library";
    if (!c.libc && c_library_object(name))
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
        if (loadable_library(candidate, *c.target, found.input)) {
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
    if (!r.input.elf.has_runpath) {
        for (int l = requester; l != -1; l = c.nodes[(size_t)l].loader) {
            const Node &a = c.nodes[(size_t)l];
            if (!a.input.elf.has_rpath || a.input.elf.has_runpath)
                continue;
            if (try_dirs(c, expand_search_path(a.input.elf.rpath, ":", a.origin, *c.target),
                         name, found)) {
                found.found = "RPATH of " + a.name;
                return true;
            }
        }
    }
    if (try_dirs(c, c.library_path, name, found)) {
        found.found = "LD_LIBRARY_PATH";
        return true;
    }
    if (r.input.elf.has_runpath &&
        try_dirs(c, expand_search_path(r.input.elf.runpath, ":", r.origin, *c.target), name,
                 found)) {
        found.found = "RUNPATH of " + r.name;
        return true;
    }
    for (const std::string &path : loader_cache_paths(name, *c.target))
        if (loadable_library(path, *c.target, found.input)) {
            found.path = path;
            found.found = "the loader cache";
            return true;
        }
    for (const char *const *dir = c.target->library_dirs; *dir; dir++)
        if (try_dirs(c, {*dir}, name, found)) {
            found.found = std::string("the default directory ") + *dir;
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
    const std::vector<std::string> needed = c.nodes[(size_t)index].input.elf.needed;
    const std::string requester = c.nodes[(size_t)index].name;
    for (const std::string &name : needed) {
        auto known = c.by_name.find(name);
        if (known != c.by_name.end()) {
            if (known->second != index) {
                Node &library = c.nodes[(size_t)known->second];
                library.needed_by.push_back(requester);
                c.nodes[(size_t)index].needs.push_back(known->second);
                if (library.kind == NODE_LIBRARY && library.name != name)
                    c.nodes[(size_t)index].renamed_needs.push_back({name, library.name});
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
        const FileIdentity &id = found.input.identity;
        auto same = c.by_file.find({id.device, id.inode});
        if (same != c.by_file.end()) {
            Node &first = c.nodes[(size_t)same->second];
            c.by_name[name] = same->second;
            first.needed_by.push_back(requester);
            c.nodes[(size_t)index].needs.push_back(same->second);
            c.nodes[(size_t)index].renamed_needs.push_back({name, first.name});
            continue;
        }
        c.by_file[{id.device, id.inode}] = (int)c.nodes.size();
        found.origin = directory_of(found.path);
        found.c_library = c_library_object(name);
        found.needed_by.push_back(requester);
        c.by_name[name] = (int)c.nodes.size();
        c.nodes[(size_t)index].needs.push_back((int)c.nodes.size());
        c.nodes.push_back(found);
    }
    return 0;
}

}  // namespace

int collect_closure(Closure &c, const std::vector<int> &included, std::string &error)
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

bool c_library_object(const std::string &name)
{
    return matches_any(c_library_names, std::size(c_library_names), name);
}

int add_program_loader(Closure &c, std::string &error)
{
    const Node &program = c.nodes[0];
    const std::string &path = program.input.elf.interpreter_path;
    Node loader;
    loader.kind = NODE_LIBRARY;
    loader.name = path.substr(path.rfind('/') + 1);
    loader.path = path;
    loader.found = "the program's PT_INTERP";
    loader.loader = 0;
    loader.is_object = true;
    loader.c_library = true;
    loader.program_loader = true;
    if (path.empty() || loader.name.empty() || !loadable_library(path, *c.target, loader.input)) {
        error = program.path + ": its loader '" + path +
                "' cannot be read, which --libc packs with it";
        return -1;
    }
    loader.origin = directory_of(path);
    c.by_file[{loader.input.identity.device, loader.input.identity.inode}] =
        (int)c.nodes.size();
    c.by_name[loader.name] = (int)c.nodes.size();
    c.nodes.push_back(loader);
    return 0;
}
