#include "sign/signature_section.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "elf/elf_read.h"
#include "read/launcher_reader.h"
#include "sys/write_file.h"
#include "sys/mapped_file.h"
#include "sys/byte_order.h"

const char signature_section_name[] = "signature";
const char signature_header_line[] = "sfxlaunch-signature 1\n";

std::string signature_section_source()
{
    // No flags: never loaded, so the launcher's image is what it would be
    // without it.
    return std::string("    .section ") + signature_section_name + ",\"\",@progbits\n" +
           "    .zero " + std::to_string(SIGNATURE_SECTION_SIZE) + "\n";
}

namespace {

// A launcher's ELF view: its header, sections and segments.
struct ElfLayout {
    ElfFile elf;
    std::vector<ElfSectionEntry> sections;
    std::vector<GElf_Phdr> segments;
    ~ElfLayout() { elf_close(elf); }

    int read(const unsigned char *data, size_t size, std::string &error)
    {
        if (elf_open_memory(data, size, elf) != 0 || elf_read_header(elf) != 0 ||
            elf_program_headers(elf, segments) != 0) {
            error = std::string("its ELF headers are unreadable: ") + elf_errmsg(-1);
            return -1;
        }
        return elf_sections(elf, sections, error);
    }

    // The section headers' end in the file.
    uint64_t table_end() const
    {
        return elf.header.e_shoff + (uint64_t)elf.header.e_shentsize * (sections.size() + 1);
    }
};

bool overlaps(uint64_t offset, uint64_t size, uint64_t from, uint64_t to)
{
    return size > 0 && offset < to && offset + size > from;
}

// What else the file puts into [from, to), other than the section at
// index: a section, a segment, or the section headers.
std::string intruder(const ElfLayout &layout, size_t index, uint64_t from, uint64_t to)
{
    for (const ElfSectionEntry &s : layout.sections)
        if (s.index != index && s.header.sh_type != SHT_NOBITS &&
            overlaps(s.header.sh_offset, s.header.sh_size, from, to))
            return "the section " + s.name;
    for (const GElf_Phdr &p : layout.segments)
        if (overlaps(p.p_offset, p.p_filesz, from, to))
            return "a segment";
    if (overlaps(layout.elf.header.e_shoff, layout.table_end() - layout.elf.header.e_shoff,
                 from, to))
        return "the section headers";
    return "";
}

// The one section named signature, or null; a problem when there are more.
const ElfSectionEntry *signature_entry(const ElfLayout &layout, std::string &error)
{
    const ElfSectionEntry *found = nullptr;
    for (const ElfSectionEntry &s : layout.sections) {
        if (s.name != signature_section_name)
            continue;
        if (found != nullptr) {
            error = std::string("two sections named ") + signature_section_name;
            return nullptr;
        }
        found = &s;
    }
    return found;
}

}  // namespace

