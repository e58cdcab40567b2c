// libFuzzer target: any bytes, taken as one stored stream, go through the real
// extract_entry into a real stdio stream. On every input it checks what the
// launcher relies on: the result is 0 or -1; a failure printed exactly one
// line, naming the entry, and a success printed nothing; no more bytes reached
// the file than the header declares, and a success wrote exactly that many.
// Each input that wrote something is decoded a second time into a file that
// fills up halfway, which must fail with one message. Leaks are left to
// LeakSanitizer, which libFuzzer runs after any input that did not free what
// it allocated.
//
// Inputs whose header asks for a dictionary above 1 MiB are passed over: the
// decoder allocates the whole dictionary up front, and under AddressSanitizer
// a random 32-bit size (gigabytes) costs seconds per execution. The decoding
// itself does not depend on the dictionary's size beyond where it wraps, which
// small dictionaries reach sooner.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include "payload.h"

namespace {

const char entry_name[] = "entry";
const uint32_t largest_dictionary = 1 << 20;

// A file that only counts what reaches it, and fails with ENOSPC past its
// capacity, as a full disk does.
struct Sink {
    uint64_t written;
    uint64_t capacity;
};

ssize_t sink_write(void *cookie, const char *, size_t size)
{
    Sink *sink = (Sink *)cookie;
    uint64_t room = sink->capacity - sink->written;
    if (size > room) {
        sink->written += room;
        errno = ENOSPC;
        return (ssize_t)room;
    }
    sink->written += size;
    return (ssize_t)size;
}

// What extract_entry printed on stderr during one call.
FILE *messages;
char message_text[4096];

struct Outcome {
    int result;
    uint64_t written;
    size_t message_length;
};

void fail(const char *what, const Outcome &outcome)
{
    fprintf(stderr,
            "extract_entry_fuzz: %s (result %d, %llu bytes written, messages: "
            "\"%.*s\")\n",
            what, outcome.result, (unsigned long long)outcome.written,
            (int)outcome.message_length, message_text);
    abort();
}

Outcome extract(const uint8_t *data, size_t size, uint64_t capacity)
{
    Sink sink = {0, capacity};
    cookie_io_functions_t functions = {NULL, sink_write, NULL, NULL};
    FILE *out = fopencookie(&sink, "w", functions);
    if (out == NULL)
        abort();
    // Unbuffered, so that a write that does not fit fails inside the call
    // rather than at the caller's close.
    setvbuf(out, NULL, _IONBF, 0);

    rewind(messages);
    FILE *real_stderr = stderr;
    stderr = messages;
    Outcome outcome;
    outcome.result = extract_entry(data, (uint32_t)size, out, entry_name);
    stderr = real_stderr;
    fflush(messages);
    outcome.message_length = (size_t)ftell(messages);
    fclose(out);
    outcome.written = sink.written;
    return outcome;
}

void check_messages(const Outcome &outcome)
{
    size_t length = outcome.message_length;
    if (outcome.result == 0) {
        if (length != 0)
            fail("success printed a message", outcome);
        return;
    }
    if (length == 0)
        fail("failure printed no message", outcome);
    if (length >= sizeof message_text - 1)
        fail("failure message too long", outcome);
    if (memchr(message_text, '\n', length) != message_text + length - 1)
        fail("failure printed other than one line", outcome);
    size_t prefix = strlen(entry_name);
    if (strncmp(message_text, entry_name, prefix) != 0 ||
        strncmp(message_text + prefix, ": ", 2) != 0)
        fail("failure message does not start with the entry name", outcome);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    messages = fmemopen(message_text, sizeof message_text, "w");
    if (messages == NULL)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The table holds 32-bit sizes.
    if (size > UINT32_MAX)
        return -1;
    if (size >= LZMA_ALONE_SIZE_AT && lzma_alone_dictionary(data) > largest_dictionary)
        return -1;

    Outcome whole = extract(data, size, UINT64_MAX);
    if (whole.result != 0 && whole.result != -1)
        fail("result is neither 0 nor -1", whole);
    check_messages(whole);

    if (size < LZMA_ALONE_HEADER_SIZE) {
        if (whole.result != -1 || whole.written != 0)
            fail("a stream shorter than its header was accepted", whole);
        return 0;
    }
    uint64_t declared = lzma_alone_unpacked_size(data);
    if (whole.written > declared)
        fail("wrote more than the declared unpacked size", whole);
    if (whole.result == 0 && whole.written != declared)
        fail("succeeded without writing the declared unpacked size", whole);

    if (whole.written == 0)
        return 0;
    Outcome cut = extract(data, size, whole.written / 2);
    check_messages(cut);
    if (cut.result != -1)
        fail("a file that filled up was not reported", cut);
    if (cut.written != whole.written / 2)
        fail("a file that filled up got a different amount", cut);
    return 0;
}
