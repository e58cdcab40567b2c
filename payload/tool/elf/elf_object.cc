#include "elf/elf_object.h"

#include <elf.h>

#include "elf/elf_read.h"

namespace {

// The loader finds the string table through its address, so the file offset
// comes from the load segment that maps it.
int read_dynamic(const ElfFile &file, const GElf_Phdr &dynamic,
                 const std::vector<GElf_Phdr> &headers, ElfObject &object)
{
    std::vector<GElf_Dyn> entries;
    if (elf_dynamic_entries(file, dynamic.p_offset, dynamic.p_filesz, entries) != 0)
        return -1;

    GElf_Addr strtab = 0;
    GElf_Xword strsz = 0;
    std::vector<GElf_Xword> needed;
    GElf_Xword rpath = 0, runpath = 0, soname = 0;
    bool has_soname = false;
    for (const GElf_Dyn &dyn : entries) {
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

    Elf_Data *strings = elf_address_data(file, headers, strtab, strsz, ELF_T_BYTE);
    const void *bytes = strings != nullptr ? strings->d_buf : nullptr;
    size_t size = bytes != nullptr ? strings->d_size : 0;
    for (GElf_Xword offset : needed) {
        std::string name;
        if (!elf_bounded_string(bytes, size, offset, name))
            return -1;
        object.needed.push_back(name);
    }
    if ((object.has_rpath && !elf_bounded_string(bytes, size, rpath, object.rpath)) ||
        (object.has_runpath && !elf_bounded_string(bytes, size, runpath, object.runpath)) ||
        (has_soname && !elf_bounded_string(bytes, size, soname, object.soname)))
        return -1;
    return 0;
}

// PT_INTERP's bytes are a path ending in a NUL; anything else is left empty.
void interpreter_string(const ElfFile &file, const GElf_Phdr &interp, std::string &path)
{
    size_t size = 0;
    const char *image = elf_rawfile(file.elf, &size);
    if (image == nullptr || interp.p_offset > size || interp.p_filesz > size - interp.p_offset ||
        !elf_bounded_string(image + interp.p_offset, (size_t)interp.p_filesz, 0, path))
        path.clear();
}

}  // namespace

int read_elf_object(const unsigned char *data, size_t size, ElfObject &object,
                    std::string &error)
{
    object = ElfObject();
    ElfFile file;
    elf_open_memory(data, size, file);
    int rc = -1;
    size_t phnum = 0;
    std::vector<GElf_Phdr> headers;
    if (elf_read_header(file) != 0) {
        error = "not an ELF file";
    } else if (elf_segment_count(file, phnum) != 0) {
        error = "damaged ELF file (program headers)";
    } else {
        object.elf_class = file.elf_class;
        object.machine = file.header.e_machine;
        object.type = file.header.e_type;
        rc = elf_program_headers(file, headers);
        const GElf_Phdr *dynamic = nullptr;
        for (const GElf_Phdr &phdr : headers) {
            if (phdr.p_type == PT_INTERP) {
                object.interpreter = true;
                interpreter_string(file, phdr, object.interpreter_path);
            }
            else if (phdr.p_type == PT_DYNAMIC)
                dynamic = &phdr;
        }
        object.dynamic = dynamic != nullptr;
        if (rc == 0 && dynamic != nullptr)
            rc = read_dynamic(file, *dynamic, headers, object);
        if (rc != 0)
            error = "damaged ELF file (dynamic section)";
    }
    elf_close(file);
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
