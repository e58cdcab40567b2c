#include "bundle/bundle_plan.h"

#include <elf.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "bundle/bundle_closure.h"
#include "bundle/library_search.h"
#include "bundle/tree_objects.h"
#include "format.h"
#include "payload.h"
#include "format/entry_name.h"

namespace {

std::string join(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
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

// True when the loader of any machine resolves dir inside the work
// directory, for an object depth directories below its top: $ORIGIN, or
// below it with no "..", except that an object of a tree may climb up to
// depth ".." right after $ORIGIN: through the tree's own directories, since
// no path of a tree runs through a link. Past a name, ".." could climb out
// of a linked directory. Whatever else a search path names lies outside the
// launcher's private work directory, where another user may have put a
// library of the name asked for ($TEMP/lib from $ORIGIN/../lib at the top,
// an absolute path, a relative one, which is taken from the current
// directory). $LIB and $PLATFORM below $ORIGIN stay inside: the loader puts
// plain directory names for them.
bool inside_origin(const std::string &dir, int depth)
{
    std::string rest;
    if (dir.rfind("$ORIGIN", 0) == 0)
        rest = dir.substr(7);
    else if (dir.rfind("${ORIGIN}", 0) == 0)
        rest = dir.substr(9);
    else
        return false;
    if (!rest.empty() && rest[0] != '/')
        return false;  // $ORIGINAL, say: a token the loader does not know
    bool climbing = true;
    int up = 0;
    for (size_t start = 0; start < rest.size();) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        std::string part = rest.substr(start, end - start);
        if (part == "..") {
            if (!climbing || ++up > depth)
                return false;
        } else if (!part.empty() && part != ".") {
            climbing = false;
        }
        start = end + 1;
    }
    return true;
}

// A search path's directories, as the loader splits them.
std::vector<std::string> elements_of(const std::string &path)
{
    std::vector<std::string> elements;
    for (size_t start = 0;;) {
        size_t end = path.find(':', start);
        elements.push_back(path.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return elements;
        start = end + 1;
    }
}

// The elements of path that stay inside the work directory, joined again;
// the others go to dropped.
std::string inside_elements(const std::string &path, int depth,
                            std::vector<std::string> &dropped)
{
    std::string kept;
    for (const std::string &element : elements_of(path)) {
        if (inside_origin(element, depth))
            kept += (kept.empty() ? "" : ":") + element;
        else
            dropped.push_back(element.empty() ? "an empty one (the current directory)" : element);
    }
    return kept;
}

// The work directory, from an object depth directories below it.
std::string top_from(int depth)
{
    std::string top = "$ORIGIN";
    for (int i = 0; i < depth; i++)
        top += "/..";
    return top;
}

// The loader honours DT_RPATH only in an object without DT_RUNPATH, so a
// search path that already begins with the work directory is kept as it is
// only when it is a DT_RPATH; a DT_RUNPATH keeps its directories but becomes
// one. Either loses the directories outside the work directory. An object
// of a tree that does not begin there gets the work directory first, where
// every library is packed, then what it had inside the work directory.
void origin_edit(const Node &n, PlanEntry &e, bool libc)
{
    // glibc's objects find one another through the program's DT_RPATH and
    // their sonames; the loader is not even a file patchelf may rewrite.
    if (!n.is_object || n.c_library)
        return;
    const bool tree = n.kind == NODE_TREE;
    const std::string &path = n.input.elf.has_runpath ? n.input.elf.runpath : n.input.elf.rpath;
    if (libc && (n.kind == NODE_PROGRAM || (tree && n.input.elf.interpreter))) {
        e.origin = ORIGIN_LOADER;
        e.rpath = loader_path_placeholder();
        // The run's work directory fills the whole DT_RPATH: what the
        // object had inside the tree is lost, and the plan says so.
        if (tree && !path.empty())
            for (const std::string &element : elements_of(path))
                if (inside_origin(element, n.depth) && element != top_from(n.depth))
                    e.dropped.push_back(element);
        return;
    }
    const int depth = tree ? n.depth : 0;
    const std::string top = top_from(depth);
    std::string first = path.substr(0, path.find(':'));
    while (first.size() > 1 && first.back() == '/')
        first.pop_back();
    if (first != top && first != "${ORIGIN}" + top.substr(7)) {
        e.origin = ORIGIN_SET;
        e.rpath = top;
        if (tree && !path.empty()) {
            std::string kept = inside_elements(path, depth, e.dropped);
            if (!kept.empty())
                e.rpath += ":" + kept;
        }
        return;
    }
    e.rpath = inside_elements(path, depth, e.dropped);
    if (n.input.elf.has_runpath)
        e.origin = ORIGIN_CONVERTED;
    else
        e.origin = e.dropped.empty() ? ORIGIN_KEPT : ORIGIN_TRIMMED;
}

PlanEntry plan_entry(const Node &n, const std::string &why, bool libc)
{
    PlanEntry e;
    e.name = n.name;
    e.path = n.path;
    e.why = why;
    e.found = n.found;
    e.renamed_needs = n.renamed_needs;
    e.c_library = n.c_library;
    e.program_loader = n.program_loader;
    e.input = n.input;
    origin_edit(n, e, libc);
    return e;
}

// The loader and libc.so.6 are one program in two files, built together:
// both must come from the glibc the closure resolved against.
int check_one_glibc(const Closure &c, std::string &error)
{
    auto libc = c.by_name.find("libc.so.6");
    if (libc == c.by_name.end())
        return 0;
    const Node &loader = c.nodes[1];
    const Node &library = c.nodes[(size_t)libc->second];
    if (real_directory(loader.path) == real_directory(library.path))
        return 0;
    error = "--libc: the program's loader " + loader.path + " and the libc.so.6 found (" +
            library.path + ", through " + library.found +
            ") are not from the same glibc, which --libc packs";
    return -1;
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

void plan_files(const PackOptions &options, BundlePlan &plan)
{
    plan.target = options.target;
    plan.entries.clear();
    for (size_t i = 0; i < options.files.size(); i++) {
        PlanEntry e;
        e.name = options.files[i].name;
        e.path = options.files[i].path;
        e.why = i == 0 ? "the program" : "given";
        e.stored = options.files[i].stored;
        if (e.stored)
            e.why += ", stored as it is";
        plan.entries.push_back(e);
    }
    plan.left_to_system.clear();
    plan.notes.clear();
}

void read_plan_inputs(BundlePlan &plan)
{
    for (PlanEntry &e : plan.entries)
        if (e.input.path.empty() && e.kind == TREE_FILE)
            read_plan_input(plan, e, e.path, e.input);
}

int read_plan_input(const BundlePlan &plan, const PlanEntry &e, const std::string &path,
                    InputRecord &record)
{
    if (e.stored)
        return read_stored_record(path, *plan.target, record);
    if (e.origin == ORIGIN_LOADER)
        return read_loader_program_record(path, record);
    return read_input_record(path, record);
}

std::string loader_path_placeholder()
{
    std::string room = LOADER_PATH_MARK;
    room.resize(LOADER_PATH_ROOM - 1, 'x');
    return room;
}

int bundle_program_target(const std::string &path, InputRecord &input,
                          const TargetInfo *&target, std::string &error)
{
    if (check_regular_file(path, error))
        return -1;
    if (read_input_record(path, input) != 0 || !input.elf_error.empty()) {
        error = (input.error.empty() ? path + ": " + input.elf_error : input.error) +
                " (--bundle takes a dynamically linked program)";
        return -1;
    }
    const ElfObject &program = input.elf;
    const TargetInfo *program_target = elf_object_target(program);
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

int plan_bundle(const PackOptions &options, const TargetInfo &target,
                const InputRecord &input, BundlePlan &plan, std::string &error)
{
    Closure c;
    c.target = &target;
    c.excludes = options.excludes;

    Node program;
    program.kind = NODE_PROGRAM;
    program.name = options.files[0].name;
    program.path = options.files[0].path;
    program.origin = real_directory(program.path);
    program.is_object = true;
    program.input = input;
    c.nodes.push_back(program);
    c.by_name[program.name] = 0;
    c.libc = options.libc;
    c.tree = !options.adds.empty();
    if (c.libc && add_program_loader(c, error))
        return -1;

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
        n.is_object = loadable_library(path, target, n.input) && n.input.elf.dynamic;
        included.push_back((int)c.nodes.size());
        if (!c.by_name.count(n.name))
            c.by_name[n.name] = (int)c.nodes.size();
        c.nodes.push_back(n);
    }
    // Found by their paths: a library of the same name is no such object.
    std::vector<int> tree;
    if (plan.tree)
        tree = add_tree_objects(c, plan);

    if (collect_closure(c, included, tree, error) || (c.libc && check_one_glibc(c, error)))
        return -1;
    add_runtime_libraries(c);

    std::vector<PlanEntry> top;
    top.push_back(plan_entry(c.nodes[0], "the program", c.libc));
    for (int i : dependency_order(c)) {
        const Node &n = c.nodes[(size_t)i];
        std::string why = "needed by " + join(n.needed_by);
        if (n.program_loader)
            why = "the program's loader" + (n.needed_by.empty() ? "" : ", " + why);
        else if (!n.runtime_why.empty())
            why = n.runtime_why + (n.needed_by.empty() ? "" : ", " + why);
        top.push_back(plan_entry(n, why, c.libc));
    }
    for (int i : included) {
        const Node &n = c.nodes[(size_t)i];
        std::string why = "--include";
        if (!n.needed_by.empty())
            why += ", needed by " + join(n.needed_by);
        top.push_back(plan_entry(n, why, c.libc));
    }
    plan.target = &target;
    plan.left_to_system = c.left;
    plan.notes.insert(plan.notes.end(), c.notes.begin(), c.notes.end());
    if (!plan.tree) {
        plan.entries = std::move(top);
        return 0;
    }
    // The tree keeps the program's place and mode, and its own objects.
    top[0].kind = plan.entries[0].kind;
    top[0].mode = plan.entries[0].mode;
    plan.entries[0] = std::move(top[0]);
    for (int i : tree) {
        const Node &n = c.nodes[(size_t)i];
        PlanEntry &e = plan.entries[n.entry];
        origin_edit(n, e, c.libc);
        e.renamed_needs = n.renamed_needs;
        e.needs = n.input.elf.needed;
    }
    for (size_t i = 1; i < top.size(); i++)
        plan.entries.push_back(std::move(top[i]));
    return 0;
}
