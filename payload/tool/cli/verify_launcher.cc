#include <elf.h>
#include <stdio.h>
#include <string.h>

#include "read/entry_decode.h"
#include "elf/entry_needs.h"
#include "cli/commands.h"
#include "read/manifest_checks.h"
#include "cli/open_launcher.h"
#include "sign/launcher_signature.h"
#include "payload.h"
#include "sys/diagnostics.h"

// Decodes the entry whole; an ELF entry, seen by its first bytes, is kept in
// memory for its newest glibc need, which lies wherever the linker put it.
static int decode_checked_entry(const LauncherEntry &entry, DecodedEntry &decoded,
                                std::string &glibc, std::string &error)
{
    std::string kept;
    DecodeTarget target;
    target.kept = &kept;
    target.keep_limit = SELFMAG;
    target.stop_when_kept = true;
    if (decode_launcher_entry(entry, target, decoded, error) != 0)
        return -1;
    bool elf = kept.size() == SELFMAG && memcmp(kept.data(), ELFMAG, SELFMAG) == 0;
    kept.clear();
    target.keep_limit = elf ? UINT64_MAX : 0;
    target.stop_when_kept = false;
    if (decode_launcher_entry(entry, target, decoded, error) != 0)
        return -1;
    glibc = elf ? newest_glibc_need(kept) : "";
    return 0;
}

int verify_launcher(const std::string &path, bool no_manifest_ok,
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
    int manifest_status = launcher_manifest(image, manifest, error);
    printf("%s: %s launcher, %zu entr%s, %s\n", path.c_str(), image.target->name,
           image.entries.size(), image.entries.size() == 1 ? "y" : "ies",
           manifest_status == 0   ? ("manifest by sfxpack " + printable_name(manifest.version)).c_str()
           : manifest_status > 0 ? "no manifest: unpacked bytes checked only by decoding"
                                  : "manifest unreadable");

    unsigned failures = 0;
    for (const std::string &problem : image.table_problems) {
        printf("table: FAILED: %s\n", problem.c_str());
        failures++;
    }
    std::string whole = manifest_problem(image, manifest, manifest_status, error, no_manifest_ok);
    std::string note = manifest_note(image, manifest, manifest_status);
    if (!whole.empty()) {
        printf("manifest: FAILED: %s\n", whole.c_str());
        failures++;
    } else if (!note.empty()) {
        printf("manifest: note: %s\n", note.c_str());
    }
    SignatureVerdict signature =
        check_launcher_signature(file.data, file.size, keys.empty() ? nullptr : &trusted);
    if (!signature.text.empty())
        printf("signature: %s\n", signature.text.c_str());
    if (signature.failed)
        failures++;

    for (size_t i = 0; i < image.entries.size(); i++) {
        const LauncherEntry &entry = image.entries[i];
        std::string label = "entry " + std::to_string(i) + " '" + printable_name(entry.name) + "'";
        std::string problem = entry.problem;
        if (problem.empty() && manifest_status == 0)
            problem = tree_mismatch(image, manifest, i);
        // A tree's directories and links have no stream to decode.
        const TreeRecord *record = i < image.tree_entries.size() ? &image.tree_entries[i] : nullptr;
        if (record != nullptr && record->kind != TREE_FILE) {
            if (problem.empty() && manifest_status == 0 && i < manifest.entries.size() &&
                manifest.entries[i].name != entry.name)
                problem = "the manifest names it '" + printable_name(manifest.entries[i].name) + "'";
            if (!problem.empty()) {
                printf("%s: FAILED: %s\n", label.c_str(), problem.c_str());
                failures++;
                continue;
            }
            printf("%s: ok, %s\n", label.c_str(), tree_entry_text(image, i).c_str());
            continue;
        }
        DecodedEntry decoded;
        std::string glibc;
        if (problem.empty() && decode_checked_entry(entry, decoded, glibc, error) != 0)
            problem = "does not decode: " + error;
        if (problem.empty() && manifest_status == 0)
            problem = manifest_mismatch(manifest, i, entry, decoded.size, decoded.sha256);
        if (problem.empty() && manifest_status == 0)
            problem = glibc_mismatch(manifest, i, entry, glibc);
        if (!problem.empty()) {
            printf("%s: FAILED: %s\n", label.c_str(), problem.c_str());
            failures++;
            continue;
        }
        printf("%s: ok, %llu bytes, sha256 %s%s\n", label.c_str(),
               (unsigned long long)decoded.size, sha256_hex(decoded.sha256).c_str(),
               record != nullptr ? (", " + tree_entry_text(image, i)).c_str() : "");
    }
    if (failures == 0)
        printf("%s: verified\n", path.c_str());
    else
        printf("%s: FAILED: %u problem%s\n", path.c_str(), failures, failures == 1 ? "" : "s");
    if (fflush(stdout) != 0) {
        print_error("cannot write to standard output");
        return EXIT_FAILED;
    }
    return failures == 0 ? 0 : EXIT_FAILED;
}
