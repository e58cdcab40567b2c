#include "format/tree_path.h"

#include "format.h"
#include "format/entry_name.h"

std::string tree_path_problem(const std::string &path)
{
    if (path.empty())
        return "an entry path is empty";
    if (path.size() > TREE_PATH_MAX)
        return "entry path " + shown_name(path) + " is longer than the " +
               std::to_string(TREE_PATH_MAX) + " bytes a path in the work directory can hold";
    if (path[0] == '/')
        return "entry path " + shown_name(path) + " is absolute; entry paths are relative";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
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
                   "work directories with a file of that name";
        start = end + 1;
    }
    return "";
}

std::string tree_parent(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}
