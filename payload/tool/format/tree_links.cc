// Where the symbolic links of a tree payload lead.
#include "format/tree_links.h"

#include "format/entry_name.h"
#include "payload.h"

namespace {

// The kernel follows at most this many links in one lookup (MAXSYMLINKS):
// a longer chain fails at run time, and a loop is one.
const int links_followed_max = 40;

void split_components(const std::string &text, std::vector<std::string> &components)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        size_t end = slash == std::string::npos ? text.size() : slash;
        components.push_back(text.substr(start, end - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
}

std::string joined(const std::string &directory, const std::string &name)
{
    return directory.empty() ? name : directory + "/" + name;
}

}  // namespace

std::string tree_parent(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void index_tree(const std::vector<TreeNode> &nodes, TreeIndex &index)
{
    index.nodes = &nodes;
    index.by_path.clear();
    index.directories.clear();
    index.by_path.reserve(nodes.size());
    for (size_t i = 0; i < nodes.size(); i++) {
        const std::string &path = nodes[i].path;
        index.by_path.emplace(path, i);
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            index.directories.insert(path.substr(0, slash));
    }
}

TreeLinkResult resolve_tree_target(const TreeIndex &index, const std::string &directory,
                                   const std::string &target, std::string &resolved)
{
    if (!target.empty() && target[0] == '/')
        return TREE_LINK_LEAVES;
    // What is left to walk, last component first, so that a link's text
    // replaces its name at the back.
    std::vector<std::string> pending;
    split_components(target, pending);
    std::vector<std::string> reversed(pending.rbegin(), pending.rend());
    pending.swap(reversed);
    // The path walked so far holds no link: each was expanded as it came.
    std::vector<std::string> walked;
    std::string current;
    if (!directory.empty())
        split_components(directory, walked);
    current = directory;
    int followed = 0;
    bool on_file = false, broken = false;
    while (!pending.empty()) {
        std::string component = pending.back();
        pending.pop_back();
        // Not even a '/' or a "." may follow a file (ENOTDIR).
        broken = broken || on_file;
        on_file = false;
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            if (walked.empty())
                return TREE_LINK_LEAVES;
            walked.pop_back();
            current = tree_parent(current);
            continue;
        }
        std::string next = joined(current, component);
        auto found = index.by_path.find(next);
        bool known = found != index.by_path.end();
        uint32_t kind = known ? (*index.nodes)[found->second].kind : (uint32_t)TREE_DIRECTORY;
        broken = broken || (!known && index.directories.count(next) == 0);
        if (kind == TREE_SYMLINK) {
            if (++followed > links_followed_max)
                return TREE_LINK_LOOPS;
            const std::string &text = (*index.nodes)[found->second].target;
            if (text.empty())
                return TREE_LINK_DANGLING;
            if (text[0] == '/')
                return TREE_LINK_LEAVES;
            std::vector<std::string> expanded;
            split_components(text, expanded);
            pending.insert(pending.end(), expanded.rbegin(), expanded.rend());
            continue;
        }
        on_file = kind == TREE_FILE || kind == TREE_HARD_LINK;
        walked.push_back(component);
        current = next;
    }
    resolved = current;
    return broken ? TREE_LINK_DANGLING : TREE_LINK_INSIDE;
}

TreeLinkResult resolve_tree_link(const TreeIndex &index, size_t link, std::string &resolved)
{
    const TreeNode &node = (*index.nodes)[link];
    return resolve_tree_target(index, tree_parent(node.path), node.target, resolved);
}

std::string tree_link_problem(const TreeIndex &index, size_t link)
{
    const TreeNode &node = (*index.nodes)[link];
    if (node.target.empty())
        return "symbolic link " + shown_name(node.path) + " has an empty target";
    std::string resolved;
    switch (resolve_tree_link(index, link, resolved)) {
    case TREE_LINK_INSIDE:
    case TREE_LINK_DANGLING:
        return "";
    case TREE_LINK_LEAVES:
        return "symbolic link " + shown_name(node.path) + " -> " + shown_name(node.target) +
               " leads out of the tree";
    case TREE_LINK_LOOPS:
        break;
    }
    return "symbolic link " + shown_name(node.path) + " -> " + shown_name(node.target) +
           " loops (or follows more than " + std::to_string(links_followed_max) +
           " links in a row)";
}

int check_tree_paths(const TreeIndex &index, TreePathsFault &fault)
{
    const std::vector<TreeNode> &nodes = *index.nodes;
    for (size_t i = 0; i < nodes.size(); i++) {
        const std::string &path = nodes[i].path;
        fault.entry = i;
        auto first = index.by_path.find(path);
        if (first != index.by_path.end() && first->second != i) {
            fault.kind = TREE_PATHS_SAME;
            fault.other = first->second;
            return -1;
        }
        if (nodes[i].kind == TREE_DIRECTORY && index.directories.count(path)) {
            fault.kind = TREE_PATHS_NOT_EMPTY;
            fault.other = i;
            return -1;
        }
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            auto through = index.by_path.find(path.substr(0, slash));
            if (through == index.by_path.end() ||
                nodes[through->second].kind == TREE_DIRECTORY)
                continue;
            fault.kind = TREE_PATHS_THROUGH;
            fault.other = through->second;
            return -1;
        }
    }
    return 0;
}

std::string tree_paths_problem(const TreeIndex &index)
{
    TreePathsFault fault;
    if (check_tree_paths(index, fault) == 0)
        return "";
    const TreeNode &entry = (*index.nodes)[fault.entry], &other = (*index.nodes)[fault.other];
    switch (fault.kind) {
    case TREE_PATHS_SAME:
        return "entries " + std::to_string(fault.other) + " and " + std::to_string(fault.entry) +
               " are both " + shown_name(entry.path);
    case TREE_PATHS_NOT_EMPTY:
        return "directory entry " + shown_name(entry.path) +
               " is not empty (only empty directories are entries)";
    case TREE_PATHS_THROUGH:
        break;
    }
    return "entry path " + shown_name(entry.path) + " runs through " +
           (other.kind == TREE_SYMLINK ? "symbolic link " : "the file ") +
           shown_name(other.path);
}
