#include "pack/payload_source.h"

#include <stdio.h>

#include "format.h"
#include "payload.h"
#include "format/manifest.h"
#include "sign/signature_section.h"

const char manifest_file[] = "manifest";
const char streams_file[] = "streams";

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

// The padding after a uint32_t that the next pointer is aligned past.
static std::string pointer_padding(unsigned used, const TargetInfo &target)
{
    std::string padding;
    for (; used % target.pointer_size != 0; used += 4)
        padding += "    .long 0\n";
    return padding;
}

static std::string room_longs(const LoaderRoom &r)
{
    std::string s;
    for (uint64_t v : {r.interpreter_at, r.interpreter_room, r.library_dir_at, r.library_dir_room})
        s += "    .long " + std::to_string(v) + "\n";
    return s;
}

// The launcher's LoaderPaths: four uint32_t offsets and sizes, the pointer
// to the loader's name, the count of the other executables and the pointer
// to their LoaderRoomRecords, which follow it with the name.
static std::string loader_paths_record(const LoaderPathsSource &loader, const TargetInfo &target)
{
    if (loader.loader_name.empty())
        return "";
    std::string pointer = std::string("    ") + target.pointer_directive + " ";
    std::string s;
    s += "    .section " PAYLOAD_LOADER_SECTION ",\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_loader_paths\n    .type payload_loader_paths, @object\n";
    s += "payload_loader_paths:\n" + room_longs(loader.room);
    s += pointer + ".Lloader_name\n";
    s += "    .long " + std::to_string(loader.others.size()) + "\n";
    s += pointer_padding(16 + target.pointer_size + 4, target);
    s += pointer + (loader.others.empty() ? "0" : ".Lloader_rooms") + "\n";
    s += "    .size payload_loader_paths, .-payload_loader_paths\n";
    if (!loader.others.empty()) {
        s += "    .p2align 2\n.Lloader_rooms:\n";
        for (const EntryLoaderRoom &other : loader.others)
            s += "    .long " + std::to_string(other.entry) + "\n" + room_longs(other.room);
    }
    s += ".Lloader_name:\n" + name_bytes(loader.loader_name);
    return s;
}

// PayloadTree, then its TreeEntry records, then the links' texts.
static std::string tree_record(const std::vector<BlockEntry> &entries, const TargetInfo &target)
{
    std::string pointer = std::string("    ") + target.pointer_directive + " ";
    std::string s;
    s += "    .section " PAYLOAD_TREE_SECTION ",\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_tree\n    .type payload_tree, @object\n";
    s += "payload_tree:\n    .long " + std::to_string(entries.size()) + "\n" +
         pointer_padding(4, target) + pointer + ".Ltree_entries\n";
    s += "    .size payload_tree, .-payload_tree\n.Ltree_entries:\n";
    for (size_t i = 0; i < entries.size(); i++) {
        const BlockEntry &e = entries[i];
        s += "    .long " + std::to_string(e.kind) + "\n    .long " + std::to_string(e.mode) +
             "\n    .long " + std::to_string(e.link) + "\n" + pointer_padding(12, target);
        s += pointer + (e.kind == TREE_SYMLINK ? ".Ltarget" + std::to_string(i) : "0") + "\n";
    }
    for (size_t i = 0; i < entries.size(); i++)
        if (entries[i].kind == TREE_SYMLINK)
            s += ".Ltarget" + std::to_string(i) + ":\n" + name_bytes(entries[i].target);
    return s;
}

// PayloadEnvironment, then its records back to back.
static std::string environment_record(const std::vector<std::string> &environment,
                                      const TargetInfo &target)
{
    std::string s;
    s += "    .section " PAYLOAD_ENV_SECTION ",\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_environment\n    .type payload_environment, @object\n";
    s += "payload_environment:\n    .long " + std::to_string(environment.size()) + "\n" +
         pointer_padding(4, target) + "    " + target.pointer_directive + " .Lenvironment\n";
    s += "    .size payload_environment, .-payload_environment\n.Lenvironment:\n";
    for (const std::string &record : environment)
        s += name_bytes(record);
    return s;
}

std::string payload_source(const std::vector<BlockEntry> &entries,
                           const PayloadRecords &records, const TargetInfo &target,
                           const LoaderPathsSource &loader)
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
    // What an entry without a stream points at: a valid address, never read.
    if (records.tree)
        s += ".Lstreams:\n";
    for (size_t i = 0; i < entries.size(); i++)
        if (entries[i].kind == TREE_FILE && entries[i].stream_of == i)
            s += ".Ldata" + std::to_string(i) + ":\n" +
                 (entries[i].size == 0 ? std::string()
                                       : std::string("    .incbin \"") + streams_file + "\"," +
                                             std::to_string(entries[i].stream_at) + "," +
                                             std::to_string(entries[i].size) + "\n");

    s += "    .section " PAYLOAD_TABLE_SECTION ",\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_entries\n    .type payload_entries, @object\n";
    s += "payload_entries:\n";
    for (size_t i = 0; i < entries.size(); i++) {
        s += pointer + (entries[i].kind == TREE_FILE
                            ? ".Ldata" + std::to_string(entries[i].stream_of)
                            : std::string(".Lstreams")) + "\n";
        s += pointer + ".Lname" + std::to_string(i) + "\n";
        s += "    .long " + std::to_string(entries[i].size) + "\n" + tail;
    }
    s += pointer + "0\n" + pointer + "0\n    .long 0\n" + tail;
    s += "    .size payload_entries, .-payload_entries\n";
    s += loader_paths_record(loader, target);
    if (records.tree)
        s += tree_record(entries, target);
    if (!records.environment.empty())
        s += environment_record(records.environment, target);
    // No flags: kept in the file for tools to read, never loaded, so the
    // launcher's image and table are what they would be without it.
    s += std::string("    .section ") + manifest_section_name + ",\"\",@progbits\n";
    s += std::string("    .incbin \"") + manifest_file + "\"\n";
    s += signature_section_source();
    s += "    .section .note.GNU-stack,\"\",@progbits\n";
    return s;
}
