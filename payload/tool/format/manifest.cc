#include "format/manifest.h"

#include <string.h>

#include <utility>

#include "sys/byte_order.h"

const char manifest_section_name[] = ".sfxpack.manifest";

namespace {

// The formats differ in their seventh byte, '1' to '4'. '4' is two bits or
// more from each of the others, so no single flip turns a format 4 manifest
// into an older one, which would drop the tree's records from the check.
// '1' and '2' are two bits apart, so no single flip turns a format 2
// manifest into one without digests. '3' is one bit from either, and a flip
// to '2' breaks the manifest's own digest; one to '1' is caught by the note
// of the runtime that comes with format 3 or later (manifest_problem).
const char manifest_magic[8] = {'S', 'F', 'X', 'M', 'A', 'N', '4', '\0'};
static_assert(MANIFEST_FORMAT == 4, "the magic names the format that the runtime's note names");
const size_t format_byte = 6;

void put_text(std::string &out, const std::string &text)
{
    append_le(out, text.size(), 4);
    out += text;
}

// A cursor over untrusted bytes: each read checks what is left first.
struct Reader {
    const unsigned char *data;
    size_t size, at;
};

int take_le(Reader &in, int width, uint64_t &value)
{
    if (in.size - in.at < (size_t)width)
        return -1;
    value = read_le(in.data + in.at, (size_t)width);
    in.at += (size_t)width;
    return 0;
}

int take_text(Reader &in, std::string &text)
{
    uint64_t length;
    if (take_le(in, 4, length) != 0 || length > in.size - in.at)
        return -1;
    text.assign((const char *)in.data + in.at, (size_t)length);
    in.at += (size_t)length;
    return 0;
}

// Format 4's fields between the code digest and the entries.
int take_tree_fields(Reader &in, Manifest &parsed, std::string &error)
{
    if (in.size - in.at < 1 + (size_t)SHA256_SIZE) {
        error = "manifest tree flag cut short";
        return -1;
    }
    if (in.data[in.at] > 1) {
        error = "manifest tree flag is " + std::to_string(in.data[in.at]) + ", not 0 or 1";
        return -1;
    }
    parsed.tree = in.data[in.at] == 1;
    memcpy(parsed.unpack_once_id, in.data + in.at + 1, SHA256_SIZE);
    in.at += 1 + (size_t)SHA256_SIZE;
    uint64_t count;
    if (take_le(in, 4, count) != 0 || count > (in.size - in.at) / 4) {
        error = "manifest environment records cut short";
        return -1;
    }
    parsed.environment.resize((size_t)count);
    for (std::string &record : parsed.environment)
        if (take_text(in, record) != 0) {
            error = "manifest environment records cut short";
            return -1;
        }
    return 0;
}

}  // namespace

std::string encode_manifest(const Manifest &manifest)
{
    std::string out(manifest_magic, sizeof manifest_magic);
    put_text(out, manifest.version);
    out.append((const char *)manifest.code_sha256, SHA256_SIZE);
    out += manifest.tree ? '\1' : '\0';
    out.append((const char *)manifest.unpack_once_id, SHA256_SIZE);
    append_le(out, manifest.environment.size(), 4);
    for (const std::string &record : manifest.environment)
        put_text(out, record);
    append_le(out, manifest.entries.size(), 4);
    for (const ManifestEntry &entry : manifest.entries) {
        put_text(out, entry.name);
        append_le(out, entry.size, 8);
        out.append((const char *)entry.sha256, SHA256_SIZE);
        out.append((const char *)entry.stored_sha256, SHA256_SIZE);
        put_text(out, entry.glibc);
        append_le(out, entry.kind, 4);
        append_le(out, entry.mode, 4);
        append_le(out, entry.link, 4);
        put_text(out, entry.target);
    }
    unsigned char digest[SHA256_SIZE];
    sha256(out.data(), out.size(), digest);
    out.append((const char *)digest, SHA256_SIZE);
    return out;
}

int decode_manifest(const unsigned char *data, size_t size, Manifest &manifest,
                    std::string &error)
{
    Reader in = {data, size, 0};
    Manifest parsed;
    if (size < sizeof manifest_magic ||
        memcmp(data, manifest_magic, format_byte) != 0 ||
        data[format_byte] < '1' || data[format_byte] > '4' ||
        data[format_byte + 1] != '\0') {
        error = "manifest does not start with SFXMAN1, SFXMAN2, SFXMAN3 or SFXMAN4";
        return -1;
    }
    parsed.format = data[format_byte] - '0';
    if (parsed.format >= 2) {
        unsigned char digest[SHA256_SIZE];
        if (size < sizeof manifest_magic + SHA256_SIZE) {
            error = "manifest cut short before its own SHA-256";
            return -1;
        }
        in.size -= SHA256_SIZE;
        sha256(data, in.size, digest);
        if (memcmp(digest, data + in.size, SHA256_SIZE) != 0) {
            error = "manifest's bytes do not match its own SHA-256";
            return -1;
        }
    }
    in.at = sizeof manifest_magic;
    uint64_t count;
    if (take_text(in, parsed.version) != 0) {
        error = "manifest version cut short";
        return -1;
    }
    if (parsed.format >= 2) {
        if (in.size - in.at < SHA256_SIZE) {
            error = "manifest code digest cut short";
            return -1;
        }
        memcpy(parsed.code_sha256, in.data + in.at, SHA256_SIZE);
        in.at += SHA256_SIZE;
    }
    if (parsed.format >= 4 && take_tree_fields(in, parsed, error) != 0)
        return -1;
    if (take_le(in, 4, count) != 0) {
        error = "manifest entry count cut short";
        return -1;
    }
    // Each entry takes at least 80 bytes (96 from format 4 on), so a count
    // that could not fit is refused before anything is reserved for it.
    const size_t least_entry =
        4 + 8 + 2 * (size_t)SHA256_SIZE + 4 + (parsed.format >= 4 ? 16 : 0);
    if (count > (in.size - in.at) / least_entry) {
        error = "manifest counts " + std::to_string(count) +
                " entries but has room for fewer";
        return -1;
    }
    parsed.entries.resize((size_t)count);
    for (uint64_t i = 0; i < count; i++) {
        ManifestEntry &entry = parsed.entries[(size_t)i];
        if (take_text(in, entry.name) != 0 || take_le(in, 8, entry.size) != 0 ||
            in.size - in.at < 2 * (size_t)SHA256_SIZE) {
            error = "manifest entry " + std::to_string(i) + " cut short";
            return -1;
        }
        memcpy(entry.sha256, in.data + in.at, SHA256_SIZE);
        memcpy(entry.stored_sha256, in.data + in.at + SHA256_SIZE, SHA256_SIZE);
        in.at += 2 * (size_t)SHA256_SIZE;
        if (take_text(in, entry.glibc) != 0) {
            error = "manifest entry " + std::to_string(i) + " cut short";
            return -1;
        }
        uint64_t kind, mode, link;
        if (parsed.format >= 4 &&
            (take_le(in, 4, kind) != 0 || take_le(in, 4, mode) != 0 ||
             take_le(in, 4, link) != 0 || take_text(in, entry.target) != 0)) {
            error = "manifest entry " + std::to_string(i) + " cut short";
            return -1;
        }
        if (parsed.format >= 4) {
            entry.kind = (uint32_t)kind;
            entry.mode = (uint32_t)mode;
            entry.link = (uint32_t)link;
        }
    }
    if (in.at != in.size) {
        error = "manifest has " + std::to_string(in.size - in.at) +
                " bytes after its last entry";
        return -1;
    }
    manifest = std::move(parsed);
    return 0;
}
