// What an entry is called.
#include "format/entry_name.h"

#include "format.h"

std::string base_name(const std::string &path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string shown_name(const std::string &name)
{
    if (name.size() <= 40)
        return "'" + name + "'";
    return "'" + name.substr(0, 40) + "...' (" + std::to_string(name.size()) + " bytes)";
}

std::string entry_name_problem(const std::string &name)
{
    if (name.empty())
        return "an entry name is empty";
    if (name == "." || name == "..")
        return "entry name '" + name + "' is not a file name";
    if (name.find('/') != std::string::npos)
        return "entry name '" + name + "' holds a '/' (names are single path components)";
    if (name == WORK_DIR_MARKER)
        return "entry name '" + name + "' is reserved: launchers mark their work directories "
                                       "with a file of that name";
    if (name.size() > ENTRY_NAME_MAX)
        return "entry name " + shown_name(name) + " is longer than the " +
               std::to_string(ENTRY_NAME_MAX) + " bytes a file name can hold";
    return "";
}

std::string entry_path_problem(const std::string &path)
{
    if (path.empty())
        return "an entry path is empty";
    if (path.size() > TREE_PATH_MAX)
        return "entry path " + shown_name(path) + " is longer than the " +
               std::to_string(TREE_PATH_MAX) + " bytes a path can hold";
    if (path[0] == '/')
        return "entry path " + shown_name(path) + " is absolute (paths are relative to "
                                                  "the work directory)";
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        size_t end = slash == std::string::npos ? path.size() : slash;
        std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return "entry path " + shown_name(path) +
                   " has an empty, '.' or '..' component (paths are components joined by "
                   "single '/')";
        if (component.size() > ENTRY_NAME_MAX)
            return "entry path " + shown_name(path) + " has a component longer than the " +
                   std::to_string(ENTRY_NAME_MAX) + " bytes a file name can hold";
        if (start == 0 && component == WORK_DIR_MARKER)
            return "entry path " + shown_name(path) + " is reserved: launchers mark their "
                                                      "work directories with a file named '" +
                   std::string(WORK_DIR_MARKER) + "'";
        if (slash == std::string::npos)
            return "";
        start = slash + 1;
    }
}
