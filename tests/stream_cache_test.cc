// The stream cache, from outside: a warm pack gives the same launcher as a
// cold one and takes its streams from the cache, a damaged entry is
// compressed again, packers share one cache, the cache keeps to its bound,
// and a cache that cannot be written never fails a pack.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "pack/lzma_alone.h"
#include "sfx.h"
#include "cache/stream_cache.h"

namespace {

Bytes bytes_of(const std::string &text) { return Bytes(text.begin(), text.end()); }

std::string entry_name(const std::string &content, int level = LZMA_LEVEL_BEST)
{
    CacheKey key;
    cache_key(encoder_settings_text(level), bytes_of(content), key);
    return sha256_hex(key.digest) + ".lzma";
}

class StreamCacheTest : public TargetTest {
protected:
    ScratchDir scratch;
    std::string cache;
    std::vector<std::string> inputs;

    void SetUp() override
    {
        cache = scratch / "cache";
        write_text(scratch / "data", pseudo_random_bytes(64 << 10, 3) + std::string(64 << 10, 'x'));
        inputs = {fixture_path(target(), "probe"), fixture_path(target(), "libprobe.so"),
                  scratch / "data"};
    }

    RunResult pack_with(const std::string &output, const std::vector<std::string> &env,
                        const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> argv = {sfxpack_path(), "--target", target(), "-o", output};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(), inputs.begin(), inputs.end());
        RunOptions options;
        options.set_env = env;
        return run_process(argv, options);
    }

    std::string cold_launcher()
    {
        EXPECT_EQ(pack_with(scratch / "cold", {}, {"--no-cache"}).exit_code, 0);
        return read_text(scratch / "cold");
    }
};

TEST_P(StreamCacheTest, WarmPackIsTheColdLauncherAndUsesTheCache)
{
    std::string cold = cold_launcher();
    EXPECT_TRUE(list_dir(cache).empty()) << "--no-cache kept streams";
    ASSERT_EQ(pack_with(scratch / "first", {"SFXPACK_CACHE=" + cache}).exit_code, 0);
    EXPECT_EQ(list_dir(cache).size(), 3u);
    RunResult warm = pack_with(scratch / "warm", {"SFXPACK_CACHE=" + cache});
    ASSERT_EQ(warm.exit_code, 0) << warm.err;
    EXPECT_EQ(warm.err, "");
    EXPECT_TRUE(read_text(scratch / "first") == cold);
    EXPECT_TRUE(read_text(scratch / "warm") == cold);

    // Data's stream as -0 makes it, kept under -9's key: a pack that reads
    // the cache carries those other bytes, which still unpack to data.
    StreamCache planted;
    planted.dir = cache;
    planted.writable = true;
    std::string data = read_text(scratch / "data");
    CacheKey key;
    cache_key(encoder_settings_text(LZMA_LEVEL_BEST), bytes_of(data), key);
    Bytes stream;
    std::string error;
    ASSERT_EQ(compress_lzma_alone(bytes_of(data), stream, error, LZMA_LEVEL_FASTEST), 0);
    cache_store(planted, key, stream);
    ASSERT_EQ(pack_with(scratch / "planted", {"SFXPACK_CACHE=" + cache}).exit_code, 0);
    std::string launcher = read_text(scratch / "planted");
    EXPECT_NE(launcher.find(std::string(stream.begin(), stream.end())), std::string::npos);
    ASSERT_EQ(run_process({scratch / "planted", "@unpack"}, {{}, {}, scratch.path}).exit_code, 0);
    EXPECT_TRUE(read_text(scratch / "probe/data") == data);
}

