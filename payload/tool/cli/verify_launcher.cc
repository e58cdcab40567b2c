#include <elf.h>
#include <stdio.h>
#include <string.h>

#include "read/entry_decode.h"
#include "elf/entry_needs.h"
#include "cli/launcher_modes.h"

int open_launcher(const std::string &path, MappedFile &file, LauncherImage &image)
{
    std::string error;
    if (file.open(path, error) != 0 || read_launcher(file.data, file.size, image, error) != 0) {
        if (error.rfind(path + ": ", 0) != 0)
            error = path + ": " + error;
        fprintf(stderr, "sfxpack: %s\n", error.c_str());
        return -1;
    }
    return 0;
}

int launcher_manifest(const LauncherImage &image, Manifest &manifest, std::string &error)
{
    if (!image.has_manifest)
        return 1;
    return decode_manifest(image.manifest, image.manifest_size, manifest, error) == 0 ? 0 : -1;
}

std::string manifest_problem(const LauncherImage &image, const Manifest &manifest,
                             int status, const std::string &error, bool missing_ok)
{
    if (status < 0)
        return "unreadable: " + error;
    // The runtime's note says which manifest its sfxpack wrote: less than
    // that was lost or replaced on the way, whatever the flags.
    if (status > 0 && image.manifest_mark != 0)
        return "none, yet the launcher's runtime comes with a manifest of format " +
               std::to_string(image.manifest_mark) + ": it was lost or hidden";
    if (status > 0)
        return missing_ok ? ""
                          : "none: nothing says what the entries should unpack to "
                            "(--no-manifest-ok passes a launcher of an sfxpack older "
                            "than the manifest)";
    if ((unsigned)manifest.format < image.manifest_mark)
        return "format " + std::to_string(manifest.format) +
               ", yet the launcher's runtime comes with a manifest of format " +
               std::to_string(image.manifest_mark);
    if (manifest.entries.size() != image.entries.size())
        return "it lists " + std::to_string(manifest.entries.size()) +
               " entries, the table holds " + std::to_string(image.entries.size());
    if (manifest.format >= 2 && !image.code_digest_error.empty())
        return "the launcher's code cannot be digested: " + image.code_digest_error;
    if (manifest.format >= 2 && memcmp(manifest.code_sha256, image.code_sha256, SHA256_SIZE) != 0)
        return "the launcher's code has SHA-256 " + sha256_hex(image.code_sha256) +
               ", the manifest says " + sha256_hex(manifest.code_sha256);
    return "";
}

std::string manifest_note(const LauncherImage &image, const Manifest &manifest, int status)
{
    if (status > 0 && image.manifest_mark == 0)
        return "none: the entries are checked only by decoding them";
    if (status == 0 && manifest.format < 2 && image.manifest_mark == 0)
        return "format 1, of an older sfxpack: neither its own text nor the launcher's "
               "code is covered by a digest";
    return "";
}

std::string glibc_mismatch(const Manifest &manifest, size_t index, const LauncherEntry &entry,
                           const std::string &glibc)
{
    if (index >= manifest.entries.size() || manifest.entries[index].name != entry.name ||
        manifest.entries[index].glibc == glibc)
        return "";
    const std::string &recorded = manifest.entries[index].glibc;
    std::string needed = glibc.empty() ? "no glibc version" : printable_name(glibc);
    return "it needs " + needed + ", the manifest says " +
           (recorded.empty() ? std::string("none") : printable_name(recorded));
}

std::string manifest_mismatch(const Manifest &manifest, size_t index,
                              const LauncherEntry &entry, uint64_t size,
                              const unsigned char sha256[SHA256_SIZE])
{
    if (index >= manifest.entries.size())
        return "the manifest has no record of it";
    const ManifestEntry &m = manifest.entries[index];
    if (m.name != entry.name)
        return "the manifest names it '" + printable_name(m.name) + "'";
    if (m.size != size)
        return "it unpacks to " + std::to_string(size) + " bytes, the manifest says " +
               std::to_string(m.size);
    if (memcmp(m.sha256, sha256, SHA256_SIZE) != 0)
        return "its SHA-256 " + sha256_hex(sha256) + " differs from the manifest's " +
               sha256_hex(m.sha256);
    // Only a run of the damaged launcher would see the difference, or not.
    unsigned char stored[SHA256_SIZE];
    ::sha256(entry.stored, entry.stored_size, stored);
    if (memcmp(m.stored_sha256, stored, SHA256_SIZE) != 0)
        return "its stored bytes' SHA-256 " + sha256_hex(stored) +
               " differs from the manifest's " + sha256_hex(m.stored_sha256);
    return "";
}

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

int verify_launcher(const std::string &path, bool no_manifest_ok)
{
    MappedFile file;
    LauncherImage image;
    if (open_launcher(path, file, image) != 0)
        return EXIT_FAILED;

    Manifest manifest;
    std::string error;
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

    for (size_t i = 0; i < image.entries.size(); i++) {
        const LauncherEntry &entry = image.entries[i];
        std::string label = "entry " + std::to_string(i) + " '" + printable_name(entry.name) + "'";
        std::string problem = entry.problem;
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
        printf("%s: ok, %llu bytes, sha256 %s\n", label.c_str(),
               (unsigned long long)decoded.size, sha256_hex(decoded.sha256).c_str());
    }
    if (failures == 0)
        printf("%s: verified\n", path.c_str());
    else
        printf("%s: FAILED: %u problem%s\n", path.c_str(), failures, failures == 1 ? "" : "s");
    if (fflush(stdout) != 0) {
        fprintf(stderr, "sfxpack: cannot write to standard output\n");
        return EXIT_FAILED;
    }
    return failures == 0 ? 0 : EXIT_FAILED;
}
