#include "elf/entry_needs.h"

std::string newest_glibc_need(const unsigned char *elf, size_t size)
{
    std::vector<VersionNeed> needs;
    std::string error;
    if (read_version_needs(elf, size, needs, error) != 0)
        return "";
    return newest_glibc_need(needs);
}

std::string newest_glibc_need(const std::vector<VersionNeed> &needs)
{
    VersionNeed newest;
    return newest_need(needs, "GLIBC_", newest) ? newest.version : "";
}

std::string newest_glibc_need(const std::string &elf)
{
    return newest_glibc_need((const unsigned char *)elf.data(), elf.size());
}
