#include "elf_file.h"

#include <elf.h>

#include <fstream>
#include <sstream>

#include "elf/elf_read.h"
#include "elf/version_needs.h"

// The tests read built files through the packer's own ELF layer, so that
// what they check is what the packer would read.
static void read_dynamic(const ElfFile &file, const GElf_Shdr &shdr, ElfImage &image)
{
    std::vector<GElf_Dyn> entries;
    elf_dynamic_entries(file, shdr.sh_offset, shdr.sh_size, entries);
    for (const GElf_Dyn &dyn : entries) {
        std::string text;
        bool named = elf_section_string(file, shdr.sh_link, dyn.d_un.d_val, text);
        if (dyn.d_tag == DT_NEEDED && named)
            image.needed.push_back(text);
        if (dyn.d_tag == DT_RUNPATH && named)
            image.runpath = text;
        if (dyn.d_tag == DT_RPATH && named)
            image.rpath = text;
        if (dyn.d_tag == DT_TEXTREL || (dyn.d_tag == DT_FLAGS && (dyn.d_un.d_val & DF_TEXTREL)))
            image.textrel = true;
    }
}

int ElfImage::load(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return -1;
    }
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string bytes = whole.str();
    const unsigned char *data = (const unsigned char *)bytes.data();

    ElfFile file;
    std::vector<ElfSectionEntry> entries;
    if (elf_open_memory(data, bytes.size(), file) != 0 || elf_read_header(file) != 0 ||
        elf_sections(file, entries, error) != 0) {
        error = path + ": not ELF";
        elf_close(file);
        return -1;
    }
    elf_class = file.elf_class;
    for (const ElfSectionEntry &entry : entries) {
        const GElf_Shdr &shdr = entry.header;
        ElfSection s;
        s.name = entry.name;
        s.type = shdr.sh_type;
        s.flags = shdr.sh_flags;
        s.addr = shdr.sh_addr;
        s.size = shdr.sh_size;
        s.align = shdr.sh_addralign;
        s.offset = shdr.sh_offset;
        Elf_Data *raw = elf_rawdata(entry.scn, nullptr);
        if (shdr.sh_type != SHT_NOBITS && raw && raw->d_buf)
            s.bytes.assign((const char *)raw->d_buf, raw->d_size);
        if (shdr.sh_type == SHT_DYNAMIC)
            read_dynamic(file, shdr, *this);
        sections.push_back(s);
    }
    std::vector<GElf_Phdr> headers;
    elf_program_headers(file, headers);
    for (const GElf_Phdr &phdr : headers)
        if (phdr.p_type == PT_LOAD)
            loaded.push_back({phdr.p_offset, phdr.p_filesz});
    elf_close(file);

    std::vector<VersionNeed> needs;
    if (read_version_needs(data, bytes.size(), needs, error) != 0) {
        error = path + ": " + error;
        return -1;
    }
    for (const VersionNeed &need : needs)
        version_needs.push_back({need.library, need.version});
    return 0;
}

const ElfSection *ElfImage::find(const std::string &name) const
{
    int i = index_of(name);
    return i < 0 ? nullptr : &sections[(size_t)i];
}

int ElfImage::index_of(const std::string &name) const
{
    for (size_t i = 0; i < sections.size(); i++)
        if (sections[i].name == name)
            return (int)i;
    return -1;
}

bool ElfImage::read(uint64_t addr, size_t size, std::string &out) const
{
    for (const ElfSection &s : sections) {
        if (!(s.flags & SHF_ALLOC) || s.bytes.empty())
            continue;
        if (addr >= s.addr && addr + size <= s.addr + s.bytes.size()) {
            out = s.bytes.substr(addr - s.addr, size);
            return true;
        }
    }
    return false;
}
