#include "stored_stream.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "payload.h"

int decode_stored_stream(const unsigned char *data, size_t size, FILE *out,
                         std::string &error)
{
    if (size > UINT32_MAX) {
        error = "stored stream over 4 GiB, the table cannot hold its size";
        return -1;
    }
    PayloadEntry entry = {data, "", (uint32_t)size};
    const unsigned char *stream;
    uint32_t length;
    entry_stream(&entry, &stream, &length);
    const char *reason = NULL;
    if (decode_entry(stream, length, out, &reason) == 0)
        return 0;
    error = reason ? reason : strerror(errno);
    return -1;
}
