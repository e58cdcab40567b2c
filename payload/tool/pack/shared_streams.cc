#include "pack/shared_streams.h"

#include <map>
#include <string>

#include "payload.h"
#include "sys/sha256.h"

// Streams made alike from the same bytes are the same bytes: the stored
// bytes' digest finds --stored files and compressed ones alike.
void share_identical_streams(std::vector<PackedEntry> &entries)
{
    std::map<std::string, const Bytes *> first;
    for (PackedEntry &e : entries) {
        if (e.kind != TREE_FILE)
            continue;
        unsigned char digest[SHA256_SIZE];
        sha256(e.stream->data(), e.stream->size(), digest);
        auto found = first.emplace(std::string((const char *)digest, SHA256_SIZE), e.stream);
        e.stream = found.first->second;
    }
}
