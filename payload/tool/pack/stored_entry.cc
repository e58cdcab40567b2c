#include "pack/stored_entry.h"

#include <stdio.h>
#include <string.h>

#include "elf/entry_needs.h"
#include "payload.h"
#include "format/stored_stream.h"

void add_leading_zero(Bytes &stream)
{
    if (leading_zero_skipped(stream.data(), stream.size()))
        stream.insert(stream.begin(), 0);
}

namespace {

const unsigned char elf_magic[4] = {0x7f, 'E', 'L', 'F'};

// What the decoder writes, digested, and kept whole while it may be an ELF
// object, whose version needs decide where the launcher runs.
struct Decoded {
    DigestSink sink;
    bool elf = true;
    Bytes kept;
};

int keep_elf(void *context, const char *data, size_t size)
{
    Decoded *decoded = (Decoded *)context;
    if (decoded->elf) {
        decoded->kept.insert(decoded->kept.end(), data, data + size);
        size_t known = decoded->kept.size() < 4 ? decoded->kept.size() : 4;
        if (memcmp(decoded->kept.data(), elf_magic, known) != 0) {
            decoded->elf = false;
            Bytes().swap(decoded->kept);
        }
    }
    return 0;
}

bool kept_elf(const Decoded &decoded)
{
    return decoded.elf && decoded.kept.size() >= 4;
}

// Decodes stored into decoded. Returns what decode_stored_stream_counted does.
int decode_into(const Bytes &stored, Decoded &decoded, uint64_t &used, std::string &reason)
{
    decoded.sink.pass_on = keep_elf;
    decoded.sink.context = &decoded;
    FILE *out = open_digest_sink(decoded.sink);
    if (out == NULL) {
        reason = "cannot set up the stream check";
        return -1;
    }
    int result = decode_stored_stream_counted(stored.data(), stored.size(), out, used, reason);
    // Flushed on every path: after a failure the digest still covers what a
    // launcher would have written before it stopped.
    fclose(out);
    return result;
}

// The faults a header alone shows, named as a user would know them.
int check_header(const Bytes &stored, std::string &error)
{
    size_t skipped = leading_zero_skipped(stored.data(), stored.size());
    size_t length = stored.size() - skipped;
    if (stored.empty())
        error = "--stored file is empty, not an LZMA-Alone stream";
    else if (length < LZMA_ALONE_HEADER_SIZE)
        error = "--stored file is " + std::to_string(length) +
                " bytes, shorter than an LZMA-Alone header (" +
                std::to_string(LZMA_ALONE_HEADER_SIZE) + ")";
    else if (lzma_alone_unpacked_size(stored.data() + skipped) == LZMA_ALONE_SIZE_UNKNOWN)
        error = "--stored stream's header does not give the unpacked size "
                "(as xz --format=lzma writes it); the launcher needs the exact size";
    else
        return 0;
    return -1;
}

}  // namespace

int stored_version_needs(const Bytes &stored, std::vector<VersionNeed> &needs)
{
    Decoded decoded;
    uint64_t used = 0;
    std::string reason;
    if (decode_into(stored, decoded, used, reason) != 0 || !kept_elf(decoded))
        return -1;
    return read_version_needs(decoded.kept.data(), decoded.kept.size(), needs, reason);
}

int check_stored_entry(const Bytes &stored, const TargetInfo &target, Unpacked &unpacked,
                       std::string &error)
{
    // Before decoding: the packer could allocate what the launcher cannot.
    std::string dictionary = dictionary_problem(stored.data(), stored.size(), target);
    if (!dictionary.empty()) {
        error = "--stored stream's " + dictionary;
        return -1;
    }
    Decoded decoded;
    uint64_t used = 0;
    std::string reason;
    int result = decode_into(stored, decoded, used, reason);
    unpacked.size = decoded.sink.size;
    decoded.sink.digest.finish(unpacked.sha256);

    if (stored.size() > UINT32_MAX) {
        error = reason;
        return -1;
    }
    if (check_header(stored, error))
        return -1;
    size_t skipped = leading_zero_skipped(stored.data(), stored.size());
    if (result != 0) {
        error = "--stored stream does not decode to the " +
                std::to_string(lzma_alone_unpacked_size(stored.data() + skipped)) +
                " bytes its header gives (" + reason + ")";
        return -1;
    }
    if (used != stored.size()) {
        error = "--stored stream has " + std::to_string(stored.size() - used) +
                " bytes after the end of its LZMA data, which the launcher "
                "would never unpack";
        return -1;
    }
    if (kept_elf(decoded))
        unpacked.glibc = newest_glibc_need(decoded.kept.data(), decoded.kept.size());
    return 0;
}
