#include "cache/stream_cache.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "format/stored_stream.h"
#include "payload.h"
#include "sys/write_file.h"
#include "sys/byte_order.h"
#include "sys/diagnostics.h"

// An entry: magic, the key it was stored under, the SHA-256 of the stream,
// the stream's length (64-bit little-endian), the stream; then the size and
// SHA-256 of the input it was made from. The stream's digest makes a
// truncated or damaged entry a miss rather than a broken launcher; the
// input's makes a sound stream of another file (a copied or renamed entry)
// a miss rather than a launcher that unpacks the wrong bytes.
static const char entry_magic[8] = {'s', 'f', 'x', 's', 't', 'r', 'm', '2'};
enum {
    ENTRY_HEADER = 8 + SHA256_SIZE + SHA256_SIZE + 8,
    ENTRY_TRAILER = 8 + SHA256_SIZE,
};
static const char entry_suffix[] = ".lzma";
static const char temp_prefix[] = ".tmp-";
// A temporary file this old belongs to a packer that died.
static const time_t stale_temp_seconds = (time_t)24 * 60 * 60;

static void warn_once(StreamCache &cache, const std::string &text)
{
    if (!cache.warned.exchange(true))
        print_warning(text);
}

int parse_cache_size(const std::string &text, uint64_t &bytes)
{
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        digits++;
    if (digits == 0 || digits > 18)
        return -1;
    uint64_t value = std::stoull(text.substr(0, digits));
    std::string unit = text.substr(digits);
    if (unit.size() == 3 && (unit.compare(1, 2, "iB") == 0))
        unit.resize(1);
    static const char units[] = "KMGT";
    int shift = 0;
    if (unit.size() == 1) {
        const char *at = strchr(units, toupper((unsigned char)unit[0]));
        if (at == nullptr)
            return -1;
        shift = 10 * (int)(at - units + 1);
    } else if (!unit.empty()) {
        return -1;
    }
    if (shift > 0 && value > (UINT64_MAX >> shift))
        return -1;
    bytes = value << shift;
    return 0;
}

// Makes dir and its parents. Returns 0, or -1 with errno set.
static int make_dirs(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        errno = ENOTDIR;
        return -1;
    }
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && make_dirs(dir.substr(0, slash)) != 0)
        return -1;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return -1;
    return 0;
}

static std::string cache_dir_from_environment()
{
    const char *given = getenv("SFXPACK_CACHE");
    if (given != nullptr && *given != '\0')
        return given;
    // A relative XDG_CACHE_HOME is to be ignored, as the base directory
    // convention says.
    const char *xdg = getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/sfxpack";
    const char *home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.cache/sfxpack";
    return std::string();
}

int open_stream_cache(StreamCache &cache)
{
    const char *max = getenv("SFXPACK_CACHE_MAX");
    if (max != nullptr && *max != '\0' && parse_cache_size(max, cache.max_bytes) != 0) {
        print_warning(std::string("SFXPACK_CACHE_MAX '") + max +
                      "' is not a size such as 500M or 2G; the cache keeps at most 1G");
        cache.max_bytes = CACHE_DEFAULT_MAX;
    }
    cache.dir = cache_dir_from_environment();
    if (cache.dir.empty()) {
        warn_once(cache, "no HOME, XDG_CACHE_HOME or SFXPACK_CACHE to keep compressed "
                         "streams in; packing without the cache");
        return -1;
    }
    if (make_dirs(cache.dir) != 0) {
        warn_once(cache, "cannot make the stream cache " + cache.dir + ": " +
                             strerror(errno) + "; packing without it");
        return -1;
    }
    cache.writable = access(cache.dir.c_str(), W_OK) == 0;
    if (!cache.writable)
        warn_once(cache, "cannot write to the stream cache " + cache.dir + ": " +
                             strerror(errno) + "; packing without keeping streams");
    return 0;
}

void cache_key(const std::string &settings, uint64_t input_size,
               const unsigned char input_sha256[SHA256_SIZE], CacheKey &key)
{
    Sha256 digest;
    std::string head = "sfxpack stream\n" + settings + "\n";
    digest.update(head.data(), head.size());
    unsigned char size[8];
    write_le(size, input_size, sizeof size);
    digest.update(size, sizeof size);
    digest.update(input_sha256, SHA256_SIZE);
    digest.finish(key.digest);
    key.input_size = input_size;
    memcpy(key.input_sha256, input_sha256, SHA256_SIZE);
    key.dictionary = LZMA_ALONE_DICTIONARY;
}

void cache_key(const std::string &settings, const Bytes &input, CacheKey &key)
{
    unsigned char input_sha256[SHA256_SIZE];
    sha256(input.data(), input.size(), input_sha256);
    cache_key(settings, input.size(), input_sha256, key);
}

static std::string entry_path(const StreamCache &cache, const CacheKey &key)
{
    return cache.dir + "/" + sha256_hex(key.digest) + entry_suffix;
}

static int read_whole(int fd, Bytes &data)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    data.resize((size_t)st.st_size);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

// The header every level writes, for an input of input_size bytes.
static bool stream_header_fits(const unsigned char *stream, uint64_t length,
                               uint64_t input_size, uint32_t dictionary)
{
    if (length < LZMA_ALONE_HEADER_SIZE || stream[0] != LZMA_ALONE_PROPERTIES)
        return false;
    return lzma_alone_dictionary(stream) == dictionary &&
           lzma_alone_unpacked_size(stream) == input_size;
}