// An entry file copied over another's, with the key and the stream's digest
// made to match: sound as an entry, but another input's stream. Packed from
// the cache, the launcher would unpack the other file.
TEST_P(StreamCacheTest, AnotherInputsStreamIsCompressedAgainNeverUsed)
{
    std::string cold = cold_launcher();
    // As long as data, so that only its bytes tell the two apart.
    std::string other = pseudo_random_bytes(read_text(scratch / "data").size(), 11);
    write_text(scratch / "other", other);
    RunOptions options;
    options.set_env = {"SFXPACK_CACHE=" + cache};
    ASSERT_EQ(run_process({sfxpack_path(), "--target", target(), "-o", scratch / "one",
                           scratch / "other"}, options).exit_code, 0);
    ASSERT_EQ(pack_with(scratch / "first", {"SFXPACK_CACHE=" + cache}).exit_code, 0);

    std::string data_entry = cache + "/" + entry_name(read_text(scratch / "data"));
    std::string forged = read_text(cache + "/" + entry_name(other));
    std::string own = read_text(data_entry);
    ASSERT_GT(forged.size(), 80u);
    forged.replace(8, 32, own.substr(8, 32));  // the key
    uint64_t length = 0;
    for (int i = 7; i >= 0; i--)
        length = length << 8 | (unsigned char)forged[72 + (size_t)i];
    ASSERT_LE(80 + length, forged.size());
    unsigned char digest[SHA256_SIZE];
    sha256(forged.data() + 80, (size_t)length, digest);
    forged.replace(40, 32, (const char *)digest, SHA256_SIZE);
    write_text(data_entry, forged);

    RunResult r = pack_with(scratch / "again", {"SFXPACK_CACHE=" + cache});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_text(scratch / "again") == cold);
    ASSERT_EQ(run_process({scratch / "again", "@unpack"}, {{}, {}, scratch.path}).exit_code, 0);
    EXPECT_TRUE(read_text(scratch / "probe/data") == read_text(scratch / "data"));
}

TEST_P(StreamCacheTest, DamagedEntriesAreCompressedAgainNeverUsed)
{
    std::string cold = cold_launcher();
    ASSERT_EQ(pack_with(scratch / "first", {"SFXPACK_CACHE=" + cache}).exit_code, 0);
    std::string data = cache + "/" + entry_name(read_text(scratch / "data"));
    std::string library = cache + "/" + entry_name(read_text(inputs[1]));
    std::string entry = read_text(data);
    entry[entry.size() / 2] ^= 0x20;
    write_text(data, entry);
    write_text(library, read_text(library).substr(0, 100));

    RunResult r = pack_with(scratch / "again", {"SFXPACK_CACHE=" + cache});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_text(scratch / "again") == cold);
    // Both were replaced by sound entries.
    StreamCache check;
    check.dir = cache;
    for (const std::string &input : {scratch / "data", inputs[1]}) {
        CacheKey key;
        cache_key(encoder_settings_text(LZMA_LEVEL_BEST), bytes_of(read_text(input)), key);
        Bytes stream;
        EXPECT_EQ(cache_load(check, key, stream), 0) << input;
    }
}

TEST_P(StreamCacheTest, ConcurrentPackersShareOneCache)
{
    std::string cold = cold_launcher();
    std::vector<Started> started;
    RunOptions options;
    options.set_env = {"SFXPACK_CACHE=" + cache};
    for (int i = 0; i < 6; i++) {
        std::vector<std::string> argv = {sfxpack_path(), "--target", target(), "-o",
                                         scratch / ("out" + std::to_string(i))};
        argv.insert(argv.end(), inputs.begin(), inputs.end());
        started.push_back(start_process(argv, options, scratch.path));
    }
    for (size_t i = 0; i < started.size(); i++) {
        RunResult r = wait_process(started[i]);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(read_text(scratch / ("out" + std::to_string(i))) == cold) << i;
    }
    // One sound entry per input and no temporary file left over.
    std::vector<std::string> expected;
    for (const std::string &input : inputs)
        expected.push_back(entry_name(read_text(input)));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir(cache), expected);
    // Each name is that of its own input's entry, whatever the key's recipe:
    // the entry ends with the size and SHA-256 of the input it was made from.
    for (const std::string &input : inputs) {
        std::string content = read_text(input);
        std::string entry = read_text(cache + "/" + entry_name(content));
        ASSERT_GT(entry.size(), 40u) << input;
        unsigned char digest[SHA256_SIZE];
        sha256(content.data(), content.size(), digest);
        EXPECT_EQ(entry.substr(entry.size() - SHA256_SIZE),
                  std::string((const char *)digest, SHA256_SIZE)) << input;
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--)
            size = size << 8 | (unsigned char)entry[entry.size() - 40 + (size_t)i];
        EXPECT_EQ(size, content.size()) << input;
    }
    ASSERT_EQ(pack_with(scratch / "warm", {"SFXPACK_CACHE=" + cache}).exit_code, 0);
    EXPECT_TRUE(read_text(scratch / "warm") == cold);
}

