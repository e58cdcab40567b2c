#include "pack/payload_source.h"

#include <stdio.h>

#include "format.h"
#include "format/manifest.h"
#include "sign/signature_section.h"

const char manifest_file[] = "manifest";

static std::string name_bytes(const std::string &name)
{
    // Names are arbitrary bytes; .byte avoids any quoting rules.
    std::string out = "    .byte ";
    char number[8];
    for (unsigned char c : name) {
        snprintf(number, sizeof number, "%u,", c);
        out += number;
    }
    return out + "0\n";
}

// The launcher's LoaderPaths: four uint32_t offsets and sizes, then the
// pointer to the loader's name, which follows it.
static std::string loader_paths_record(const LoaderPathsSource &loader, const TargetInfo &target)
{
    if (loader.loader_name.empty())
        return "";
    const LoaderRoom &r = loader.room;
    std::string s;
    s += "    .section " PAYLOAD_LOADER_SECTION ",\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_loader_paths\n    .type payload_loader_paths, @object\n";
    s += "payload_loader_paths:\n";
    for (uint64_t v : {r.interpreter_at, r.interpreter_room, r.library_dir_at, r.library_dir_room})
        s += "    .long " + std::to_string(v) + "\n";
    s += std::string("    ") + target.pointer_directive + " .Lloader_name\n";
    s += "    .size payload_loader_paths, .-payload_loader_paths\n";
    s += ".Lloader_name:\n" + name_bytes(loader.loader_name);
    return s;
}

std::string payload_source(const std::vector<BlockEntry> &entries,
                           const TargetInfo &target, const LoaderPathsSource &loader)
{
    std::string pointer = std::string("    ") + target.pointer_directive + " ";
    // The record's tail padding after its uint32_t size.
    std::string tail;
    for (unsigned used = 2 * target.pointer_size + 4; used < target.entry_size; used += 4)
        tail += "    .long 0\n";

    std::string s;
    s += "    .section " PAYLOAD_NAMES_SECTION ",\"a\",@progbits\n    .p2align 0\n";
    for (size_t i = 0; i < entries.size(); i++)
        s += ".Lname" + std::to_string(i) + ":\n" + name_bytes(entries[i].name);

    s += "    .section " PAYLOAD_STREAMS_SECTION ",\"a\",@progbits\n    .p2align 0\n";
    for (size_t i = 0; i < entries.size(); i++)
        s += ".Ldata" + std::to_string(i) + ":\n    .incbin \"" +
             entries[i].stream_file + "\"\n";

    s += "    .section " PAYLOAD_TABLE_SECTION ",\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_entries\n    .type payload_entries, @object\n";
    s += "payload_entries:\n";
    for (size_t i = 0; i < entries.size(); i++) {
        s += pointer + ".Ldata" + std::to_string(i) + "\n";
        s += pointer + ".Lname" + std::to_string(i) + "\n";
        s += "    .long " + std::to_string(entries[i].size) + "\n" + tail;
    }
    s += pointer + "0\n" + pointer + "0\n    .long 0\n" + tail;
    s += "    .size payload_entries, .-payload_entries\n";
    s += loader_paths_record(loader, target);
    // No flags: kept in the file for tools to read, never loaded, so the
    // launcher's image and table are what they would be without it.
    s += std::string("    .section ") + manifest_section_name + ",\"\",@progbits\n";
    s += std::string("    .incbin \"") + manifest_file + "\"\n";
    s += signature_section_source();
    s += "    .section .note.GNU-stack,\"\",@progbits\n";
    return s;
}
