#include "pack/stored_entry.h"

#include <stdio.h>
#include <string.h>

#include "elf/entry_needs.h"
#include "payload.h"
#include "format/stored_stream.h"

void add_leading_zero(Bytes &stream)
{
    if (!stream.empty() && stream[0] == 0)
        stream.insert(stream.begin(), 0);
}

namespace {

const unsigned char elf_magic[4] = {0x7f, 'E', 'L', 'F'};

// Digests what the decoder writes, and keeps it whole while it may be an ELF
// object, whose version needs decide where the launcher runs.
struct DigestSink {
    Sha256 digest;
    uint64_t size = 0;
    bool elf = true;
    Bytes kept;
};

ssize_t digest_write(void *cookie, const char *data, size_t size)
{
    DigestSink *sink = (DigestSink *)cookie;
    sink->digest.update(data, size);
    sink->size += size;
    if (sink->elf) {
        sink->kept.insert(sink->kept.end(), data, data + size);
        size_t known = sink->kept.size() < 4 ? sink->kept.size() : 4;
        if (memcmp(sink->kept.data(), elf_magic, known) != 0) {
            sink->elf = false;
            Bytes().swap(sink->kept);
        }
    }
    return (ssize_t)size;
}

bool kept_elf(const DigestSink &sink)
{
    return sink.elf && sink.kept.size() >= 4;
}

// Decodes stored into sink. Returns what decode_stored_stream_counted does.
int decode_into(const Bytes &stored, DigestSink &sink, uint64_t &used, std::string &reason)
{
    cookie_io_functions_t functions = {NULL, digest_write, NULL, NULL};
    FILE *out = fopencookie(&sink, "w", functions);
    if (out == NULL) {
        reason = "cannot set up the stream check";
        return -1;
    }
    int decoded = decode_stored_stream_counted(stored.data(), stored.size(), out, used, reason);
    // Flushed on every path: after a failure the digest still covers what a
    // launcher would have written before it stopped.
    fclose(out);
    return decoded;
}

uint64_t header_size(const unsigned char *stream)
{
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--)
        size = size << 8 | stream[5 + i];
    return size;
}

// The faults a header alone shows, named as a user would know them.
int check_header(const Bytes &stored, std::string &error)
{
    size_t skipped = !stored.empty() && stored[0] == 0 ? 1 : 0;
    size_t length = stored.size() - skipped;
    if (stored.empty())
        error = "--stored file is empty, not an LZMA-Alone stream";
    else if (length < LZMA_ALONE_HEADER_SIZE)
        error = "--stored file is " + std::to_string(length) +
                " bytes, shorter than an LZMA-Alone header (13)";
    else if (header_size(stored.data() + skipped) == UINT64_MAX)
        error = "--stored stream's header does not give the unpacked size "
                "(as xz --format=lzma writes it); the launcher needs the exact size";
    else
        return 0;
    return -1;
}

}  // namespace

int stored_version_needs(const Bytes &stored, std::vector<VersionNeed> &needs)
{
    DigestSink sink;
    uint64_t used = 0;
    std::string reason;
    if (decode_into(stored, sink, used, reason) != 0 || !kept_elf(sink))
        return -1;
    return read_version_needs(sink.kept.data(), sink.kept.size(), needs, reason);
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
    DigestSink sink;
    uint64_t used = 0;
    std::string reason;
    int decoded = decode_into(stored, sink, used, reason);
    unpacked.size = sink.size;
    sink.digest.finish(unpacked.sha256);

    if (stored.size() > UINT32_MAX) {
        error = reason;
        return -1;
    }
    if (check_header(stored, error))
        return -1;
    size_t skipped = stored[0] == 0 ? 1 : 0;
    if (decoded != 0) {
        error = "--stored stream does not decode to the " +
                std::to_string(header_size(stored.data() + skipped)) +
                " bytes its header gives (" + reason + ")";
        return -1;
    }
    if (used != stored.size()) {
        error = "--stored stream has " + std::to_string(stored.size() - used) +
                " bytes after the end of its LZMA data, which the launcher "
                "would never unpack";
        return -1;
    }
    if (kept_elf(sink))
        unpacked.glibc = newest_glibc_need(sink.kept.data(), sink.kept.size());
    return 0;
}
