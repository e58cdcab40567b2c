// Where a tree's symbolic links lead, and which tables of paths hold.
#include <gtest/gtest.h>

#include "format/entry_name.h"
#include "format/tree_links.h"
#include "payload.h"

namespace {

TreeNode file(const std::string &path) { return {path, TREE_FILE, ""}; }
TreeNode link(const std::string &path, const std::string &target)
{
    return {path, TREE_SYMLINK, target};
}

// The judgement of the last node, in a tree of every node.
std::string last_link_problem(const std::vector<TreeNode> &nodes)
{
    TreeIndex index;
    index_tree(nodes, index);
    return tree_link_problem(index, nodes.size() - 1);
}

std::string paths_problem(const std::vector<TreeNode> &nodes)
{
    TreeIndex index;
    index_tree(nodes, index);
    return tree_paths_problem(index);
}

TEST(TreeLinks, LinksThatStayInsideAreKept)
{
    std::vector<std::string> targets = {"prog", "../prog", "../a/b/c", ".", "..", "b",
                                        "b/../../prog", "missing/x", "up/c", "up"};
    for (const std::string &target : targets) {
        std::vector<TreeNode> nodes = {file("prog"), file("a/b/c"), link("a/up", ".."),
                                       link("a/l", target)};
        EXPECT_EQ(last_link_problem(nodes), "") << target;
    }
    std::vector<TreeNode> nodes = {file("prog"), file("a/b/c"), link("a/l", "b/c")};
    TreeIndex index;
    index_tree(nodes, index);
    std::string resolved;
    EXPECT_EQ(resolve_tree_link(index, 2, resolved), TREE_LINK_INSIDE);
    EXPECT_EQ(resolved, "a/b/c");
    EXPECT_EQ(resolve_tree_target(index, "a", "nothing", resolved), TREE_LINK_DANGLING);
    EXPECT_EQ(resolved, "a/nothing");
}

TEST(TreeLinks, LinksThatLeaveOrLoopAreRefused)
{
    // A lexical look passes "l/../../etc" from a; through l it climbs out.
    std::vector<TreeNode> nodes = {file("prog"), link("a/l", ".."), link("a/x", "l/../../etc")};
    EXPECT_EQ(last_link_problem(nodes),
              "symbolic link 'a/x' -> 'l/../../etc' leads out of the tree");
    std::vector<std::string> leaving = {"/etc", "../..", "../../x", "chain", "x/../../.."};
    for (const std::string &target : leaving) {
        nodes = {file("prog"), link("a/chain", "../up"), link("up", ".."), link("a/l", target)};
        EXPECT_NE(last_link_problem(nodes).find("leads out of the tree"), std::string::npos)
            << target;
    }
    nodes = {file("prog"), link("p", "q"), link("q", "p/x"), link("l", "p")};
    EXPECT_NE(last_link_problem(nodes).find("loops"), std::string::npos);
    nodes = {file("prog"), link("self", "self")};
    EXPECT_NE(last_link_problem(nodes).find("loops"), std::string::npos);
    nodes = {file("prog"), link("l", "")};
    EXPECT_EQ(last_link_problem(nodes), "symbolic link 'l' has an empty target");
}

// What the kernel would not walk (a name the tree lacks, anything after a
// file) reaches nothing, even where a ".." comes back: the packer keeps a
// link only when it reaches its entry.
TEST(TreeLinks, OnlyAWalkOfPackedStepsReachesAnEntry)
{
    std::vector<TreeNode> nodes = {file("prog"),          file("a/b/c"), link("a/up", ".."),
                                   link("a/dir", "b"),    link("a/f", "b/c"),
                                   {"e", TREE_DIRECTORY, ""}};
    TreeIndex index;
    index_tree(nodes, index);
    std::string resolved;
    std::vector<std::string> reaching = {"b/c", "up/prog", "dir/c", "dir/../b/c", "f",
                                         "../e",  "./b//c", "b/"};
    for (const std::string &target : reaching) {
        resolved.clear();
        EXPECT_EQ(resolve_tree_target(index, "a", target, resolved), TREE_LINK_INSIDE) << target;
    }
    EXPECT_EQ(resolve_tree_target(index, "a", "up/a/b", resolved), TREE_LINK_INSIDE);
    EXPECT_EQ(resolved, "a/b");
    std::vector<std::string> stopping = {"missing/../b/c", "b/c/../c", "b/c/", "b/c/.",
                                         "f/../b",         "../prog/x/..", "nothing"};
    for (const std::string &target : stopping)
        EXPECT_EQ(resolve_tree_target(index, "a", target, resolved), TREE_LINK_DANGLING)
            << target;
    EXPECT_EQ(resolve_tree_target(index, "a", "missing/../../..", resolved), TREE_LINK_LEAVES);
}

TEST(TreeLinks, PathsMayNotRunThroughOtherEntries)
{
    EXPECT_EQ(paths_problem({file("prog"), link("l", "d"), file("d/x"), file("d/y")}), "");
    EXPECT_EQ(paths_problem({file("prog"), link("l", "/home/u"), file("l/.bashrc")}),
              "entry path 'l/.bashrc' runs through symbolic link 'l'");
    EXPECT_EQ(paths_problem({file("prog"), file("a/b"), file("prog/x")}),
              "entry path 'prog/x' runs through the file 'prog'");
    EXPECT_EQ(paths_problem({file("prog"), file("a/b"), file("a/b")}),
              "entries 1 and 2 are both 'a/b'");
    EXPECT_EQ(paths_problem({file("prog"), {"d", TREE_DIRECTORY, ""}, file("d/x")}),
              "directory entry 'd' is not empty (only empty directories are entries)");
}

// Which entries break the rules, for the packer to name their sources.
TEST(TreeLinks, PathFaultsNameBothEntries)
{
    std::vector<TreeNode> nodes = {file("prog"), file("a/b"), link("l", "a"), file("l/x"),
                                   file("a/b")};
    TreeIndex index;
    index_tree(nodes, index);
    TreePathsFault fault;
    ASSERT_EQ(check_tree_paths(index, fault), -1);
    EXPECT_EQ(fault.kind, TREE_PATHS_THROUGH);
    EXPECT_EQ(fault.entry, 3u);
    EXPECT_EQ(fault.other, 2u);
    nodes.erase(nodes.begin() + 3);
    index_tree(nodes, index);
    ASSERT_EQ(check_tree_paths(index, fault), -1);
    EXPECT_EQ(fault.kind, TREE_PATHS_SAME);
    EXPECT_EQ(fault.entry, 3u);
    EXPECT_EQ(fault.other, 1u);
    nodes.pop_back();
    index_tree(nodes, index);
    EXPECT_EQ(check_tree_paths(index, fault), 0);
}

TEST(TreeLinks, EntryPathsFollowTheTreeRules)
{
    EXPECT_EQ(entry_path_problem("a/b/c"), "");
    EXPECT_EQ(entry_path_problem(std::string(255, 'x') + "/y"), "");
    EXPECT_EQ(entry_path_problem(".sfxlaunch-work-dir/x").find("is reserved"), 35u);
    EXPECT_EQ(entry_path_problem("x/.sfxlaunch-work-dir"), "");
    std::vector<std::string> bad = {"", "/a", "a//b", "a/", "./a", "a/..", std::string(256, 'x'),
                                    std::string(4096, 'x')};
    for (const std::string &path : bad)
        EXPECT_NE(entry_path_problem(path), "") << path;
    std::string longest;
    while (longest.size() + 101 <= 4095)
        longest += std::string(100, 'x') + "/";
    longest += std::string(4095 - longest.size(), 'y');
    EXPECT_EQ(entry_path_problem(longest), "");
    EXPECT_NE(entry_path_problem(longest + "y"), "");
}

}  // namespace
