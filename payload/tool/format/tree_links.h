// Where the symbolic links of a tree payload lead, judged through the tree's
// own entries: the packer decides with it which links it may keep, and the
// commands that read a launcher refuse a table whose links it would not
// keep. One judgement for both, so that a launcher the packer makes always
// reads back as sound.
#ifndef SFXPACK_TREE_LINKS_H
#define SFXPACK_TREE_LINKS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// One entry as the resolver sees it: its path (entry_path_problem), its kind
// (payload.h, TreeEntryKind) and, for TREE_SYMLINK, the link's text.
struct TreeNode {
    std::string path;
    uint32_t kind = 0;
    std::string target;
};

// The tree's entries by path, and every directory that holds one (each
// proper prefix of an entry's path), which the launcher makes on demand.
// Built once for any number of questions; the nodes must outlive it.
struct TreeIndex {
    const std::vector<TreeNode> *nodes = nullptr;
    std::unordered_map<std::string, size_t> by_path;  // the first entry of a path
    std::unordered_set<std::string> directories;
};

void index_tree(const std::vector<TreeNode> &nodes, TreeIndex &index);

enum TreeLinkResult {
    TREE_LINK_INSIDE,    // ends at an entry, a directory on an entry's path, or the top
    TREE_LINK_DANGLING,  // stays inside but names nothing the tree holds
    TREE_LINK_LEAVES,    // absolute, or climbs above the top
    TREE_LINK_LOOPS      // more links in a row than the kernel follows
};

// Resolves target as the kernel would from directory ("" for the top, else
// a directory's path), expanding every link entry met on the way, the last
// component's included, and taking a component that is not a link (a file
// or a name the tree lacks) as a plain step, so that nothing a program may
// later make there can carry the result outside. resolved gets the path
// reached ("" for the top) for INSIDE and DANGLING.
TreeLinkResult resolve_tree_target(const TreeIndex &index, const std::string &directory,
                                   const std::string &target, std::string &resolved);

// Resolves the symbolic link entry nodes[link] from its own directory.
TreeLinkResult resolve_tree_link(const TreeIndex &index, size_t link, std::string &resolved);

// Why the symbolic link entry nodes[link] cannot be kept, as one line
// ("symbolic link 'a/x' -> 'l/../../etc' leads out of the tree"), or empty
// when it resolves inside, dangling or not. An empty target is a problem too.
std::string tree_link_problem(const TreeIndex &index, size_t link);

// Why the paths of the tree break its rules, as one line, or empty: two
// entries of one path, a path that runs through a symbolic link, a file or
// a hard link entry ("l -> /home/u", then "l/.bashrc"), or a directory
// entry that is not empty. The first problem met, in entry order.
std::string tree_paths_problem(const TreeIndex &index);

#endif
