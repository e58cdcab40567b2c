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

std::string dictionary_problem(const unsigned char *data, size_t size,
                               const TargetInfo &target)
{
    PayloadEntry entry = {data, "", (uint32_t)(size > UINT32_MAX ? UINT32_MAX : size)};
    const unsigned char *stream;
    uint32_t length;
    entry_stream(&entry, &stream, &length);
    if (length < 5)
        return "";
    uint32_t dictionary = 0;
    for (int i = 4; i >= 1; i--)
        dictionary = dictionary << 8 | stream[i];
    if (dictionary <= target.max_dictionary)
        return "";
    return "dictionary of " + std::to_string(dictionary) + " bytes is more than an " +
           target.name + " launcher can allocate (at most " +
           std::to_string(target.max_dictionary) + ")";
}
