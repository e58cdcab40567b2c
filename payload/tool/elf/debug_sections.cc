#include "elf/debug_sections.h"

#include <errno.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <string.h>
#include <unistd.h>

#include "sys/read_input.h"

static bool is_debug_section(const char *name)
{
    return name != nullptr &&
           (strncmp(name, ".debug_", 7) == 0 || strncmp(name, ".zdebug_", 8) == 0);
}

int debug_section_bytes(const std::string &path, uint64_t &bytes, std::string &error)
{
    bytes = 0;
    int fd = open_input(path, error);
    if (fd < 0)
        return -1;
    elf_version(EV_CURRENT);
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    size_t names = 0;
    // Anything libelf cannot read as sections carries no debug information
    // worth a note: data files, damaged or stripped-of-headers objects.
    if (elf != nullptr && elf_kind(elf) == ELF_K_ELF && elf_getshdrstrndx(elf, &names) == 0) {
        for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
            GElf_Shdr shdr;
            if (gelf_getshdr(scn, &shdr) == nullptr || shdr.sh_type == SHT_NOBITS)
                continue;
            if (is_debug_section(elf_strptr(elf, names, shdr.sh_name)))
                bytes += shdr.sh_size;
        }
    }
    if (elf)
        elf_end(elf);
    close(fd);
    return 0;
}
