#include "pack/lzma_alone.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "format.h"
#include "sys/byte_order.h"
#include "sys/fatal_signals.h"
#include "sys/progress_line.h"
#include "cache/stream_cache.h"

extern "C" {
#include "7zVersion.h"
#include "LzmaEnc.h"
}

// Level 9 is what every launcher was packed with before levels existed, so
// its streams stay byte for byte what they were. The SDK's optimal parser
// costs about the same whatever it is given, so 4 to 8 only look at fewer
// match candidates (and gain little); shorter longest matches would cost
// more, not less, on repetitive data. The real trade is 3 and below: the fast
// parser over a hash chain, with a shorter reach back whose tables stay in
// the processor's cache. A stream whose matches reach less far than the
// header's dictionary is still exactly what the launcher's decoder expects.
enum : unsigned { KIB = 1u << 10, MIB = 1u << 20 };
static const EncoderEffort efforts[LZMA_LEVEL_BEST + 1] = {
    {64 * KIB, 0, 0, 4, 32, 2},        {256 * KIB, 0, 0, 4, 32, 3},
    {1 * MIB, 0, 0, 4, 32, 4},         {4 * MIB, 0, 0, 4, 32, 8},
    {16 * MIB, 1, 1, 4, 64, 8},        {16 * MIB, 1, 1, 4, 64, 16},
    {16 * MIB, 1, 1, 4, 64, 24},       {16 * MIB, 1, 1, 4, 64, 32},
    {16 * MIB, 1, 1, 4, 64, 40},       {16 * MIB, 1, 1, 4, 64, 48},
};

// Bumped whenever the streams made here change for the same settings, so
// that streams kept from an older packer are never taken for new ones.
static const int stream_format = 1;

const EncoderEffort &encoder_effort(int level)
{
    return efforts[std::min(std::max(level, (int)LZMA_LEVEL_FASTEST), (int)LZMA_LEVEL_BEST)];
}

uint32_t tree_file_dictionary(uint64_t size)
{
    const uint64_t page = 4ull * KIB;
    uint64_t rounded = size == 0 ? page : (size + page - 1) / page * page;
    return rounded < LZMA_ALONE_DICTIONARY ? (uint32_t)rounded : LZMA_ALONE_DICTIONARY;
}

std::string encoder_settings_text(int level, uint32_t dictionary)
{
    const EncoderEffort &e = encoder_effort(level);
    return "LZMA SDK " MY_VERSION ", format " + std::to_string(stream_format) +
           ", lc " + std::to_string(LZMA_ALONE_LC) + " lp " + std::to_string(LZMA_ALONE_LP) +
           " pb " + std::to_string(LZMA_ALONE_PB) + ", dictionary " +
           std::to_string(dictionary) +
           ", exact size, no end mark, window " + std::to_string(e.window) +
           " algo " + std::to_string(e.algo) + " bt " +
           std::to_string(e.bt_mode) + " hash " + std::to_string(e.hash_bytes) + " fb " +
           std::to_string(e.fb) + " mc " + std::to_string(e.mc);
}

static void *sdk_alloc(void *, size_t size) { return malloc(size); }
static void sdk_free(void *, void *address) { free(address); }
static ISzAlloc sdk_allocator = {sdk_alloc, sdk_free};

struct MemoryIn {
    ISeqInStream stream;
    const unsigned char *data;
    size_t size;
    size_t pos;
};

struct MemoryOut {
    ISeqOutStream stream;
    Bytes *data;
};

static SRes read_memory(void *p, void *buf, size_t *size)
{
    MemoryIn *in = (MemoryIn *)p;
    size_t left = in->size - in->pos;
    if (*size > left)
        *size = left;
    // An empty input has no buffer at all, and memcpy from a null pointer is
    // undefined even for no bytes.
    if (*size == 0)
        return SZ_OK;
    memcpy(buf, in->data + in->pos, *size);
    in->pos += *size;
    return SZ_OK;
}

static size_t write_memory(void *p, const void *buf, size_t size)
{
    MemoryOut *out = (MemoryOut *)p;
    const unsigned char *bytes = (const unsigned char *)buf;
    out->data->insert(out->data->end(), bytes, bytes + size);
    return size;
}

struct SdkProgress {
    ICompressProgress sdk;
    const EncodeProgress *progress;
};

static SRes report_progress(void *p, UInt64 in_size, UInt64)
{
    SdkProgress *progress = (SdkProgress *)p;
    progress->progress->report(progress->progress->context, in_size);
    return SZ_OK;
}

int compress_lzma_alone(const Bytes &data, Bytes &stream, std::string &error, int level,
                        const EncodeProgress *progress)
{
    return compress_lzma_alone(data.data(), data.size(), stream, error, level, progress);
}