int put_signature_section_last(const std::string &path, std::string &error)
{
    MappedFile file;
    if (file.open(path, error) != 0)
        return -1;
    ElfLayout layout;
    if (layout.read(file.data, file.size, error) != 0) {
        error = path + ": " + error;
        return -1;
    }
    const ElfSectionEntry *signature = signature_entry(layout, error);
    const uint64_t at = signature ? signature->header.sh_offset : 0;
    const uint64_t shoff = layout.elf.header.e_shoff;
    if (signature == nullptr || signature->header.sh_size != SIGNATURE_SECTION_SIZE ||
        at + SIGNATURE_SECTION_SIZE > file.size || shoff < at + SIGNATURE_SECTION_SIZE ||
        layout.table_end() > file.size) {
        error = path + ": the linker left no " + std::to_string(SIGNATURE_SECTION_SIZE) +
                "-byte section " + signature_section_name + " before the section headers";
        return -1;
    }
    std::string in_the_way = intruder(layout, signature->index, at, at + SIGNATURE_SECTION_SIZE);
    for (const GElf_Phdr &p : layout.segments)
        if (p.p_filesz > 0 && p.p_offset + p.p_filesz > at)
            in_the_way = "a segment";
    if (!in_the_way.empty()) {
        error = path + ": " + in_the_way + " lies beside the section " + signature_section_name +
                ", which cannot move";
        return -1;
    }

    // Everything after the section moves up by its size; 512 keeps every
    // alignment that the linker gave.
    const uint64_t moved_from = at + SIGNATURE_SECTION_SIZE;
    Bytes tail(file.data + moved_from, file.data + file.size);
    const bool wide = layout.elf.elf_class == ELFCLASS64;
    const size_t offset_field = wide ? 24 : 16, width = wide ? 8 : 4;
    for (const ElfSectionEntry &s : layout.sections) {
        uint64_t offset = s.index == signature->index ? file.size - SIGNATURE_SECTION_SIZE
                          : s.header.sh_offset >= moved_from
                              ? s.header.sh_offset - SIGNATURE_SECTION_SIZE
                              : s.header.sh_offset;
        uint64_t field = shoff + (uint64_t)s.index * layout.elf.header.e_shentsize +
                         offset_field - moved_from;
        write_le(tail.data() + field, offset, width);
    }
    unsigned char new_shoff[8];
    write_le(new_shoff, shoff - SIGNATURE_SECTION_SIZE, width);
    const unsigned char zeros[SIGNATURE_SECTION_SIZE] = {};

    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write_at(fd, tail.data(), tail.size(), at) != 0 ||
        write_at(fd, zeros, sizeof zeros, file.size - SIGNATURE_SECTION_SIZE) != 0 ||
        write_at(fd, new_shoff, width, wide ? 0x28 : 0x20) != 0) {
        error = path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

int signature_section_bytes(const Bytes &blob, Bytes &content, std::string &error)
{
    std::string text = signature_header_line + sshsig_armor(blob);
    if (text.size() > SIGNATURE_SECTION_SIZE) {
        error = "the signature takes " + std::to_string(text.size()) + " bytes, more than the " +
                std::to_string(SIGNATURE_SECTION_SIZE) + " of the section " +
                signature_section_name;
        return -1;
    }
    content.assign(text.begin(), text.end());
    content.resize(SIGNATURE_SECTION_SIZE, 0);
    return 0;
}

int read_signature_content(const unsigned char *bytes, SignatureSection &section,
                           std::string &error)
{
    const size_t size = SIGNATURE_SECTION_SIZE;
    if (std::all_of(bytes, bytes + size, [](unsigned char c) { return c == 0; }))
        return 0;
    const size_t header = sizeof signature_header_line - 1;
    std::string text((const char *)bytes, size);
    if (text.compare(0, header, signature_header_line) != 0) {
        error = std::string("the section ") + signature_section_name +
                " holds neither zeros nor a signature";
        return -1;
    }
    Bytes canonical;
    if (sshsig_dearmor(text.substr(header), section.blob, error) != 0 ||
        signature_section_bytes(section.blob, canonical, error) != 0) {
        error = std::string("the section ") + signature_section_name + ": " + error;
        return -1;
    }
    size_t differs = (size_t)(std::mismatch(bytes, bytes + size, canonical.begin()).first - bytes);
    if (differs < size) {
        size_t padding = (size_t)(std::find(canonical.begin(), canonical.end(), 0) -
                                  canonical.begin());
        error = std::string("the section ") + signature_section_name + " has " +
                (differs >= padding ? "a byte other than zero in its padding"
                                    : "a signature not as sfxpack writes it") +
                " at its byte " + std::to_string(differs);
        return -1;
    }
    section.is_signed = true;
    return 0;
}

int read_signature_section(const unsigned char *data, size_t size, SignatureSection &section,
                           std::string &error)
{
    ElfLayout layout;
    if (layout.read(data, size, error) != 0)
        return -1;
    const ElfSectionEntry *s = signature_entry(layout, error);
    if (s == nullptr)
        return error.empty() ? 0 : -1;
    const std::string name = std::string("the section ") + signature_section_name;
    const uint64_t last = size < SIGNATURE_SECTION_SIZE ? 0 : size - SIGNATURE_SECTION_SIZE;
    if (s->header.sh_size != SIGNATURE_SECTION_SIZE || s->header.sh_offset != last ||
        size < SIGNATURE_SECTION_SIZE) {
        section.displaced = s->header.sh_size == SIGNATURE_SECTION_SIZE &&
                            s->header.sh_type == SHT_PROGBITS &&
                            (s->header.sh_flags & SHF_ALLOC) == 0 &&
                            size >= SIGNATURE_SECTION_SIZE &&
                            s->header.sh_offset <= size - SIGNATURE_SECTION_SIZE &&
                            s->header.sh_offset + SIGNATURE_SECTION_SIZE <= layout.elf.header.e_shoff;
        // Whether it held a signature where it lies now.
        const unsigned char *held = data + s->header.sh_offset;
        section.is_signed = section.displaced &&
                            !std::all_of(held, held + SIGNATURE_SECTION_SIZE,
                                         [](unsigned char c) { return c == 0; });
        error = name + " is not the file's last " + std::to_string(SIGNATURE_SECTION_SIZE) +
                " bytes";
        return -1;
    }
    if (s->header.sh_type != SHT_PROGBITS || (s->header.sh_flags & SHF_ALLOC) != 0) {
        error = name + " is loaded, or holds no bytes";
        return -1;
    }
    std::string in_the_way = intruder(layout, s->index, last, size);
    if (!in_the_way.empty()) {
        error = in_the_way + " reaches into " + name;
        return -1;
    }
    section.present = true;
    return read_signature_content(data + last, section, error);
}

void signed_bytes_sha512(const unsigned char *data, size_t size,
                         unsigned char out[SHA512_DIGEST_SIZE])
{
    Sha512 hash;
    hash.update(data, size < SIGNATURE_SECTION_SIZE ? 0 : size - SIGNATURE_SECTION_SIZE);
    hash.finish(out);
}
