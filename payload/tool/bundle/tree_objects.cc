#include "bundle/tree_objects.h"

#include <elf.h>
#include <limits.h>
#include <stdlib.h>

#include "bundle/library_search.h"
#include "format/entry_name.h"
#include "payload.h"

namespace {

int depth_of(const std::string &entry_path)
{
    int depth = 0;
    for (char ch : entry_path)
        depth += ch == '/';
    return depth;
}

// The loader's name when the program starts through the packed one, else
// empty.
std::string packed_loader(const Closure &c)
{
    for (const Node &n : c.nodes)
        if (n.program_loader)
            return n.name;
    return "";
}

// Whether e, read as input, takes part in c's dynamic linking; notes why
// not where a user would expect it to.
bool tree_root(Closure &c, const PlanEntry &e, const InputRecord &input,
               const std::string &loader)
{
    const ElfObject &elf = input.elf;
    if (!input.elf_magic)
        return false;
    if (!input.elf_error.empty()) {
        c.notes.push_back(e.name + " (" + e.path + ") begins as an ELF file but is not one (" +
                          input.elf_error + "): packed as it is");
        return false;
    }
    if (elf_object_target(elf) != c.target) {
        c.notes.push_back(e.name + " (" + e.path + ") is built for " + elf_machine_name(elf) +
                          ", not for " + c.target->name +
                          " as the program is: packed as it is, with nothing it needs");
        return false;
    }
    // Static programs, static-pie ones, object files and plain shared
    // objects that need nothing have nothing to find.
    if ((elf.type != ET_EXEC && elf.type != ET_DYN) || !elf.dynamic ||
        (elf.needed.empty() && !elf.interpreter))
        return false;
    // glibc's own objects are packed as they are (bundle_plan.cc, origin_edit).
    if (c_library_object(base_name(e.name)))
        return false;
    if (!loader.empty() && elf.interpreter &&
        base_name(elf.interpreter_path) != loader) {
        c.notes.push_back(e.name + " (" + e.path + ") names the loader '" +
                          elf.interpreter_path + "', not the program's " + loader +
                          ", which --libc packs: packed as it is, with nothing it needs");
        return false;
    }
    return true;
}

}  // namespace

std::vector<int> add_tree_objects(Closure &c, BundlePlan &plan)
{
    std::vector<int> added;
    const std::string loader = packed_loader(c);
    for (size_t i = 1; i < plan.entries.size(); i++) {
        PlanEntry &e = plan.entries[i];
        // Every file is read here, once: the pack takes what planning
        // learned of it (read_plan_inputs), and only an ELF file is read
        // further than its first bytes. One that cannot be read is reported
        // where the pack needs it.
        if (e.kind != TREE_FILE || read_input_record(e.path, e.input) != 0 ||
            !tree_root(c, e, e.input, loader))
            continue;
        Node n;
        n.kind = NODE_TREE;
        n.name = e.name;
        n.path = e.path;
        n.origin = real_directory(e.path);
        n.entry = i;
        n.depth = depth_of(e.name);
        n.input = e.input;
        n.is_object = true;
        n.loader = 0;
        added.push_back((int)c.nodes.size());
        c.nodes.push_back(n);
    }
    return added;
}
