#include "elf/elf_object.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <string.h>
#include <unistd.h>

#include "sys/read_input.h"

namespace {

struct LoadSegment {
    GElf_Addr vaddr;
    GElf_Off offset;
    GElf_Xword filesz;
};

struct DynamicStrings {
    const char *bytes = nullptr;
    size_t size = 0;
};

// The string at offset, or false when it does not end inside the table:
// the file is untrusted, so every offset is checked.
bool string_at(const DynamicStrings &strings, GElf_Xword offset, std::string &out)
{
    if (strings.bytes == nullptr || offset >= strings.size)
        return false;
    const char *start = strings.bytes + offset;
    const void *end = memchr(start, '\0', strings.size - offset);
    if (end == nullptr)
        return false;
    out.assign(start, (const char *)end);
    return true;
}

// The loader finds the string table through its address, so the file offset
// comes from the load segment that maps it.
DynamicStrings dynamic_strings(Elf *elf, const std::vector<LoadSegment> &loads,
                               GElf_Addr addr, GElf_Xword size)
{
    DynamicStrings strings;
    for (const LoadSegment &s : loads) {
        if (addr < s.vaddr || addr - s.vaddr >= s.filesz)
            continue;
        GElf_Xword room = s.filesz - (addr - s.vaddr);
        if (size > room)
            size = room;
        Elf_Data *data = elf_getdata_rawchunk(elf, (int64_t)(s.offset + (addr - s.vaddr)),
                                              size, ELF_T_BYTE);
        if (data && data->d_buf) {
            strings.bytes = (const char *)data->d_buf;
            strings.size = data->d_size;
        }
        break;
    }
    return strings;
}

int read_dynamic(Elf *elf, const GElf_Phdr &dynamic,
                 const std::vector<LoadSegment> &loads, ElfObject &object)
{
    Elf_Data *data = elf_getdata_rawchunk(elf, (int64_t)dynamic.p_offset,
                                          dynamic.p_filesz, ELF_T_DYN);
    size_t entry_size = gelf_fsize(elf, ELF_T_DYN, 1, EV_CURRENT);
    if (data == nullptr || entry_size == 0)
        return -1;

    GElf_Addr strtab = 0;
    GElf_Xword strsz = 0;
    std::vector<GElf_Xword> needed;
    GElf_Xword rpath = 0, runpath = 0, soname = 0;
    bool has_soname = false;
    size_t count = data->d_size / entry_size;
    for (size_t i = 0; i < count; i++) {
        GElf_Dyn dyn;
        if (gelf_getdyn(data, (int)i, &dyn) == nullptr)
            return -1;
        if (dyn.d_tag == DT_NULL)
            break;
        switch (dyn.d_tag) {
        case DT_STRTAB: strtab = dyn.d_un.d_ptr; break;
        case DT_STRSZ: strsz = dyn.d_un.d_val; break;
        case DT_NEEDED: needed.push_back(dyn.d_un.d_val); break;
        case DT_RPATH: object.has_rpath = true; rpath = dyn.d_un.d_val; break;
        case DT_RUNPATH: object.has_runpath = true; runpath = dyn.d_un.d_val; break;
        case DT_SONAME: has_soname = true; soname = dyn.d_un.d_val; break;
        default: break;
        }
    }
    if (needed.empty() && !object.has_rpath && !object.has_runpath && !has_soname)
        return 0;

    DynamicStrings strings = dynamic_strings(elf, loads, strtab, strsz);
    for (GElf_Xword offset : needed) {
        std::string name;
        if (!string_at(strings, offset, name))
            return -1;
        object.needed.push_back(name);
    }
    if ((object.has_rpath && !string_at(strings, rpath, object.rpath)) ||
        (object.has_runpath && !string_at(strings, runpath, object.runpath)) ||
        (has_soname && !string_at(strings, soname, object.soname)))
        return -1;
    return 0;
}

}  // namespace

int read_elf_object(const std::string &path, ElfObject &object, std::string &error)
{
    object = ElfObject();
    int fd = open_input(path, error);
    if (fd < 0)
        return -1;
    elf_version(EV_CURRENT);
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    GElf_Ehdr ehdr;
    int rc = -1;
    size_t phnum = 0;
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF || gelf_getehdr(elf, &ehdr) == nullptr) {
        error = path + ": not an ELF file";
    } else if (elf_getphdrnum(elf, &phnum) != 0) {
        error = path + ": damaged ELF file (program headers)";
    } else {
        object.elf_class = gelf_getclass(elf);
        object.machine = ehdr.e_machine;
        object.type = ehdr.e_type;
        std::vector<LoadSegment> loads;
        GElf_Phdr dynamic;
        bool has_dynamic = false;
        rc = 0;
        for (size_t i = 0; i < phnum; i++) {
            GElf_Phdr phdr;
            if (gelf_getphdr(elf, (int)i, &phdr) == nullptr) {
                rc = -1;
                break;
            }
            if (phdr.p_type == PT_INTERP)
                object.interpreter = true;
            else if (phdr.p_type == PT_LOAD)
                loads.push_back({phdr.p_vaddr, phdr.p_offset, phdr.p_filesz});
            else if (phdr.p_type == PT_DYNAMIC) {
                dynamic = phdr;
                has_dynamic = true;
            }
        }
        object.dynamic = has_dynamic;
        if (rc == 0 && has_dynamic)
            rc = read_dynamic(elf, dynamic, loads, object);
        if (rc != 0)
            error = path + ": damaged ELF file (dynamic section)";
    }
    if (elf)
        elf_end(elf);
    close(fd);
    return rc;
}

const TargetInfo *elf_object_target(const ElfObject &object)
{
    return find_elf_target(object.elf_class, object.machine);
}

std::string elf_machine_name(const ElfObject &object)
{
    switch (object.machine) {
    case EM_X86_64: return object.elf_class == ELFCLASS32 ? "x32" : "x86_64";
    case EM_386: return "i386";
    case EM_AARCH64: return "AArch64";
    case EM_ARM: return "ARM";
    case EM_RISCV: return object.elf_class == ELFCLASS32 ? "RISC-V 32-bit" : "RISC-V 64-bit";
    case EM_PPC64: return "PowerPC 64-bit";
    case EM_PPC: return "PowerPC";
    case EM_S390: return "s390";
    case EM_MIPS: return "MIPS";
    case EM_SPARCV9: return "SPARC 64-bit";
    case EM_LOONGARCH: return "LoongArch";
    default: return "machine " + std::to_string(object.machine);
    }
}
