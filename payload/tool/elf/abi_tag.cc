#include "elf/abi_tag.h"

#include <elf.h>
#include <string.h>

#include <vector>

#include "elf/elf_read.h"
#include "sys/mapped_file.h"

namespace {

// The note's description: the OS (0 is Linux) and three release numbers,
// four 32-bit words in the file's byte order, which libelf converted.
const uint32_t abi_tag_linux = 0;

bool linux_release(Elf_Data *data, std::string &release)
{
    GElf_Nhdr note;
    size_t name_at = 0, desc_at = 0;
    for (size_t at = 0;
         (at = gelf_getnote(data, at, &note, &name_at, &desc_at)) != 0;) {
        const char *bytes = (const char *)data->d_buf;
        if (note.n_type != NT_GNU_ABI_TAG || note.n_namesz != 4 ||
            memcmp(bytes + name_at, "GNU", 4) != 0 || note.n_descsz < 16)
            continue;
        uint32_t words[4];
        memcpy(words, bytes + desc_at, sizeof words);
        if (words[0] != abi_tag_linux)
            continue;
        release = std::to_string(words[1]) + "." + std::to_string(words[2]);
        if (words[3] != 0)
            release += "." + std::to_string(words[3]);
        return true;
    }
    return false;
}

}  // namespace

int gnu_abi_kernel(const unsigned char *data, size_t size, std::string &release,
                   std::string &error)
{
    ElfFile file;
    elf_open_memory(data, size, file);
    std::vector<ElfSectionEntry> sections;
    bool found = false;
    if (elf_read_header(file) != 0) {
        error = "not an ELF file";
    } else if (elf_sections(file, sections, error) == 0) {
        for (const ElfSectionEntry &s : sections) {
            Elf_Data *notes = s.header.sh_type == SHT_NOTE ? elf_getdata(s.scn, nullptr) : nullptr;
            if (notes != nullptr && linux_release(notes, release)) {
                found = true;
                break;
            }
        }
        if (!found)
            error = "no ABI note (NT_GNU_ABI_TAG) names the oldest Linux it runs on";
    }
    elf_close(file);
    return found ? 0 : -1;
}

int gnu_abi_kernel(const std::string &path, std::string &release, std::string &error)
{
    MappedFile file;
    if (file.open(path, error) != 0)
        return -1;
    if (gnu_abi_kernel(file.data, file.size, release, error) == 0)
        return 0;
    error = path + ": " + error;
    return -1;
}
