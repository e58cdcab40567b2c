#include <stdio.h>
#include <string.h>

#include "elf/elf_object.h"
#include "elf/elf_read.h"
#include "read/entry_decode.h"
#include "elf/entry_needs.h"
#include "cli/commands.h"
#include "read/manifest_checks.h"
#include "cli/open_launcher.h"
#include "report/size_report.h"
#include "sign/launcher_signature.h"
#include "payload.h"
#include "sys/diagnostics.h"

namespace {

// What --inspect shows of one entry.
struct EntryFacts {
    bool elf = false;
    std::string machine;  // of an ELF entry
    std::string glibc;    // its newest GLIBC_ need, when it has one
    bool glibc_known = false;  // read from the decoded entry or the manifest
    bool checked = false; // decoded whole (with --verify)
    std::string sha256;   // of the decoded bytes, in hex, once checked
    std::string problem;  // why it failed the check
};

// An ELF entry's architecture from its first bytes: the decoder stops as
// soon as it has them, so this costs the same whatever the entry's size.
void read_elf_identity(const std::string &head, EntryFacts &facts)
{
    ElfObject object;
    if (elf_identify((const unsigned char *)head.data(), head.size(), object.elf_class,
                     object.machine) != 0)
        return;
    facts.elf = true;
    facts.machine = elf_machine_name(object);
}

void look_at_entry(const LauncherImage &image, size_t index, const Manifest *manifest,
                   bool decode, EntryFacts &facts)
{
    const LauncherEntry &entry = image.entries[index];
    facts.problem = entry.problem;
    if (facts.problem.empty() && manifest != nullptr)
        facts.problem = tree_mismatch(image, *manifest, index);
    if (entry.stored == nullptr)
        return;
    // A tree's directories and links have no stream.
    if (index < image.tree_entries.size() && image.tree_entries[index].kind != TREE_FILE)
        return;
    std::string kept, error;
    DecodeTarget target;
    target.kept = &kept;
    DecodedEntry decoded;
    if (!decode) {
        target.keep_limit = 64;
        target.stop_when_kept = true;
        if (decode_launcher_entry(entry, target, decoded, error) == 0)
            read_elf_identity(kept, facts);
        // The packer read the need from the whole entry; --verify reads it
        // again from the decoded bytes.
        if (facts.elf && manifest != nullptr && index < manifest->entries.size() &&
            manifest->entries[index].name == entry.name) {
            facts.glibc = manifest->entries[index].glibc;
            facts.glibc_known = true;
        }
        return;
    }
    // Whole ELF entries are kept for their version needs, which lie wherever
    // the linker put them.
    target.keep_limit = UINT64_MAX;
    facts.checked = true;
    if (decode_launcher_entry(entry, target, decoded, error) != 0) {
        if (facts.problem.empty())
            facts.problem = "does not decode: " + error;
        return;
    }
    read_elf_identity(kept, facts);
    if (facts.elf) {
        facts.glibc = newest_glibc_need(kept);
        facts.glibc_known = true;
    }
    if (facts.problem.empty() && manifest != nullptr)
        facts.problem = manifest_mismatch(*manifest, index, entry, decoded.size, decoded.sha256);
    if (facts.problem.empty() && manifest != nullptr)
        facts.problem = glibc_mismatch(*manifest, index, entry, facts.glibc);
    facts.sha256 = sha256_hex(decoded.sha256);
}

// Names and paths are arbitrary bytes: printable ASCII stays, every other
// byte becomes \u00XX (the byte's value), so any JSON parser reads it back
// byte for byte as Latin-1.
std::string json_string(const std::string &bytes)
{
    std::string out = "\"";
    char escaped[8];
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else {
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string ratio_text(const LauncherEntry &entry)
{
    if (!entry.unpacked_known || entry.unpacked_size == 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f%%", 100.0 * entry.stored_size / (double)entry.unpacked_size);
    return text;
}

struct Report {
    std::string path;
    const LauncherImage *image;
    int manifest_status;
    const Manifest *manifest;
    std::string manifest_error;
    std::string manifest_problem;
    std::string manifest_note;
    std::vector<EntryFacts> facts;
    bool decode;
    bool space_known;
    uint64_t space;
    std::string signature;  // what follows "signature: ", empty when unsigned
    bool signature_failed = false;
    std::string signer;     // the signer's fingerprint, when the signature reads
    bool verified;
};

// The figure -v gives when packing: a hostile header may announce sizes
// whose blocks no longer add up, and then there is none.
bool launcher_temp_space(const LauncherImage &image, uint64_t &space)
{
    std::vector<EntrySize> sizes(image.entries.size());
    uint64_t room = UINT64_MAX - TEMP_BLOCK * (sizes.size() + 1);
    for (size_t i = 0; i < sizes.size(); i++) {
        const LauncherEntry &e = image.entries[i];
        // A tree's directories and links are written from no stream.
        if (i < image.tree_entries.size() && image.tree_entries[i].kind != TREE_FILE)
            continue;
        if (!e.unpacked_known || e.unpacked_size > room)
            return false;
        room -= e.unpacked_size;
        sizes[i].unpacked = e.unpacked_size;
    }
    space = temp_space_needed(sizes);
    return true;
}

// A tree entry's mode, "-" for links, and the room after it.
std::string tree_mode_column(const LauncherImage &image, size_t index)
{
    if (index >= image.tree_entries.size())
        return "?     ";
    const TreeRecord &record = image.tree_entries[index];
    if (record.kind == TREE_SYMLINK || record.kind == TREE_HARD_LINK)
        return "-     ";
    char text[32];
    snprintf(text, sizeof text, "%04o  ", record.mode);
    return text;
}

// What follows a tree entry's path: '/' for a directory, " -> target" for a
// symbolic link, " => entry N" for a hard link.
std::string tree_name_suffix(const LauncherImage &image, size_t index)
{
    if (index >= image.tree_entries.size())
        return "";
    const TreeRecord &record = image.tree_entries[index];
    switch (record.kind) {
    case TREE_DIRECTORY:
        return "/";
    case TREE_SYMLINK:
        return " -> " + printable_name(record.target);
    case TREE_HARD_LINK:
        return " => entry " + std::to_string(record.link);
    }
    return "";
}

const char *json_kind(uint32_t kind)
{
    static const char *const kinds[] = {"file", "directory", "symlink", "hard_link"};
    return kind <= TREE_HARD_LINK ? kinds[kind] : nullptr;
}

void print_human(const Report &r)
{
    const LauncherImage &image = *r.image;
    printf("launcher:   %s\n", printable_name(r.path).c_str());
    printf("target:     %s\n", image.target->name);
    if (r.manifest_status == 0)
        printf("manifest:   present, written by sfxpack %s\n",
               printable_name(r.manifest->version).c_str());
    else if (r.manifest_status > 0)
        printf("manifest:   none\n");
    else
        printf("manifest:   present but unreadable: %s\n", r.manifest_error.c_str());
    if (!r.signature.empty())
        printf("signature:  %s\n", r.signature.c_str());
    if (r.space_known)
        printf("temp space: %llu bytes (%.1f KiB) for a run: %s\n", (unsigned long long)r.space,
               (double)r.space / 1024.0, temp_space_basis(image.entries.size()).c_str());
    else
        printf("temp space: unknown (an entry's stream header is unreadable or "
               "declares no size)\n");
    if (image.has_environment)
        printf("env:        %zu record%s\n", image.environment.size(),
               image.environment.size() == 1 ? "" : "s");
    for (const std::string &record : image.environment)
        printf("  %s\n", printable_name(record).c_str());
    if (image.has_unpack_once_id)
        printf("unpack once: cache id %s\n", sha256_hex(image.unpack_once_id).c_str());
    if (image.loader.present) {
        size_t others = image.loader.others.size();
        std::string starts = others == 0 ? "the program starts"
                                         : "the program and " + std::to_string(others) +
                                               " other executable" + (others == 1 ? "" : "s") +
                                               " start";
        printf("loader:     '%s', packed: %s through it\n",
               printable_name(image.loader.loader_name).c_str(), starts.c_str());
    }
    if (image.tree)
        printf("payload:    a tree (directories: 0700; links shown as 'path -> target', hard "
               "links as 'path => entry N')\n");
    printf("\nindex     stored   unpacked   ratio  arch      glibc        %sname\n",
           image.tree ? "mode  " : "");
    for (size_t i = 0; i < image.entries.size(); i++) {
        const LauncherEntry &e = image.entries[i];
        const EntryFacts &f = r.facts[i];
        std::string unpacked = e.unpacked_known ? std::to_string(e.unpacked_size) : "?";
        // From the manifest, whose bytes may be anyone's.
        std::string glibc = !f.elf              ? "-"
                            : !f.glibc.empty()  ? printable_name(f.glibc)
                            : f.glibc_known     ? "none"
                                                : "?";
        printf("%5zu %10u %10s %7s  %-8s  %-11s  %s%s\n", i, e.stored_size, unpacked.c_str(),
               ratio_text(e).c_str(), f.elf ? f.machine.c_str() : "-", glibc.c_str(),
               image.tree ? tree_mode_column(image, i).c_str() : "",
               (printable_name(e.name) + tree_name_suffix(image, i)).c_str());
    }
    bool unknown_glibc = false;
    for (const EntryFacts &f : r.facts)
        unknown_glibc = unknown_glibc || (f.elf && !f.glibc_known);
    if (unknown_glibc)
        printf("\n(glibc needs not in the manifest are read from the decoded entries: "
               "sfxpack --inspect --verify)\n");
    for (const std::string &p : image.table_problems)
        printf("problem: %s\n", p.c_str());
    if (!r.manifest_problem.empty())
        printf("problem: manifest: %s\n", r.manifest_problem.c_str());
    else if (!r.manifest_note.empty())
        printf("note: manifest: %s\n", r.manifest_note.c_str());
    for (size_t i = 0; i < image.entries.size(); i++)
        if (!r.facts[i].problem.empty())
            printf("problem: entry %zu '%s': %s\n", i,
                   printable_name(image.entries[i].name).c_str(),
                   r.facts[i].problem.c_str());
    if (r.decode)
        printf("verify:     %s\n", r.verified ? "ok" : "FAILED");
}

void print_json(const Report &r)
{
    const LauncherImage &image = *r.image;
    printf("{\n  \"format\": 1,\n  \"launcher\": %s,\n  \"target\": %s,\n  \"decoded\": %s,\n",
           json_string(r.path).c_str(), json_string(image.target->name).c_str(),
           r.decode ? "true" : "false");
    if (r.manifest_status == 0)
        printf("  \"manifest\": {\"present\": true, \"readable\": true, \"version\": %s},\n",
               json_string(r.manifest->version).c_str());
    else if (r.manifest_status > 0)
        printf("  \"manifest\": {\"present\": false},\n");
    else
        printf("  \"manifest\": {\"present\": true, \"readable\": false, \"error\": %s},\n",
               json_string(r.manifest_error).c_str());
    if (!r.signature.empty())
        printf("  \"signature\": {\"signer\": %s, \"checked\": %s, \"problem\": %s},\n",
               r.signer.empty() ? "null" : json_string(r.signer).c_str(),
               r.decode ? "true" : "false",
               r.signature_failed || r.signature.rfind("unreadable", 0) == 0
                   ? json_string(r.signature).c_str()
                   : "null");
    if (r.space_known)
        printf("  \"temp_space\": %llu,\n", (unsigned long long)r.space);
    else
        printf("  \"temp_space\": null,\n");
    // Only launchers that have them get these keys: a flat one's report
    // stays as it was.
    if (image.tree)
        printf("  \"tree\": true,\n");
    if (image.has_unpack_once_id)
        printf("  \"unpack_once_id\": \"%s\",\n", sha256_hex(image.unpack_once_id).c_str());
    // The entries that start through it are the program and these.
    if (image.loader.present) {
        printf("  \"packed_loader\": {\"name\": %s, \"other_executables\": [",
               json_string(image.loader.loader_name).c_str());
        for (size_t i = 0; i < image.loader.others.size(); i++)
            printf("%s%u", i ? ", " : "", image.loader.others[i].entry);
        printf("]},\n");
    }
    if (image.has_environment) {
        printf("  \"environment\": [");
        for (size_t i = 0; i < image.environment.size(); i++)
            printf("%s%s", i ? ", " : "", json_string(image.environment[i]).c_str());
        printf("],\n");
    }
    printf("  \"entries\": [");
    for (size_t i = 0; i < image.entries.size(); i++) {
        const LauncherEntry &e = image.entries[i];
        const EntryFacts &f = r.facts[i];
        printf("%s\n    {\"index\": %zu, \"name\": %s, \"name_hex\": \"%s\", \"stored_size\": %u, ",
               i ? "," : "", i, json_string(e.name).c_str(), hex(e.name).c_str(), e.stored_size);
        if (e.unpacked_known)
            printf("\"unpacked_size\": %llu, ", (unsigned long long)e.unpacked_size);
        else
            printf("\"unpacked_size\": null, ");
        if (e.unpacked_known && e.unpacked_size != 0)
            printf("\"ratio\": %.4f, ", e.stored_size / (double)e.unpacked_size);
        else
            printf("\"ratio\": null, ");
        if (f.elf)
            printf("\"elf\": {\"machine\": %s, \"glibc\": %s}", json_string(f.machine).c_str(),
                   f.glibc.empty() ? "null" : json_string(f.glibc).c_str());
        else
            printf("\"elf\": null");
        if (r.decode)
            printf(", \"verified\": %s, \"sha256\": %s", f.problem.empty() ? "true" : "false",
                   f.sha256.empty() ? "null" : json_string(f.sha256).c_str());
        if (i < image.tree_entries.size()) {
            const TreeRecord &t = image.tree_entries[i];
            const char *kind = json_kind(t.kind);
            printf(", \"kind\": %s, \"mode\": %u, \"link\": ",
                   kind ? json_string(kind).c_str() : std::to_string(t.kind).c_str(), t.mode);
            if (t.kind == TREE_HARD_LINK)
                printf("%u", t.link);
            else
                printf("null");
            printf(", \"target\": %s", t.has_target ? json_string(t.target).c_str() : "null");
        }
        printf(", \"problem\": %s}", f.problem.empty() ? "null" : json_string(f.problem).c_str());
    }
    printf("\n  ],\n  \"table_problems\": [");
    for (size_t i = 0; i < image.table_problems.size(); i++)
        printf("%s%s", i ? ", " : "", json_string(image.table_problems[i]).c_str());
    printf("],\n  \"manifest_problem\": %s",
           r.manifest_problem.empty() ? "null" : json_string(r.manifest_problem).c_str());
    if (r.decode)
        printf(",\n  \"verified\": %s", r.verified ? "true" : "false");
    printf("\n}\n");
}

}  // namespace

int inspect_launcher(const std::string &path, bool json, bool decode, bool no_manifest_ok,
                     const std::vector<std::string> &keys)
{
    std::vector<TrustedKey> trusted;
    std::string error;
    if (read_key_files(keys, trusted, error) != 0) {
        print_error(error);
        return EXIT_FAILED;
    }
    MappedFile file;
    LauncherImage image;
    if (open_launcher(path, file, image) != 0)
        return EXIT_FAILED;
    Manifest manifest;
    Report r;
    r.path = path;
    r.image = &image;
    r.manifest = &manifest;
    r.manifest_status = launcher_manifest(image, manifest, r.manifest_error);
    r.decode = decode;
    r.space_known = launcher_temp_space(image, r.space);
    r.facts.resize(image.entries.size());
    for (size_t i = 0; i < image.entries.size(); i++)
        look_at_entry(image, i, r.manifest_status == 0 ? &manifest : nullptr, decode,
                      r.facts[i]);
    // Without --verify nothing is checked, so a missing manifest is only shown.
    r.manifest_problem = manifest_problem(image, manifest, r.manifest_status, r.manifest_error,
                                          no_manifest_ok || !decode);
    r.manifest_note = manifest_note(image, manifest, r.manifest_status);
    // Without --verify, only who signed it, read from the section.
    if (decode) {
        SignatureVerdict verdict = check_launcher_signature(file.data, file.size,
                                                            keys.empty() ? nullptr : &trusted);
        r.signature = verdict.text;
        r.signature_failed = verdict.failed;
        r.signer = verdict.fingerprint;
    } else {
        r.signature = signature_summary(file.data, file.size, r.signer);
    }
    r.verified = image.table_problems.empty() && r.manifest_problem.empty() && !r.signature_failed;
    for (const EntryFacts &f : r.facts)
        r.verified = r.verified && f.problem.empty();
    if (json)
        print_json(r);
    else
        print_human(r);
    if (fflush(stdout) != 0) {
        print_error("cannot write to standard output");
        return EXIT_FAILED;
    }
    // The report shows all it could read; the status and one line say
    // whether a run could rely on it.
    if (!image.sound()) {
        print_error(path + ": " + image.first_problem());
        return EXIT_FAILED;
    }
    return decode && !r.verified ? EXIT_FAILED : 0;
}
