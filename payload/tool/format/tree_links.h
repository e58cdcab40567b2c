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

// path without its last component: "a/b" of "a/b/c", "" of "c".
std::string tree_parent(const std::string &path);

// Resolves target as the kernel would from directory ("" for the top, else
// a directory's path), expanding every link entry met on the way, the last
// component's included, and taking a component that is not a link (a file
// or a name the tree lacks) as a plain step, so that nothing a program may
// later make there can carry the result outside. resolved gets the path
// reached ("" for the top) for INSIDE and DANGLING. Such a plain step (a
// name the tree lacks, or anything after a file) makes the result DANGLING
// even where the walk comes back: the kernel would stop there, so the link
// reaches nothing, and INSIDE means it reaches resolved unpacked.
TreeLinkResult resolve_tree_target(const TreeIndex &index, const std::string &directory,
                                   const std::string &target, std::string &resolved);

// Resolves the symbolic link entry nodes[link] from its own directory.
TreeLinkResult resolve_tree_link(const TreeIndex &index, size_t link, std::string &resolved);

// Why the symbolic link entry nodes[link] cannot be kept, as one line
// ("symbolic link 'a/x' -> 'l/../../etc' leads out of the tree"), or empty
// when it resolves inside, dangling or not. An empty target is a problem too.
std::string tree_link_problem(const TreeIndex &index, size_t link);

enum TreePathsFaultKind {
    TREE_PATHS_SAME,       // entry has the path of the earlier entry other
    TREE_PATHS_NOT_EMPTY,  // entry is a directory entry that holds entries
    TREE_PATHS_THROUGH     // entry's path runs through entry other, no directory
};

// The first problem of a tree's paths, in entry order: the commands that read
// a launcher and the packer word it each for their own readers.
struct TreePathsFault {
    TreePathsFaultKind kind = TREE_PATHS_SAME;
    size_t entry = 0;
    size_t other = 0;
};

// Whether the paths of the tree keep its rules: each path once, none running
// through a symbolic link, a file or a hard link entry ("l -> /home/u", then
// "l/.bashrc"), directory entries empty. 0, or -1 with the first fault.
int check_tree_paths(const TreeIndex &index, TreePathsFault &fault);

// check_tree_paths' fault as one line ("entry path 'l/.bashrc' runs through
// symbolic link 'l'"), or empty.
std::string tree_paths_problem(const TreeIndex &index);

#endif
