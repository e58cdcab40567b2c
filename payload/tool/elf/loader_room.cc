#include "elf/loader_room.h"

#include <elf.h>
#include <string.h>

#include <vector>

#include "elf/elf_read.h"
#include "format.h"

static bool marked(const unsigned char *bytes, uint64_t size)
{
    size_t mark = strlen(LOADER_PATH_MARK);
    return size > mark && memcmp(bytes, LOADER_PATH_MARK, mark) == 0;
}

static int find_in(ElfFile &file, const unsigned char *data, size_t size,
                   LoaderRoom &room, std::string &error)
{
    std::vector<GElf_Phdr> headers;
    if (elf_read_header(file) != 0 || elf_program_headers(file, headers) != 0) {
        error = "its program headers are unreadable";
        return -1;
    }
    const GElf_Phdr *interp = nullptr, *dynamic = nullptr;
    for (const GElf_Phdr &h : headers) {
        if (h.p_type == PT_INTERP)
            interp = &h;
        else if (h.p_type == PT_DYNAMIC)
            dynamic = &h;
    }
    if (interp == nullptr || interp->p_offset > size || interp->p_filesz > size - interp->p_offset ||
        !marked(data + interp->p_offset, interp->p_filesz)) {
        error = "its PT_INTERP keeps no room for the loader's path";
        return -1;
    }
    room.interpreter_at = interp->p_offset;
    room.interpreter_room = interp->p_filesz;

    std::vector<GElf_Dyn> entries;
    if (dynamic == nullptr ||
        elf_dynamic_entries(file, dynamic->p_offset, dynamic->p_filesz, entries) != 0) {
        error = "its dynamic section is unreadable";
        return -1;
    }
    GElf_Addr strtab = 0;
    GElf_Xword strsz = 0, rpath = 0;
    bool has_rpath = false;
    for (const GElf_Dyn &d : entries) {
        if (d.d_tag == DT_STRTAB)
            strtab = d.d_un.d_ptr;
        else if (d.d_tag == DT_STRSZ)
            strsz = d.d_un.d_val;
        else if (d.d_tag == DT_RPATH) {
            has_rpath = true;
            rpath = d.d_un.d_val;
        }
    }
    const unsigned char *strings = elf_loaded_bytes(file, headers, strtab, strsz);
    std::string text;
    if (!has_rpath || strings == nullptr ||
        !elf_bounded_string(strings, (size_t)strsz, rpath, text) ||
        !marked((const unsigned char *)text.data(), text.size())) {
        error = "its DT_RPATH keeps no room for the library directory";
        return -1;
    }
    room.library_dir_at = (uint64_t)(strings - data) + rpath;
    room.library_dir_room = text.size() + 1;
    return 0;
}

int find_loader_room(const unsigned char *data, size_t size, LoaderRoom &room,
                     std::string &error)
{
    ElfFile file;
    int rc = -1;
    if (elf_open_memory(data, size, file) != 0)
        error = "not an ELF file";
    else
        rc = find_in(file, data, size, room, error);
    elf_close(file);
    return rc;
}
