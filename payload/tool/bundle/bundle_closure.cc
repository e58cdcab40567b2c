#include "bundle/bundle_closure.h"

#include <fnmatch.h>

#include <iterator>

#include "bundle/library_search.h"
#include "format.h"

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

// The libraries of a glibc release that no object names in DT_NEEDED but
// that are loaded by name at run time: with --libc that must be the packed
// glibc's, since one of the host's, of another release, would be loaded into
// it (its GLIBC_PRIVATE calls failing, or worse). They are taken by these
// sonames from the directory of the packed libc.so.6; a target's glibc may
// lack some (libmvec is x86_64's only). Not here: libc.so.6 and the loader,
// which every --libc bundle has, and libmemusage.so and libpcprofile.so,
// which no program loads by name: the memusage and pcprofile tools preload
// them by their paths on the host.
struct RuntimeLibrary {
    const char *name;
    const char *why;
};
const char for_dlopen[] = "for the program to dlopen";
const char for_nss[] = "for the name service switch (nsswitch.conf)";
const RuntimeLibrary runtime_libraries[] = {
    {"libm.so.6", for_dlopen},
    {"libmvec.so.1", for_dlopen},
    {"libresolv.so.2", for_dlopen},
    {"libpthread.so.0", for_dlopen},
    {"libdl.so.2", for_dlopen},
    {"librt.so.1", for_dlopen},
    {"libutil.so.1", for_dlopen},
    {"libanl.so.1", for_dlopen},
    {"libnsl.so.1", for_dlopen},
    {"libBrokenLocale.so.1", for_dlopen},
    {"libnss_files.so.2", for_nss},
    {"libnss_dns.so.2", for_nss},
    {"libnss_compat.so.2", for_nss},
    {"libnss_hesiod.so.2", for_nss},
    {"libc_malloc_debug.so.0", "for LD_PRELOAD (mtrace, mcheck)"},
    {"libthread_db.so.1", "for a debugger, which looks for it beside the program's libc.so.6"},
};

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
            std::string problem = requester + " needs the library '" + name +
                                  "' by path, which cannot be loaded from beside it";
            if (c.missing_is_note) {
                c.notes.push_back(problem + ": left to the system");
                continue;
            }
            error = problem + " (--exclude it to leave it to the system)";
            return -1;
        }
        auto missing = c.missing.find(name);
        if (missing != c.missing.end()) {
            missing->second.push_back(requester);
            continue;
        }
        Node found;
        found.kind = NODE_LIBRARY;
        found.name = name;
        found.is_object = true;
        found.loader = index;
        if (!search_library(c, index, name, found)) {
            if (c.missing_is_note) {
                c.missing[name].push_back(requester);
                continue;
            }
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

// Resolves the needs of queue[next] on, breadth first, and of everything
// they bring in, which joins the queue.
int resolve_queue(Closure &c, std::vector<int> &queue, size_t &next, std::string &error)
{
    for (; next < queue.size(); next++) {
        size_t before = c.nodes.size();
        if (resolve_needs(c, queue[next], error))
            return -1;
        for (size_t i = before; i < c.nodes.size(); i++)
            queue.push_back((int)i);
    }
    return 0;
}

std::string join(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

}  // namespace

int collect_closure(Closure &c, const std::vector<int> &included, const std::vector<int> &tree,
                    std::string &error)
{
    std::vector<int> queue = {0};
    size_t next = 0;
    if (resolve_queue(c, queue, next, error))
        return -1;
    for (int i : included)
        if (c.nodes[(size_t)i].is_object)
            queue.push_back(i);
    if (resolve_queue(c, queue, next, error))
        return -1;
    // Whatever is found from here on, only the tree's objects need.
    c.missing_is_note = true;
    queue.insert(queue.end(), tree.begin(), tree.end());
    if (resolve_queue(c, queue, next, error))
        return -1;
    for (const auto &m : c.missing)
        c.notes.push_back(m.first + " (needed by " + join(m.second) +
                          ") was not found: what needs it is packed with its other "
                          "libraries, and looks for " + m.first +
                          " on the machine that runs it");
    return 0;
}

void add_runtime_libraries(Closure &c)
{
    auto libc = c.by_name.find("libc.so.6");
    if (!c.libc || libc == c.by_name.end())
        return;
    const std::string dir = directory_of(c.nodes[(size_t)libc->second].path);
    // All or none: the closure stays as it was when they do not fit.
    Closure with = c;
    std::vector<int> queue;
    std::vector<std::string> names;
    for (const RuntimeLibrary &r : runtime_libraries) {
        if (with.by_name.count(r.name) || !system_reason(with, r.name).empty())
            continue;
        Node n;
        n.kind = NODE_LIBRARY;
        n.name = r.name;
        n.path = in_dir(dir, r.name);
        if (!loadable_library(n.path, *c.target, n.input))
            continue;  // not part of this target's glibc
        std::pair<dev_t, ino_t> file = {n.input.identity.device, n.input.identity.inode};
        if (with.by_file.count(file))
            continue;  // packed already, under another name
        n.origin = dir;
        n.is_object = true;
        n.loader = 0;  // loaded as the program would load it
        n.c_library = true;
        n.runtime_why = r.why;
        n.found = "libc.so.6's directory";
        with.by_file[file] = (int)with.nodes.size();
        with.by_name[n.name] = (int)with.nodes.size();
        queue.push_back((int)with.nodes.size());
        names.push_back(n.name);
        with.nodes.push_back(n);
    }
    if (queue.empty())
        return;
    size_t next = 0;
    std::string error;
    if (resolve_queue(with, queue, next, error)) {
        c.notes.push_back("--libc left out " + join(names) + ", which no object needs: " +
                          error + "; loaded by name, they are the host's, if it has them");
        return;
    }
    // A bundle over the limit already is a tree, which has none.
    if (with.nodes.size() > PAYLOAD_MAX_ENTRIES && c.nodes.size() <= PAYLOAD_MAX_ENTRIES &&
        !c.tree) {
        c.notes.push_back("--libc left out " + join(names) +
                          ", which no object needs: with them the bundle would have " +
                          std::to_string(with.nodes.size()) + " entries, more than the " +
                          std::to_string(PAYLOAD_MAX_ENTRIES) +
                          " a launcher unpacks; loaded by name, they are the host's, if it "
                          "has them");
        return;
    }
    c = std::move(with);
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
