#include "input/input_record.h"

#include <elf.h>
#include <string.h>

#include "elf/abi_tag.h"
#include "elf/c_library_facts.h"
#include "elf/debug_sections.h"
#include "format.h"

namespace {

enum InputKind { INPUT_PLAIN, INPUT_LOADER_PROGRAM, INPUT_STORED };

// libelf reads only the headers and the sections it is asked for, so that
// a data file of gigabytes costs no more than its first page; so little
// that, unlike the copies and compression, it reads the mapping unguarded.
void read_elf_facts(const MappedFile &file, InputKind kind, InputRecord &record)
{
    record.elf_magic = file.size >= SELFMAG && memcmp(file.data, ELFMAG, SELFMAG) == 0;
    if (read_elf_object(file.data, file.size, record.elf, record.elf_error) == 0)
        record.elf_error.clear();
    std::string ignored;
    if (read_version_needs(file.data, file.size, record.needs, ignored) == 0)
        keep_deciding_needs(record.needs);
    record.glibc_release = defined_glibc_release(file.data, file.size);
    if (gnu_abi_kernel(file.data, file.size, record.abi_kernel, ignored) != 0)
        record.abi_kernel.clear();
    record.debug_bytes = debug_section_bytes(file.data, file.size);
    if (kind == INPUT_LOADER_PROGRAM &&
        find_loader_room(file.data, file.size, record.loader_room, record.loader_room_error) == 0)
        record.loader_room_error.clear();
}

// A stored stream is read whole, with the leading zero byte a launcher
// skips, as the launcher will read it. Returns 0, or -1 with record.error
// set when the file is cut short meanwhile.
int read_stored_facts(const MappedFile &file, const TargetInfo &target, InputRecord &record)
{
    record.stored = true;
    Bytes stored;
    if (copy_mapped(file, stored, record.error) != 0)
        return -1;
    if (stored.size() >= LZMA_ALONE_HEADER_SIZE) {
        uint64_t size = lzma_alone_unpacked_size(stored.data());
        record.announced_size = size == LZMA_ALONE_SIZE_UNKNOWN ? 0 : size;
    }
    add_leading_zero(stored);
    if (check_stored_entry(stored, target, record.unpacked, record.stored_error) == 0)
        record.stored_error.clear();
    if (stored_version_needs(stored, record.needs) == 0)
        keep_deciding_needs(record.needs);
    else
        record.needs.clear();
    return 0;
}

int read_record(const std::string &path, InputKind kind, const TargetInfo *target,
                InputRecord &record)
{
    record = InputRecord();
    record.path = path;
    MappedFile file;
    if (file.open(path, record.error) != 0)
        return -1;
    record.identity = file.identity;
    record.mode = file.mode;
    record.capabilities = file.capabilities;
    if (kind == INPUT_STORED)
        return read_stored_facts(file, *target, record);
    read_elf_facts(file, kind, record);
    return 0;
}

}  // namespace

int read_input_record(const std::string &path, InputRecord &record)
{
    return read_record(path, INPUT_PLAIN, nullptr, record);
}

int read_loader_program_record(const std::string &path, InputRecord &record)
{
    return read_record(path, INPUT_LOADER_PROGRAM, nullptr, record);
}

int read_stored_record(const std::string &path, const TargetInfo &target, InputRecord &record)
{
    return read_record(path, INPUT_STORED, &target, record);
}
