#include "stored_stream.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "payload.h"

extern "C" {
#include "LzmaDec.h"
}

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

// The launcher's decode loop does not report how much input it consumed, and
// must not change for the packer's sake. The packer's link routes the loop's
// calls into the SDK through this wrapper (--wrap), which counts what each
// call consumed; the launcher's own link does not.
extern "C" {
SRes __real_LzmaDec_DecodeToBuf(CLzmaDec *p, Byte *dest, SizeT *destLen,
                                const Byte *src, SizeT *srcLen,
                                ELzmaFinishMode finishMode, ELzmaStatus *status);
SRes __wrap_LzmaDec_DecodeToBuf(CLzmaDec *p, Byte *dest, SizeT *destLen,
                                const Byte *src, SizeT *srcLen,
                                ELzmaFinishMode finishMode, ELzmaStatus *status);
}

static thread_local uint64_t decoder_input_used;

SRes __wrap_LzmaDec_DecodeToBuf(CLzmaDec *p, Byte *dest, SizeT *destLen,
                                const Byte *src, SizeT *srcLen,
                                ELzmaFinishMode finishMode, ELzmaStatus *status)
{
    SRes res = __real_LzmaDec_DecodeToBuf(p, dest, destLen, src, srcLen,
                                          finishMode, status);
    decoder_input_used += *srcLen;
    return res;
}

int decode_stored_stream_counted(const unsigned char *data, size_t size,
                                 FILE *out, uint64_t &used, std::string &error)
{
    decoder_input_used = 0;
    int result = decode_stored_stream(data, size, out, error);
    // Only a stream that decoded had its whole header read.
    size_t skipped = size != 0 && data[0] == 0 ? 1 : 0;
    used = result == 0 ? skipped + LZMA_ALONE_HEADER_SIZE + decoder_input_used : 0;
    return result;
}
