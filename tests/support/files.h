// Files and directories for tests.
#ifndef SFXLAUNCH_TESTS_FILES_H
#define SFXLAUNCH_TESTS_FILES_H

#include <string>
#include <vector>

// A fresh directory removed with its contents at the end of the test.
struct ScratchDir {
    std::string path;
    ScratchDir();
    explicit ScratchDir(const std::string &parent);  // there instead of $TMPDIR
    ~ScratchDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_text(const std::string &path);
void write_text(const std::string &path, const std::string &data);
// path and every directory above it, as mkdir -p makes them (mode 0755
// less the umask); fails the test when it cannot.
void make_dirs(const std::string &path);
bool file_exists(const std::string &path);
// Names in a directory, sorted, without . and ..; empty if it does not exist.
std::vector<std::string> list_dir(const std::string &path);
unsigned file_mode(const std::string &path);  // permission bits
void remove_tree(const std::string &path);
// Bytes that compress to nothing in particular, reproducibly.
std::string pseudo_random_bytes(size_t size, unsigned seed);

#endif
