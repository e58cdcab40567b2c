#include "read/entry_decode.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "format/stored_stream.h"

namespace {

struct Sink {
    const DecodeTarget *target;
    DigestSink digested;
    bool stopped = false;
    int write_errno = 0;
};

// Keeps and writes out a chunk before it is digested, so that the digest
// covers only what reached the file.
int pass_on(void *context, const char *buffer, size_t size)
{
    Sink *sink = (Sink *)context;
    const DecodeTarget &t = *sink->target;
    // stdio offers the refused bytes again when the stream is closed.
    if (sink->stopped) {
        errno = ECANCELED;
        return -1;
    }
    if (t.kept != nullptr && sink->digested.size < t.keep_limit) {
        uint64_t take = t.keep_limit - sink->digested.size;
        t.kept->append(buffer, size < take ? size : (size_t)take);
        if (t.stop_when_kept && size >= take) {
            // A failed write is the only way to stop the decoder early.
            sink->stopped = true;
            errno = ECANCELED;
            return -1;
        }
    }
    for (size_t done = 0; t.fd >= 0 && done < size;) {
        ssize_t n = write(t.fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sink->write_errno = n < 0 ? errno : ENOSPC;
            errno = sink->write_errno;
            return -1;
        }
        done += (size_t)n;
    }
    return 0;
}

}  // namespace

int decode_launcher_entry(const LauncherEntry &entry, const DecodeTarget &target,
                          DecodedEntry &decoded, std::string &error)
{
    if (entry.stored == nullptr) {
        error = "its stored bytes cannot be read";
        return -1;
    }
    Sink sink;
    sink.target = &target;
    sink.digested.pass_on = pass_on;
    sink.digested.context = &sink;
    FILE *out = open_digest_sink(sink.digested);
    if (out == nullptr) {
        error = strerror(errno);
        return -1;
    }
    // Large writes keep the digest and the file's writes in big pieces; the
    // decoder hands over 4 KiB at a time. A decode that stops early sees
    // each chunk at once, so that it stops after the first one it needs.
    if (target.stop_when_kept) {
        setvbuf(out, nullptr, _IONBF, 0);
    } else {
        static char buffer[1 << 16];
        setvbuf(out, buffer, _IOFBF, sizeof buffer);
    }
    int result = decode_stored_stream(entry.stored, entry.stored_size, out, error);
    if (fclose(out) != 0 && result == 0 && !sink.stopped) {
        error = strerror(sink.write_errno ? sink.write_errno : errno);
        result = -1;
        decoded.write_failed = true;
    }
    if (sink.stopped)
        return 0;
    decoded.write_failed = result != 0 && sink.write_errno != 0;
    if (decoded.write_failed)
        error = strerror(sink.write_errno);
    decoded.size = sink.digested.size;
    sink.digested.digest.finish(decoded.sha256);
    return result;
}
