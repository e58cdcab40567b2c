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
