#include "sys/write_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

int write_file(const std::string &path, const void *data, size_t size,
               std::string &error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    const char *p = (const char *)data;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = path + ": " + strerror(n < 0 ? errno : ENOSPC);
            close(fd);
            return -1;
        }
        p += n;
        size -= (size_t)n;
    }
    if (close(fd) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}
