#include "cli/open_launcher.h"

#include "sys/diagnostics.h"

int open_launcher(const std::string &path, MappedFile &file, LauncherImage &image)
{
    std::string error;
    if (file.open(path, error) != 0 || read_launcher(file.data, file.size, image, error) != 0) {
        if (error.rfind(path + ": ", 0) != 0)
            error = path + ": " + error;
        print_error(error);
        return -1;
    }
    return 0;
}
