#include "read/manifest_checks.h"

#include <string.h>

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
