#include "pack/cache_id.h"

#include "format.h"
#include "sfx_version.h"
#include "sys/byte_order.h"

static void put_text(std::string &out, const std::string &text)
{
    append_le(out, text.size(), 4);
    out += text;
}

void unpack_once_id(const Manifest &manifest, const TargetInfo &target,
                    const LoaderPathsSource &loader, unsigned char id[SHA256_SIZE])
{
    // Every field with its length or width, so that no two payloads give
    // the same bytes.
    std::string in = "sfxlaunch unpack-once 1";
    put_text(in, SFX_LAUNCHER_VERSION);
    put_text(in, target.name);
    in += manifest.tree ? '\1' : '\0';
    append_le(in, manifest.environment.size(), 4);
    for (const std::string &record : manifest.environment)
        put_text(in, record);
    put_text(in, loader.loader_name);
    for (uint64_t v : {loader.room.interpreter_at, loader.room.interpreter_room,
                       loader.room.library_dir_at, loader.room.library_dir_room})
        append_le(in, v, 8);
    append_le(in, loader.others.size(), 4);
    for (const EntryLoaderRoom &other : loader.others) {
        const LoaderRoom &r = other.room;
        for (uint64_t v : {(uint64_t)other.entry, r.interpreter_at, r.interpreter_room,
                           r.library_dir_at, r.library_dir_room})
            append_le(in, v, 8);
    }
    append_le(in, manifest.entries.size(), 4);
    for (const ManifestEntry &e : manifest.entries) {
        put_text(in, e.name);
        append_le(in, e.size, 8);
        in.append((const char *)e.sha256, SHA256_SIZE);
        in.append((const char *)e.stored_sha256, SHA256_SIZE);
        for (uint32_t v : {e.kind, e.mode, e.link})
            append_le(in, v, 4);
        put_text(in, e.target);
    }
    sha256(in.data(), in.size(), id);
}

std::string cache_id_source(const unsigned char id[SHA256_SIZE])
{
    static_assert((int)CACHE_ID_SIZE == (int)SHA256_SIZE, "the id is a SHA-256");
    std::string s = "    .section " PAYLOAD_CACHE_SECTION ",\"a\",@progbits\n    .p2align 0\n";
    s += "    .globl payload_cache\n    .type payload_cache, @object\npayload_cache:\n    .byte ";
    for (int i = 0; i < SHA256_SIZE; i++)
        s += std::to_string(id[i]) + (i + 1 < SHA256_SIZE ? "," : "\n");
    s += "    .size payload_cache, .-payload_cache\n";
    return s;
}
