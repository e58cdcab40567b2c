#include "elf_file.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

// Walks the chain of Verneed records, each with its chain of Vernaux.
static void read_version_needs(Elf *elf, Elf_Scn *scn, const GElf_Shdr &shdr,
                               std::vector<ElfVersionNeed> &needs)
{
    Elf_Data *data = elf_getdata(scn, nullptr);
    if (data == nullptr)
        return;
    int offset = 0;
    for (GElf_Word i = 0; i < shdr.sh_info; i++) {
        GElf_Verneed need;
        if (gelf_getverneed(data, offset, &need) == nullptr)
            return;
        const char *file = elf_strptr(elf, shdr.sh_link, need.vn_file);
        int aux_offset = offset + (int)need.vn_aux;
        for (GElf_Half j = 0; j < need.vn_cnt; j++) {
            GElf_Vernaux aux;
            if (gelf_getvernaux(data, aux_offset, &aux) == nullptr)
                return;
            const char *name = elf_strptr(elf, shdr.sh_link, aux.vna_name);
            needs.push_back({file ? file : "?", name ? name : "?"});
            aux_offset += (int)aux.vna_next;
        }
        offset += (int)need.vn_next;
    }
}

int ElfImage::load(const std::string &path, std::string &error)
{
    elf_version(EV_CURRENT);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        error = "cannot open " + path;
        return -1;
    }
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    size_t shstrndx;
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF ||
        elf_getshdrstrndx(elf, &shstrndx) != 0) {
        error = path + ": not ELF";
        if (elf)
            elf_end(elf);
        close(fd);
        return -1;
    }
    elf_class = gelf_getclass(elf);
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        gelf_getshdr(scn, &shdr);
        ElfSection s;
        s.name = elf_strptr(elf, shstrndx, shdr.sh_name);
        s.type = shdr.sh_type;
        s.flags = shdr.sh_flags;
        s.addr = shdr.sh_addr;
        s.size = shdr.sh_size;
        s.align = shdr.sh_addralign;
        s.offset = shdr.sh_offset;
        Elf_Data *data = elf_rawdata(scn, nullptr);
        if (shdr.sh_type != SHT_NOBITS && data && data->d_buf)
            s.bytes.assign((const char *)data->d_buf, data->d_size);
        if (shdr.sh_type == SHT_DYNAMIC) {
            Elf_Data *d = elf_getdata(scn, nullptr);
            size_t count = shdr.sh_entsize ? shdr.sh_size / shdr.sh_entsize : 0;
            for (size_t i = 0; d && i < count; i++) {
                GElf_Dyn dyn;
                gelf_getdyn(d, (int)i, &dyn);
                if (dyn.d_tag == DT_NEEDED)
                    needed.push_back(elf_strptr(elf, shdr.sh_link, dyn.d_un.d_val));
                if (dyn.d_tag == DT_RUNPATH)
                    runpath = elf_strptr(elf, shdr.sh_link, dyn.d_un.d_val);
                if (dyn.d_tag == DT_RPATH)
                    rpath = elf_strptr(elf, shdr.sh_link, dyn.d_un.d_val);
                if (dyn.d_tag == DT_TEXTREL ||
                    (dyn.d_tag == DT_FLAGS && (dyn.d_un.d_val & DF_TEXTREL)))
                    textrel = true;
            }
        }
        if (shdr.sh_type == SHT_GNU_verneed)
            read_version_needs(elf, scn, shdr, version_needs);
        sections.push_back(s);
    }
    size_t phnum = 0;
    elf_getphdrnum(elf, &phnum);
    for (size_t i = 0; i < phnum; i++) {
        GElf_Phdr phdr;
        if (gelf_getphdr(elf, (int)i, &phdr) != nullptr && phdr.p_type == PT_LOAD)
            loaded.push_back({phdr.p_offset, phdr.p_filesz});
    }
    elf_end(elf);
    close(fd);
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
