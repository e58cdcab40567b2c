#include "format/stored_entry.h"

#include <stdio.h>

#include "payload.h"
#include "format/stored_stream.h"

void add_leading_zero(Bytes &stream)
{
    if (!stream.empty() && stream[0] == 0)
        stream.insert(stream.begin(), 0);
}

namespace {

struct DigestSink {
    Sha256 digest;
    uint64_t size = 0;
};

ssize_t digest_write(void *cookie, const char *data, size_t size)
{
    DigestSink *sink = (DigestSink *)cookie;
    sink->digest.update(data, size);
    sink->size += size;
    return (ssize_t)size;
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

int check_stored_entry(const Bytes &stored, Unpacked &unpacked, std::string &error)
{
    DigestSink sink;
    cookie_io_functions_t functions = {NULL, digest_write, NULL, NULL};
    FILE *out = fopencookie(&sink, "w", functions);
    if (out == NULL) {
        error = "cannot set up the stream check";
        return -1;
    }
    uint64_t used = 0;
    std::string reason;
    int decoded = decode_stored_stream_counted(stored.data(), stored.size(), out,
                                               used, reason);
    // Flushed on every path: after a failure the digest still covers what a
    // launcher would have written before it stopped.
    fclose(out);
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
    return 0;
}