int cache_load(const StreamCache &cache, const CacheKey &key, Bytes &stream)
{
    int fd = open(entry_path(cache, key).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    Bytes entry;
    int failed = read_whole(fd, entry);
    // Used now, so the last to go when the cache is trimmed.
    if (!failed)
        futimens(fd, nullptr);
    close(fd);
    if (failed || entry.size() < ENTRY_HEADER ||
        memcmp(entry.data(), entry_magic, 8) != 0 ||
        memcmp(entry.data() + 8, key.digest, SHA256_SIZE) != 0)
        return -1;
    const unsigned char *recorded = entry.data() + 8 + SHA256_SIZE;
    uint64_t length = read_le(recorded + SHA256_SIZE, 8);
    if (entry.size() - ENTRY_HEADER < ENTRY_TRAILER ||
        length != entry.size() - ENTRY_HEADER - ENTRY_TRAILER)
        return -1;
    const unsigned char *begin = entry.data() + ENTRY_HEADER;
    unsigned char actual[SHA256_SIZE];
    sha256(begin, length, actual);
    if (memcmp(actual, recorded, SHA256_SIZE) != 0)
        return -1;
    const unsigned char *trailer = begin + length;
    if (read_le(trailer, 8) != key.input_size ||
        memcmp(trailer + 8, key.input_sha256, SHA256_SIZE) != 0 ||
        !stream_header_fits(begin, length, key.input_size, key.dictionary))
        return -1;
    stream.assign(begin, begin + length);
    return 0;
}

void cache_store(StreamCache &cache, const CacheKey &key, const Bytes &stream)
{
    if (!cache.writable)
        return;
    static std::atomic<unsigned> serial(0);
    std::string final_path = entry_path(cache, key);
    std::string temp = cache.dir + "/" + temp_prefix + std::to_string(getpid()) + "-" +
                       std::to_string(serial++) + "-" + sha256_hex(key.digest);
    unsigned char header[ENTRY_HEADER];
    memcpy(header, entry_magic, 8);
    memcpy(header + 8, key.digest, SHA256_SIZE);
    sha256(stream.data(), stream.size(), header + 8 + SHA256_SIZE);
    write_le(header + 8 + SHA256_SIZE + SHA256_SIZE, stream.size(), 8);
    unsigned char trailer[ENTRY_TRAILER];
    write_le(trailer, key.input_size, 8);
    memcpy(trailer + 8, key.input_sha256, SHA256_SIZE);

    // Another packer may be reading or writing the same entry: it sees the
    // old file or the new one whole, never a part, since only rename puts a
    // name on it.
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    int failed = fd < 0 || write_all(fd, header, sizeof header) != 0 ||
                 write_all(fd, stream.data(), stream.size()) != 0 ||
                 write_all(fd, trailer, sizeof trailer) != 0;
    int saved = errno;
    if (fd >= 0 && close(fd) != 0 && !failed) {
        failed = 1;
        saved = errno;
    }
    if (!failed && rename(temp.c_str(), final_path.c_str()) != 0) {
        failed = 1;
        saved = errno;
    }
    if (failed) {
        if (fd >= 0)
            unlink(temp.c_str());
        cache.writable = false;
        warn_once(cache, "cannot keep a stream in the cache " + cache.dir + ": " +
                             strerror(saved) + "; packing on without keeping streams");
        return;
    }
    cache.stored = true;
}

struct CachedFile {
    std::string path;
    uint64_t size;
    struct timespec used;
};

static bool is_entry_name(const std::string &name)
{
    size_t suffix = sizeof entry_suffix - 1;
    size_t hex_digits = 2 * (size_t)SHA256_SIZE;
    return name.size() == hex_digits + suffix &&
           name.compare(hex_digits, suffix, entry_suffix) == 0 &&
           name.find_first_not_of("0123456789abcdef") == hex_digits;
}

void trim_stream_cache(StreamCache &cache)
{
    // Only a pack that stored something can have pushed it over the bound.
    if (!cache.stored)
        return;
    DIR *dir = opendir(cache.dir.c_str());
    if (dir == nullptr)
        return;
    std::vector<CachedFile> files;
    uint64_t total = 0;
    time_t now = time(nullptr);
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        std::string path = cache.dir + "/" + name;
        struct stat st;
        bool temp = name.compare(0, sizeof temp_prefix - 1, temp_prefix) == 0;
        if ((!temp && !is_entry_name(name)) || lstat(path.c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        if (temp) {
            if (now - st.st_mtime > stale_temp_seconds)
                unlink(path.c_str());
            continue;
        }
        files.push_back({path, (uint64_t)st.st_size, st.st_mtim});
        total += (uint64_t)st.st_size;
    }
    closedir(dir);
    if (total <= cache.max_bytes)
        return;
    std::sort(files.begin(), files.end(), [](const CachedFile &a, const CachedFile &b) {
        if (a.used.tv_sec != b.used.tv_sec)
            return a.used.tv_sec < b.used.tv_sec;
        return a.used.tv_nsec < b.used.tv_nsec;
    });
    // Another packer trimming at the same time may have removed some already.
    for (const CachedFile &f : files) {
        if (total <= cache.max_bytes)
            break;
        unlink(f.path.c_str());
        total -= f.size;
    }
}
