#include "sys/mapped_file.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/read_input.h"

MappedFile::~MappedFile()
{
    if (data != nullptr && size > 0)
        munmap((void *)data, size);
}

int MappedFile::open(const std::string &path, std::string &error)
{
    int fd = open_input(path, error);
    struct stat st;
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0) {
        error = path + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    size = (size_t)st.st_size;
    if (size == 0) {
        close(fd);
        static const unsigned char nothing = 0;
        data = &nothing;
        return 0;
    }
    // Private and writable only so that libelf may work in place on its
    // copy; the file is never written.
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = path + ": " + strerror(errno);
        size = 0;
        return -1;
    }
    data = (const unsigned char *)map;
    return 0;
}
