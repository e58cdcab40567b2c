// Decoding stored streams through real launchers: round trips at the sizes
// where the 4096-byte decode chunk changes behaviour, and every way a stored
// stream can be bad.
#include <sys/stat.h>

#include "pack/lzma_alone.h"
#include "sfx.h"

extern "C" {
#include "LzmaEnc.h"
}

namespace {

void *sdk_alloc(void *, size_t size) { return malloc(size); }
void sdk_free(void *, void *p) { free(p); }
ISzAlloc sdk_allocator = {sdk_alloc, sdk_free};

// An LZMA-Alone stream with lc, lp and pb 0, so that its first byte is 0.
std::string compressed_with_properties_0(const std::string &data)
{
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.lc = props.lp = props.pb = 0;
    props.dictSize = 1 << 16;
    std::string out(data.size() + data.size() / 2 + 1024, '\0');
    SizeT out_size = out.size(), props_size = LZMA_PROPS_SIZE;
    Byte header[LZMA_PROPS_SIZE];
    SRes res = LzmaEncode((Byte *)&out[0], &out_size, (const Byte *)data.data(), data.size(),
                          &props, header, &props_size, 0, NULL, &sdk_allocator,
                          &sdk_allocator);
    EXPECT_EQ(res, SZ_OK);
    std::string size_field;
    for (int i = 0; i < 8; i++)
        size_field += (char)((uint64_t)data.size() >> (8 * i));
    return std::string((const char *)header, LZMA_PROPS_SIZE) + size_field +
           out.substr(0, out_size);
}

class RoundTrip : public TargetTest {};

TEST_P(RoundTrip, UnpackGivesBackEveryFileByteForByte)
{
    ScratchDir scratch;
    std::vector<size_t> sizes = {0, 1, 4095, 4096, 4097, 3 * (size_t)4096, 1000003};
    std::vector<std::string> args = {fixture_path(target(), "probe")};
    for (size_t size : sizes) {
        std::string name = "size" + std::to_string(size);
        write_text(scratch / name, pseudo_random_bytes(size, (unsigned)size));
        args.push_back(scratch / name);
    }
    write_text(scratch / "text", std::string(200000, 'a') + "tail");
    args.push_back(scratch / "text");
    std::string launcher = pack(target(), scratch / "launcher", args);

    ScratchDir cwd;
    RunOptions options;
    options.cwd = cwd.path;
    RunResult r = run_launcher(launcher, {"@unpack"}, scratch.path, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    std::string dir = cwd / "probe";
    EXPECT_EQ(file_mode(dir), 0700u);
    EXPECT_EQ(file_mode(dir + "/probe"), 0700u);
    EXPECT_EQ(read_text(dir + "/probe"), read_text(fixture_path(target(), "probe")));
    for (size_t size : sizes) {
        std::string name = "size" + std::to_string(size);
        EXPECT_EQ(read_text(dir + "/" + name), read_text(scratch / name)) << name;
        EXPECT_EQ(file_mode(dir + "/" + name), 0644u) << "0666 less the umask 022";
    }
    EXPECT_EQ(read_text(dir + "/text"), read_text(scratch / "text"));
}

TEST_P(RoundTrip, OtherEntriesFollowTheUmask)
{
    ScratchDir scratch;
    write_text(scratch / "data", "x");
    std::string launcher =
        pack(target(), scratch / "launcher", {fixture_path(target(), "probe"), scratch / "data"});
    ScratchDir cwd;
    std::string command = "umask 077 && cd " + cwd.path + " && " + launcher + " @unpack";
    RunResult r = run_process({"sh", "-c", command});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(file_mode(cwd / "probe/data"), 0600u);
    EXPECT_EQ(file_mode(cwd / "probe/probe"), 0700u);
}

// A stream whose properties byte is 0 (lc, lp and pb all 0) would lose that
// byte to the launcher's leading-zero rule, so sfxpack stores one more zero
// byte in front of it, counted in the entry's stored size.
TEST_P(RoundTrip, StreamWithOneLeadingZeroByteUnpacks)
{
    ScratchDir scratch;
    std::string data = pseudo_random_bytes(10000, 5) + "payload bytes";
    std::string stream = compressed_with_properties_0(data);
    ASSERT_EQ(stream[0], '\0');
    write_text(scratch / "stream", stream);
    std::string launcher = pack(target(), scratch / "launcher",
                                {fixture_path(target(), "probe"), "--stored", "--name",
                                 "padded", scratch / "stream"});
    RunResult listed = run_launcher(launcher, {"@list"}, scratch.path);
    EXPECT_NE(listed.out.find(" " + std::to_string(stream.size() + 1) + " padded\n"),
              std::string::npos) << listed.out;
    ScratchDir cwd;
    RunOptions options;
    options.cwd = cwd.path;
    RunResult r = run_launcher(launcher, {"@unpack"}, scratch.path, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(cwd / "probe/padded"), data);
}

INSTANTIATE_FOR_TARGETS(RoundTrip);

// A bad stored stream ends the run with 124 and exactly one message naming
// the entry; what was written before it is cleaned up as usual.
struct BadStream {
    const char *what;
    std::string (*make)();
    const char *message;
};

void PrintTo(const BadStream &b, std::ostream *os) { *os << b.what; }

std::string good_stream() { return compressed(pseudo_random_bytes(20000, 3)); }

std::string with_size(std::string s, uint64_t size)
{
    for (int i = 0; i < 8; i++)
        s[5 + (size_t)i] = (char)(size >> (8 * i));
    return s;
}

std::string header_with_size(uint64_t size) { return with_size(good_stream(), size); }

// A file of whole 4096-byte chunks: the last request is a full chunk, and
// the end of the stream must still be checked.
std::string whole_chunks_stream() { return compressed(pseudo_random_bytes(16384, 5)); }

std::string tail_flipped(size_t from_end)
{
    std::string s = whole_chunks_stream();
    s[s.size() - from_end] ^= 0x10;
    return s;
}

constexpr BadStream bad_streams[] = {
    {"empty", [] { return std::string(); }, "bad: too short\n"},
    {"one_zero_byte", [] { return std::string(1, '\0'); }, "bad: too short\n"},
    {"twelve_bytes", [] { return good_stream().substr(0, 12); }, "bad: too short\n"},
    {"four_bytes", [] { return std::string("\x5d\x00\x00\x00", 4); }, "bad: too short\n"},
    {"unknown_size", [] { return header_with_size(UINT64_MAX); }, "bad: too short\n"},
    {"properties_225",
     [] {
         std::string s = good_stream();
         s[0] = (char)225;
         return s;
     },
     "bad: unable to set LZMA decompression properties\n"},
    {"cut_short", [] { std::string s = good_stream(); return s.substr(0, s.size() / 2); },
     "bad: no data decompressed though some compressed data left\n"},
    {"header_only", [] { return good_stream().substr(0, 13); },
     "bad: no data decompressed though some compressed data left\n"},
    {"corrupt_range_coder",
     [] {
         std::string s = good_stream();
         s[13] = (char)0xff;  // the range coder's first byte is always 0
         return s;
     },
     "bad: invalid data\n"},
    {"size_larger_than_data", [] { return header_with_size(20001); },
     "bad: no data decompressed though some compressed data left\n"},
    {"size_smaller_than_data", [] { return header_with_size(19999); },
     "bad: invalid data\n"},
    {"whole_chunks_tail_flipped", [] { return tail_flipped(101); }, "bad: invalid data\n"},
    {"whole_chunks_last_byte_flipped", [] { return tail_flipped(1); }, "bad: input EOF\n"},
    {"whole_chunks_size_one_chunk", [] { return with_size(whole_chunks_stream(), 4096); },
     "bad: invalid data\n"},
};

class BadStoredStream : public ::testing::TestWithParam<std::tuple<std::string, BadStream>> {};

TEST_P(BadStoredStream, GivesOneMessageAndStatus124)
{
    const std::string &target = std::get<0>(GetParam());
    const BadStream &bad = std::get<1>(GetParam());
    ScratchDir scratch;
    write_text(scratch / "good", "first");
    write_text(scratch / "bad", bad.make());
    std::string launcher =
        pack(target, scratch / "launcher",
             {"--force", fixture_path(target, "probe"), scratch / "good", "--stored",
              scratch / "bad"});

    ScratchDir cwd;
    RunOptions options;
    options.cwd = cwd.path;
    RunResult r = run_launcher(launcher, {"@unpack"}, scratch.path, options);
    EXPECT_EQ(r.exit_code, 124);
    EXPECT_EQ(r.err, bad.message);
    EXPECT_EQ(read_text(cwd / "probe/good"), "first");
    EXPECT_TRUE(file_exists(cwd / "probe/bad"));
}

INSTANTIATE_TEST_SUITE_P(Cases, BadStoredStream,
                         ::testing::Combine(::testing::Values("x86_64", "i386"),
                                            ::testing::ValuesIn(bad_streams)),
                         [](const auto &info) {
                             return std::get<0>(info.param) + "_" +
                                    std::get<1>(info.param).what;
                         });

}  // namespace
