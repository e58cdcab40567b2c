#include "files.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

static const char *temp_dir()
{
    const char *tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

ScratchDir::ScratchDir() : ScratchDir(temp_dir()) {}

ScratchDir::ScratchDir(const std::string &parent)
{
    std::string pattern = parent + "/sfxtest-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr)
        path = buffer.data();
}

ScratchDir::~ScratchDir()
{
    if (!path.empty())
        remove_tree(path);
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), (std::streamsize)data.size());
}

void make_dirs(const std::string &path)
{
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            ADD_FAILURE() << "mkdir " << prefix << ": " << strerror(errno);
        if (at == std::string::npos)
            return;
    }
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent *d = readdir(dir))
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
            names.push_back(d->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

unsigned file_mode(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

void remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string &name : list_dir(path))
            remove_tree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string pseudo_random_bytes(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = (char)(x & 0xff);
    }
    return data;
}
