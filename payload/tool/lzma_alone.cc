#include "lzma_alone.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <thread>

extern "C" {
#include "LzmaEnc.h"
}

static void *sdk_alloc(void *, size_t size) { return malloc(size); }
static void sdk_free(void *, void *address) { free(address); }
static ISzAlloc sdk_allocator = {sdk_alloc, sdk_free};

struct MemoryIn {
    ISeqInStream stream;
    const Bytes *data;
    size_t pos;
};

struct MemoryOut {
    ISeqOutStream stream;
    Bytes *data;
};

static SRes read_memory(void *p, void *buf, size_t *size)
{
    MemoryIn *in = (MemoryIn *)p;
    size_t left = in->data->size() - in->pos;
    if (*size > left)
        *size = left;
    // An empty input has no buffer at all, and memcpy from a null pointer is
    // undefined even for no bytes.
    if (*size == 0)
        return SZ_OK;
    memcpy(buf, in->data->data() + in->pos, *size);
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

int compress_lzma_alone(const Bytes &data, Bytes &stream, std::string &error)
{
    CLzmaEncHandle encoder = LzmaEnc_Create(&sdk_allocator);
    if (encoder == NULL) {
        error = "out of memory";
        return -1;
    }

    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 9;
    props.dictSize = LZMA_ALONE_DICTIONARY;
    props.lc = 3;
    props.lp = 0;
    props.pb = 2;
    props.writeEndMark = 0;
    props.numThreads = 1;

    SizeT header_size = LZMA_PROPS_SIZE;
    stream.assign(LZMA_PROPS_SIZE, 0);
    SRes res = LzmaEnc_SetProps(encoder, &props);
    if (res == SZ_OK)
        res = LzmaEnc_WriteProperties(encoder, stream.data(), &header_size);
    if (res == SZ_OK) {
        uint64_t size = data.size();
        for (int i = 0; i < 8; i++)
            stream.push_back((unsigned char)(size >> (8 * i)));
        stream.reserve(LZMA_PROPS_SIZE + 8 + data.size() / 2 + 64);
        MemoryIn in = {{read_memory}, &data, 0};
        MemoryOut out = {{write_memory}, &stream};
        res = LzmaEnc_Encode(encoder, &out.stream, &in.stream, NULL,
                             &sdk_allocator, &sdk_allocator);
    }
    LzmaEnc_Destroy(encoder, &sdk_allocator, &sdk_allocator);

    if (res != SZ_OK) {
        error = res == SZ_ERROR_MEM ? "out of memory"
                                    : "LZMA encoder error " + std::to_string(res);
        return -1;
    }
    return 0;
}

void compress_all(const std::vector<const Bytes *> &inputs,
                  std::vector<Bytes> &streams, std::vector<std::string> &errors)
{
    streams.assign(inputs.size(), Bytes());
    errors.assign(inputs.size(), std::string());

    // Largest first, so that the longest job never starts last.
    std::vector<size_t> order(inputs.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return inputs[a]->size() > inputs[b]->size();
    });

    std::atomic<size_t> next(0);
    auto worker = [&]() {
        for (size_t k = next++; k < order.size(); k = next++) {
            size_t i = order[k];
            compress_lzma_alone(*inputs[i], streams[i], errors[i]);
        }
    };

    size_t cores = std::thread::hardware_concurrency();
    size_t count = std::min(inputs.size(), cores == 0 ? 1 : (size_t)cores);
    std::vector<std::thread> workers;
    for (size_t i = 1; i < count; i++)
        workers.emplace_back(worker);
    worker();
    for (std::thread &t : workers)
        t.join();
}
