#include "sys/temp_dir.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "sys/fatal_signals.h"

int TempDir::create(std::string &error)
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sfxpack-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == NULL) {
        error = pattern + ": " + strerror(errno);
        return -1;
    }
    path = buffer.data();
    signal_slot = remove_on_signal(path.c_str(), true);
    return 0;
}

TempDir::~TempDir()
{
    if (path.empty())
        return;
    forget_on_signal(signal_slot);
    if (DIR *dir = opendir(path.c_str())) {
        while (struct dirent *d = readdir(dir)) {
            if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
                unlink((path + "/" + d->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}