int compress_lzma_alone(const unsigned char *data, size_t input_size, Bytes &stream,
                        std::string &error, int level, const EncodeProgress *progress,
                        uint32_t dictionary)
{
    if (dictionary < input_size && dictionary != LZMA_ALONE_DICTIONARY) {
        error = "a dictionary smaller than the input";
        return -1;
    }
    CLzmaEncHandle encoder = LzmaEnc_Create(&sdk_allocator);
    if (encoder == NULL) {
        error = "out of memory";
        return -1;
    }

    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    const EncoderEffort &effort = encoder_effort(level);
    props.level = level;
    // A small file's own dictionary bounds what its matches can reach, so
    // the encoder's window need be no larger: the match finder's tables
    // grow with the window, and at level 9 a 16 MiB one costs milliseconds
    // to map and unmap for each of a tree's many small files.
    props.dictSize = std::min(effort.window, dictionary);
    props.algo = effort.algo;
    props.btMode = effort.bt_mode;
    props.numHashBytes = effort.hash_bytes;
    props.fb = effort.fb;
    props.mc = effort.mc;
    props.lc = LZMA_ALONE_LC;
    props.lp = LZMA_ALONE_LP;
    props.pb = LZMA_ALONE_PB;
    props.writeEndMark = 0;
    props.numThreads = 1;

    // Written here rather than by the SDK, which would write the window:
    // every level gives the launcher the same header.
    stream.clear();
    stream.push_back(LZMA_ALONE_PROPERTIES);
    append_le(stream, dictionary, 4);
    SRes res = LzmaEnc_SetProps(encoder, &props);
    if (res == SZ_OK) {
        append_le(stream, input_size, 8);
        stream.reserve(LZMA_ALONE_HEADER_SIZE + input_size / 2 + 64);
        MemoryIn in = {{read_memory}, data, input_size, 0};
        MemoryOut out = {{write_memory}, &stream};
        SdkProgress sdk_progress = {{report_progress}, progress};
        res = LzmaEnc_Encode(encoder, &out.stream, &in.stream,
                             progress ? &sdk_progress.sdk : NULL, &sdk_allocator,
                             &sdk_allocator);
    }
    LzmaEnc_Destroy(encoder, &sdk_allocator, &sdk_allocator);

    if (res != SZ_OK) {
        error = res == SZ_ERROR_MEM ? "out of memory"
                                    : "LZMA encoder error " + std::to_string(res);
        return -1;
    }
    return 0;
}

static void forward_progress(void *context, uint64_t consumed)
{
    ProgressTicket *ticket = (ProgressTicket *)context;
    progress_advance(*ticket, consumed);
}

// One input's mapped bytes, digested or compressed under read_mapped, which
// gives up on them should the file be cut short meanwhile.
struct MappedWork {
    const MappedFile *file;
    const CompressWork *work;
    Compressed *out;
    ProgressTicket ticket;
    int failed;
    uint32_t dictionary;
};

static void digest_mapped(void *context)
{
    MappedWork *w = (MappedWork *)context;
    sha256(w->file->data, w->file->size, w->out->sha256);
}

static void compress_mapped(void *context)
{
    MappedWork *w = (MappedWork *)context;
    EncodeProgress progress = {forward_progress, &w->ticket};
    w->failed = compress_lzma_alone(w->file->data, w->file->size, w->out->stream, w->out->error,
                                    w->work->level,
                                    w->work->progress != nullptr ? &progress : nullptr,
                                    w->dictionary);
}

// One input, mapped until it is done: its kept stream when the cache has a
// sound one, otherwise compressed here and offered to the cache.
static void compress_one(const CompressInput &input, const CompressWork &work, Compressed &out)
{
    MappedFile file;
    MappedWork mapped = {&file, &work, &out, {work.progress, 0}, 0, LZMA_ALONE_DICTIONARY};
    if (map_unchanged(input.path, input.identity, file, out.error) != 0 ||
        read_mapped(file, digest_mapped, &mapped, out.error) != 0)
        return;
    if (work.small_dictionaries)
        mapped.dictionary = tree_file_dictionary(file.size);
    CacheKey key;
    if (work.cache != nullptr) {
        // The dictionary is in the stream's header, so in what it is kept under.
        cache_key(encoder_settings_text(work.level, mapped.dictionary), file.size, out.sha256,
                  key);
        key.dictionary = mapped.dictionary;
        if (cache_load(*work.cache, key, out.stream) == 0) {
            if (work.progress != nullptr)
                progress_file_done(*work.progress, file.size);
            return;
        }
    }
    if (read_mapped(file, compress_mapped, &mapped, out.error) != 0)
        return;
    if (work.progress != nullptr)
        progress_file_done(*work.progress, file.size - mapped.ticket.counted);
    if (mapped.failed)
        out.error = input.path + ": " + out.error;
    else if (work.cache != nullptr)
        cache_store(*work.cache, key, out.stream);
}

void compress_all(const std::vector<CompressInput> &inputs, const CompressWork &work,
                  std::vector<Compressed> &out)
{
    out.assign(inputs.size(), Compressed());

    // Largest first, so that the longest job never starts last.
    std::vector<size_t> order(inputs.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return inputs[a].identity.size > inputs[b].identity.size;
    });

    std::atomic<size_t> next(0);
    auto worker = [&]() {
        for (size_t k = next++; k < order.size(); k = next++) {
            size_t i = order[k];
            compress_one(inputs[i], work, out[i]);
        }
    };

    size_t cores = std::thread::hardware_concurrency();
    size_t count = std::min(inputs.size(), cores == 0 ? 1 : (size_t)cores);
    std::vector<std::thread> workers;
    // The workers inherit a mask that keeps fatal signals on this thread.
    sigset_t mask;
    block_fatal_signals(mask);
    for (size_t i = 1; i < count; i++)
        workers.emplace_back(worker);
    restore_signal_mask(mask);
    worker();
    for (std::thread &t : workers)
        t.join();
}
