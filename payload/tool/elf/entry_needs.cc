#include "elf/entry_needs.h"

#include <vector>

#include "elf/version_needs.h"

std::string newest_glibc_need(const unsigned char *elf, size_t size)
{
    std::vector<VersionNeed> needs;
    std::string error;
    VersionNeed newest;
    if (read_version_needs(elf, size, needs, error) != 0 ||
        !newest_need(needs, "GLIBC_", newest))
        return "";
    return newest.version;
}

std::string newest_glibc_need(const std::string &elf)
{
    return newest_glibc_need((const unsigned char *)elf.data(), elf.size());
}