TEST_P(StreamCacheTest, KeepsToItsBoundDroppingTheLeastRecentlyUsed)
{
    // Each input packed alone, so that the order of use is known.
    auto pack_one = [&](size_t i, const std::string &max) {
        RunOptions options;
        options.set_env = {"SFXPACK_CACHE=" + cache, "SFXPACK_CACHE_MAX=" + max};
        RunResult r = run_process({sfxpack_path(), "--target", target(), "-o",
                                   scratch / "one", inputs[i]}, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
    };
    std::string probe = cache + "/" + entry_name(read_text(inputs[0]));
    std::string library = cache + "/" + entry_name(read_text(inputs[1]));
    std::string data = cache + "/" + entry_name(read_text(inputs[2]));
    pack_one(2, "1G");
    pack_one(1, "1G");
    pack_one(0, "1G");
    uint64_t total = 0;
    for (const std::string &entry : {probe, library, data}) {
        struct stat st;
        ASSERT_EQ(stat(entry.c_str(), &st), 0);
        total += (uint64_t)st.st_size;
    }
    pack_one(2, "1G");  // used again: now the library is the oldest
    // The probe's stream kept anew goes one byte over the bound.
    ASSERT_EQ(unlink(probe.c_str()), 0);
    pack_one(0, std::to_string(total - 1));
    EXPECT_FALSE(file_exists(library));
    EXPECT_TRUE(file_exists(probe));
    EXPECT_TRUE(file_exists(data));
}

// Where the cache cannot be written: under a regular file, on a read-only
// file system, on a full one. The pack succeeds, warns once, and writes the
// launcher it would write without the cache.
struct Unwritable {
    const char *what;
    const char *setup;  // shell commands run in a private mount namespace; $C is the cache
};

void PrintTo(const Unwritable &u, std::ostream *os) { *os << u.what; }

class UnwritableCache : public ::testing::TestWithParam<Unwritable> {};

TEST_P(UnwritableCache, WarnsOnceAndPacksWithoutIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    ScratchDir scratch;
    write_text(scratch / "file", "");
    write_text(scratch / "data", pseudo_random_bytes(64 << 10, 5));
    std::vector<std::string> files = {fixture_path("x86_64", "probe"),
                                      fixture_path("x86_64", "libprobe.so"), scratch / "data"};
    std::string packing = "\"$P\" -o \"$O\" \"$1\" \"$2\" \"$3\"";
    std::string body = std::string(GetParam().setup) + " && " + packing;
    RunOptions options;
    options.set_env = {"P=" + sfxpack_path(), "O=" + (scratch / "out"),
                       "C=" + (scratch / "c"), "F=" + (scratch / "file")};
    std::vector<std::string> argv = {"unshare", "-m", "--propagation", "private",
                                     "sh", "-c", body, "sh"};
    argv.insert(argv.end(), files.begin(), files.end());
    RunResult r = run_process(argv, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind("sfxpack: warning: ", 0), 0u) << r.err;
    EXPECT_NE(lines[0].find("cache"), std::string::npos) << r.err;

    std::vector<std::string> plain = {sfxpack_path(), "--no-cache", "-o", scratch / "plain"};
    plain.insert(plain.end(), files.begin(), files.end());
    ASSERT_EQ(run_process(plain).exit_code, 0);
    EXPECT_TRUE(read_text(scratch / "out") == read_text(scratch / "plain"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnwritableCache,
    ::testing::Values(
        Unwritable{"under_a_file", "export SFXPACK_CACHE=\"$F/cache\""},
        Unwritable{"read_only", "mkdir \"$C\" && mount -t tmpfs -o ro sfxtest \"$C\" && "
                                "export SFXPACK_CACHE=\"$C\""},
        Unwritable{"full", "mkdir \"$C\" && mount -t tmpfs -o size=16k sfxtest \"$C\" && "
                           "export SFXPACK_CACHE=\"$C\""}),
    [](const auto &info) { return std::string(info.param.what); });

INSTANTIATE_FOR_TARGETS(StreamCacheTest);

}  // namespace
