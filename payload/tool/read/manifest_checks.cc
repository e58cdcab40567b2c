#include "read/manifest_checks.h"

#include <stdio.h>
#include <string.h>

#include "payload.h"

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
    // Older formats knew neither trees nor --env: a launcher with either and
    // such a manifest has parts nothing records.
    if (manifest.format < 4 && (image.tree || !image.environment.empty()))
        return "format " + std::to_string(manifest.format) + " records no " +
               (image.tree ? "tree" : "--env records") + ", yet the launcher has " +
               (image.tree ? "one" : "some");
    if (manifest.format >= 4 && manifest.tree != image.tree)
        return std::string("the launcher's payload is ") + (image.tree ? "a tree" : "flat") +
               ", the manifest says " + (manifest.tree ? "a tree" : "flat");
    if (manifest.format >= 4 && manifest.environment != image.environment) {
        size_t i = 0;
        while (i < manifest.environment.size() && i < image.environment.size() &&
               manifest.environment[i] == image.environment[i])
            i++;
        if (i == manifest.environment.size() || i == image.environment.size())
            return "the launcher has " + std::to_string(image.environment.size()) +
                   " --env records, the manifest " + std::to_string(manifest.environment.size());
        return "--env record " + std::to_string(i) + " is '" +
               printable_name(image.environment[i]) + "', the manifest says '" +
               printable_name(manifest.environment[i]) + "'";
    }
    // The id lies outside the code digest: only this comparison sees a flip
    // in it, which would send runs to another cache directory.
    static const unsigned char no_id[SHA256_SIZE] = {};
    const unsigned char *recorded =
        manifest.format >= 4 ? manifest.unpack_once_id : no_id;
    if (image.has_unpack_once_id != (memcmp(recorded, no_id, SHA256_SIZE) != 0) ||
        (image.has_unpack_once_id && memcmp(recorded, image.unpack_once_id, SHA256_SIZE) != 0))
        return image.has_unpack_once_id && memcmp(recorded, no_id, SHA256_SIZE) != 0
                   ? "the launcher's --unpack-once cache id differs from the one it records"
               : image.has_unpack_once_id ? "the launcher has an --unpack-once cache id it does not record"
                                          : "it records an --unpack-once cache id the launcher lacks";
    if (manifest.format >= 2 && !image.code_digest_error.empty())
        return "the launcher's code cannot be digested: " + image.code_digest_error;
    // Format 2 took in the ELF header's section-header fields, which a strip
    // of the launcher rewrites; its launchers are checked as they were made.
    const unsigned char *code =
        manifest.format == 2 ? image.code_sha256_format2 : image.code_sha256;
    if (manifest.format >= 2 && memcmp(manifest.code_sha256, code, SHA256_SIZE) != 0)
        return "the launcher's code has SHA-256 " + sha256_hex(code) +
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

std::string tree_kind_name(uint32_t kind)
{
    switch (kind) {
    case TREE_FILE:
        return "file";
    case TREE_DIRECTORY:
        return "directory";
    case TREE_SYMLINK:
        return "symbolic link";
    case TREE_HARD_LINK:
        return "hard link";
    }
    return "kind " + std::to_string(kind);
}

std::string tree_mismatch(const LauncherImage &image, const Manifest &manifest, size_t index)
{
    if (manifest.format < 4 || index >= manifest.entries.size())
        return "";
    const ManifestEntry &m = manifest.entries[index];
    // An unreadable tree record is a table problem already.
    if (image.tree && index >= image.tree_entries.size())
        return "";
    // A flat payload's entries are files of mode 0: the record's defaults.
    TreeRecord record;
    if (image.tree)
        record = image.tree_entries[index];
    if (m.kind != record.kind)
        return "it is a " + tree_kind_name(record.kind) + ", the manifest says a " +
               tree_kind_name(m.kind);
    if (m.mode != record.mode) {
        char text[64];
        snprintf(text, sizeof text, "its mode is 0%o, the manifest says 0%o", record.mode, m.mode);
        return text;
    }
    if (m.link != record.link)
        return "it links to entry " + std::to_string(record.link) + ", the manifest says " +
               std::to_string(m.link);
    if (m.target != record.target)
        return "its link target is '" + printable_name(record.target) + "', the manifest says '" +
               printable_name(m.target) + "'";
    return "";
}

std::string tree_entry_text(const LauncherImage &image, size_t index)
{
    const TreeRecord &record = image.tree_entries[index];
    char mode[16];
    snprintf(mode, sizeof mode, "0%o", record.mode);
    switch (record.kind) {
    case TREE_FILE:
        return std::string("file, mode ") + mode;
    case TREE_SYMLINK:
        return "symbolic link to '" + printable_name(record.target) + "'";
    case TREE_HARD_LINK:
        return "hard link to entry " + std::to_string(record.link);
    default:
        return tree_kind_name(record.kind);
    }
}
