#include "payload.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

// The SDK's headers declare C functions without saying so.
extern "C" {
#include "LzmaDec.h"
}

enum { OUT_CHUNK = 4096 };

static void *lzma_alloc(void *, size_t size) { return malloc(size); }
static void lzma_free(void *, void *address) { free(address); }
static ISzAlloc lzma_allocator = {lzma_alloc, lzma_free};

static const char *const lzma_error_texts[] = {
    "no error",          "invalid data",       "no enough memory",
    "invalid CRC",       "unsupported",        "invalid parameters",
    "input EOF",         "output EOF",         "read error",
    "write error",
};

void entry_stream(const PayloadEntry *entry, const unsigned char **stream,
                  uint32_t *length)
{
    uint32_t skipped = leading_zero_skipped(entry->data, entry->size);
    *stream = entry->data + skipped;
    *length = entry->size - skipped;
}

// The SDK returns only the codes above; anything else is named by number.
static const char *lzma_error_text(SRes code)
{
    static char text[32];
    if (code >= 0 && code <= SZ_ERROR_WRITE)
        return lzma_error_texts[code];
    snprintf(text, sizeof text, "error %d", code);
    return text;
}

static int decode_stream(CLzmaDec *state, const unsigned char *stream,
                         uint32_t length, FILE *out, const char **reason,
                         uint32_t *used)
{
    unsigned char chunk[OUT_CHUNK];
    uint64_t remaining = lzma_alone_unpacked_size(stream);
    uint32_t in_pos = 0;

    for (;;) {
        SizeT in_size = length - LZMA_ALONE_HEADER_SIZE - in_pos;
        SizeT out_size = OUT_CHUNK;
        ELzmaFinishMode finish = LZMA_FINISH_ANY;
        ELzmaStatus status;
        // The request for the last bytes owed is always made in end mode,
        // even when it is a whole chunk: only then does the decoder check
        // that the stream ends where the header says, so a damaged tail or a
        // header that owns up to fewer bytes than the stream holds is caught.
        if (remaining <= OUT_CHUNK) {
            out_size = (SizeT)remaining;
            finish = LZMA_FINISH_END;
        }
        SRes res = LzmaDec_DecodeToBuf(state, chunk, &out_size,
                                       stream + LZMA_ALONE_HEADER_SIZE + in_pos,
                                       &in_size, finish, &status);
        // A stream that ends properly leaves the range coder at rest, or ends
        // in an end marker. When the last bytes owed came out but the input
        // ran out before either, the tail is damaged or cut off; the SDK's
        // one-call decoder calls this an input EOF, and so does this one.
        if (res == SZ_OK && finish == LZMA_FINISH_END && out_size == remaining &&
            status == LZMA_STATUS_NEEDS_MORE_INPUT)
            res = SZ_ERROR_INPUT_EOF;
        if (res != SZ_OK) {
            *reason = lzma_error_text(res);
            return -1;
        }
        if (remaining != 0 && out_size == 0) {
            *reason = "no data decompressed though some compressed data left";
            return -1;
        }
        remaining -= out_size;
        in_pos += (uint32_t)in_size;
        if (fwrite(chunk, 1, out_size, out) != out_size) {
            *reason = NULL;
            return -1;
        }
        if (remaining == 0) {
            *used = LZMA_ALONE_HEADER_SIZE + in_pos;
            return 0;
        }
    }
}

int decode_entry(const unsigned char *stream, uint32_t length, FILE *out,
                 const char **reason, uint32_t *used)
{
    CLzmaDec state;
    LzmaDec_Construct(&state);

    // Too short for properties: nothing to set up, the header check below
    // reports it.
    if (length >= LZMA_PROPS_SIZE) {
        if (LzmaDec_Allocate(&state, stream, LZMA_PROPS_SIZE, &lzma_allocator) !=
            SZ_OK) {
            *reason = "unable to set LZMA decompression properties";
            return -1;
        }
        LzmaDec_Init(&state);
    }

    int result = -1;
    if (length < LZMA_ALONE_HEADER_SIZE ||
        lzma_alone_unpacked_size(stream) == LZMA_ALONE_SIZE_UNKNOWN)
        *reason = "too short";
    else
        result = decode_stream(&state, stream, length, out, reason, used);

    // Freeing must not disturb errno, which a failed write left for perror.
    int saved_errno = errno;
    LzmaDec_Free(&state, &lzma_allocator);
    errno = saved_errno;
    return result;
}

int extract_entry(const unsigned char *stream, uint32_t length, FILE *out,
                  const char *name)
{
    const char *reason = NULL;
    uint32_t used = 0;
    if (decode_entry(stream, length, out, &reason, &used) == 0)
        return 0;
    if (reason == NULL)
        perror(name);
    else
        fprintf(stderr, "%s: %s\n", name, reason);
    return -1;
}
