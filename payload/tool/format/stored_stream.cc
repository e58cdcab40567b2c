#include "format/stored_stream.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "payload.h"
#include "format/target_table.h"

int decode_stored_stream(const unsigned char *data, size_t size, FILE *out,
                         std::string &error)
{
    uint64_t used;
    return decode_stored_stream_counted(data, size, out, used, error);
}

int decode_stored_stream_counted(const unsigned char *data, size_t size,
                                 FILE *out, uint64_t &used, std::string &error)
{
    used = 0;
    if (size > UINT32_MAX) {
        error = "stored stream over 4 GiB, the table cannot hold its size";
        return -1;
    }
    PayloadEntry entry = {data, "", (uint32_t)size};
    const unsigned char *stream;
    uint32_t length;
    entry_stream(&entry, &stream, &length);
    const char *reason = NULL;
    uint32_t stream_used = 0;
    if (decode_entry(stream, length, out, &reason, &stream_used) != 0) {
        error = reason ? reason : strerror(errno);
        return -1;
    }
    used = (uint64_t)(stream - data) + stream_used;
    return 0;
}

static ssize_t digest_write(void *cookie, const char *data, size_t size)
{
    DigestSink *sink = (DigestSink *)cookie;
    if (sink->pass_on != nullptr && sink->pass_on(sink->context, data, size) != 0)
        return -1;
    sink->digest.update(data, size);
    sink->size += size;
    return (ssize_t)size;
}

FILE *open_digest_sink(DigestSink &sink)
{
    cookie_io_functions_t functions = {nullptr, digest_write, nullptr, nullptr};
    return fopencookie(&sink, "w", functions);
}

std::string dictionary_problem(const unsigned char *data, size_t size,
                               const TargetInfo &target)
{
    size_t skipped = leading_zero_skipped(data, size);
    if (size - skipped < LZMA_ALONE_SIZE_AT)
        return "";
    uint32_t dictionary = lzma_alone_dictionary(data + skipped);
    if (dictionary <= target.max_dictionary)
        return "";
    return "dictionary of " + std::to_string(dictionary) + " bytes is more than an " +
           target.name + " launcher can allocate (at most " +
           std::to_string(target.max_dictionary) + ")";
}
