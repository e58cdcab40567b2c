#include "elf_file.h"

#include <elf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

// The tests read built files with libelf alone and never through the
// packer's own ELF layer: a fault there would otherwise hide from the packer
// and from its tests at once. Files read here are the tests' own fresh
// builds, so a broken link is reported, not survived.

static int elf_failed(const std::string &path, const char *call, std::string &error)
{
    error = path + ": " + call + ": " + elf_errmsg(-1);
    return -1;
}

// The string at offset of string table section table, or false.
static bool table_string(Elf *elf, size_t table, size_t offset, std::string &out)
{
    const char *text = elf_strptr(elf, table, offset);
    if (text == nullptr)
        return false;
    out = text;
    return true;
}

static int read_dynamic(Elf *elf, Elf_Scn *scn, const GElf_Shdr &shdr, const std::string &path,
                        ElfImage &image, std::string &error)
{
    Elf_Data *data = elf_getdata(scn, nullptr);
    if (data == nullptr)
        return elf_failed(path, "elf_getdata", error);
    size_t entry_size = gelf_fsize(elf, ELF_T_DYN, 1, EV_CURRENT);
    if (entry_size == 0)
        return elf_failed(path, "gelf_fsize", error);
    for (size_t i = 0; i < data->d_size / entry_size; i++) {
        GElf_Dyn dyn;
        if (gelf_getdyn(data, (int)i, &dyn) == nullptr)
            return elf_failed(path, "gelf_getdyn", error);
        if (dyn.d_tag == DT_NULL)
            break;
        if (dyn.d_tag == DT_TEXTREL || (dyn.d_tag == DT_FLAGS && (dyn.d_un.d_val & DF_TEXTREL)))
            image.textrel = true;
        if (dyn.d_tag != DT_NEEDED && dyn.d_tag != DT_RUNPATH && dyn.d_tag != DT_RPATH)
            continue;
        std::string text;
        if (!table_string(elf, shdr.sh_link, dyn.d_un.d_val, text))
            return elf_failed(path, "elf_strptr", error);
        if (dyn.d_tag == DT_NEEDED)
            image.needed.push_back(text);
        else if (dyn.d_tag == DT_RUNPATH)
            image.runpath = text;
        else
            image.rpath = text;
    }
    return 0;
}

// .gnu.version_r: sh_info files, each with its chain of versions.
static int read_version_needs(Elf *elf, Elf_Scn *scn, const GElf_Shdr &shdr,
                              const std::string &path, ElfImage &image, std::string &error)
{
    Elf_Data *data = elf_getdata(scn, nullptr);
    if (data == nullptr)
        return elf_failed(path, "elf_getdata", error);
    size_t file_at = 0;
    for (size_t i = 0; i < shdr.sh_info; i++) {
        GElf_Verneed need;
        std::string file;
        if (gelf_getverneed(data, (int)file_at, &need) == nullptr)
            return elf_failed(path, "gelf_getverneed", error);
        if (!table_string(elf, shdr.sh_link, need.vn_file, file))
            return elf_failed(path, "elf_strptr", error);
        size_t version_at = file_at + need.vn_aux;
        for (size_t j = 0; j < need.vn_cnt; j++) {
            GElf_Vernaux aux;
            std::string version;
            if (gelf_getvernaux(data, (int)version_at, &aux) == nullptr)
                return elf_failed(path, "gelf_getvernaux", error);
            if (!table_string(elf, shdr.sh_link, aux.vna_name, version))
                return elf_failed(path, "elf_strptr", error);
            image.version_needs.push_back({file, version});
            if (aux.vna_next == 0)
                break;
            version_at += aux.vna_next;
        }
        if (need.vn_next == 0)
            break;
        file_at += need.vn_next;
    }
    return 0;
}

static int read_sections(Elf *elf, const std::string &path, ElfImage &image, std::string &error)
{
    size_t names;
    if (elf_getshdrstrndx(elf, &names) != 0)
        return elf_failed(path, "elf_getshdrstrndx", error);
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (gelf_getshdr(scn, &shdr) == nullptr)
            return elf_failed(path, "gelf_getshdr", error);
        ElfSection s;
        if (!table_string(elf, names, shdr.sh_name, s.name))
            return elf_failed(path, "elf_strptr", error);
        s.type = shdr.sh_type;
        s.flags = shdr.sh_flags;
        s.addr = shdr.sh_addr;
        s.size = shdr.sh_size;
        s.align = shdr.sh_addralign;
        s.offset = shdr.sh_offset;
        if (shdr.sh_type != SHT_NOBITS) {
            Elf_Data *raw = elf_rawdata(scn, nullptr);
            if (raw == nullptr)
                return elf_failed(path, "elf_rawdata", error);
            if (raw->d_buf)
                s.bytes.assign((const char *)raw->d_buf, raw->d_size);
        }
        if (shdr.sh_type == SHT_DYNAMIC && read_dynamic(elf, scn, shdr, path, image, error) != 0)
            return -1;
        if (shdr.sh_type == SHT_GNU_verneed &&
            read_version_needs(elf, scn, shdr, path, image, error) != 0)
            return -1;
        image.sections.push_back(s);
    }
    return 0;
}

static int read_segments(Elf *elf, const std::string &path, ElfImage &image, std::string &error)
{
    size_t count;
    if (elf_getphdrnum(elf, &count) != 0)
        return elf_failed(path, "elf_getphdrnum", error);
    for (size_t i = 0; i < count; i++) {
        GElf_Phdr phdr;
        if (gelf_getphdr(elf, (int)i, &phdr) == nullptr)
            return elf_failed(path, "gelf_getphdr", error);
        if (phdr.p_type == PT_LOAD)
            image.loaded.push_back({phdr.p_offset, phdr.p_filesz});
    }
    return 0;
}

int ElfImage::load(const std::string &path, std::string &error)
{
    *this = ElfImage();
    if (elf_version(EV_CURRENT) == EV_NONE)
        return elf_failed(path, "elf_version", error);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path;
        return -1;
    }
    int result = -1;
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF)
        error = path + ": not ELF";
    else if ((elf_class = gelf_getclass(elf)) == ELFCLASSNONE)
        elf_failed(path, "gelf_getclass", error);
    else if (read_sections(elf, path, *this, error) == 0 &&
             read_segments(elf, path, *this, error) == 0)
        result = 0;
    elf_end(elf);
    close(fd);
    return result;
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
