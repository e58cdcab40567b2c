// The manifest's byte format, read as a hostile file would present it.
#include <string.h>

#include <gtest/gtest.h>

#include "format/manifest.h"
#include "sys/sha256.h"

namespace {

int decode(const std::string &bytes, Manifest &manifest, std::string &error)
{
    return decode_manifest((const unsigned char *)bytes.data(), bytes.size(),
                           manifest, error);
}

Manifest sample()
{
    Manifest manifest;
    manifest.version = "13.0.0";
    memset(manifest.code_sha256, 0xc3, SHA256_SIZE);
    manifest.entries.resize(2);
    manifest.entries[0].name = "prog";
    manifest.entries[0].size = 77;
    manifest.entries[0].glibc = "GLIBC_2.34";
    manifest.entries[1].size = (uint64_t)2 << 32;
    memset(manifest.entries[1].sha256, 0xa1, SHA256_SIZE);
    memset(manifest.entries[1].stored_sha256, 0xb2, SHA256_SIZE);
    manifest.tree = true;
    memset(manifest.unpack_once_id, 0x5a, SHA256_SIZE);
    manifest.environment = {"PATH=$ORIGIN/bin", "X="};
    manifest.entries[0].mode = 0700;
    manifest.entries[1].kind = 2;
    manifest.entries[1].link = 0x01020304;
    manifest.entries[1].target = "prog";
    return manifest;
}

std::string sample_bytes() { return encode_manifest(sample()); }

// The entries as formats 1 to 3 lay them out, count first.
std::string entries_bytes()
{
    return std::string("\2\0\0\0", 4) + std::string("\4\0\0\0prog\x4d\0\0\0\0\0\0\0", 16) +
           std::string(2 * SHA256_SIZE, '\0') + std::string("\12\0\0\0GLIBC_2.34", 14) +
           std::string("\0\0\0\0\0\0\0\0\2\0\0\0", 12) + std::string(SHA256_SIZE, '\xa1') +
           std::string(SHA256_SIZE, '\xb2') + std::string(4, '\0');
}

// The bytes with their own SHA-256 after them.
std::string digested(std::string bytes)
{
    unsigned char digest[SHA256_SIZE];
    sha256(bytes.data(), bytes.size(), digest);
    return bytes.append((const char *)digest, SHA256_SIZE);
}

TEST(ManifestFormat, HasTheFixedLayoutAndReadsBack)
{
    std::string expected = digested(
        std::string("SFXMAN4\0\6\0\0\0" "13.0.0", 18) + std::string(SHA256_SIZE, '\xc3') +
        std::string("\1", 1) + std::string(SHA256_SIZE, '\x5a') +
        std::string("\2\0\0\0\20\0\0\0PATH=$ORIGIN/bin\2\0\0\0X=", 30) +
        std::string("\2\0\0\0", 4) + std::string("\4\0\0\0prog\x4d\0\0\0\0\0\0\0", 16) +
        std::string(2 * SHA256_SIZE, '\0') + std::string("\12\0\0\0GLIBC_2.34", 14) +
        std::string("\0\0\0\0\xc0\1\0\0\0\0\0\0\0\0\0\0", 16) +
        std::string("\0\0\0\0\0\0\0\0\2\0\0\0", 12) + std::string(SHA256_SIZE, '\xa1') +
        std::string(SHA256_SIZE, '\xb2') + std::string(4, '\0') +
        std::string("\2\0\0\0\0\0\0\0\4\3\2\1\4\0\0\0prog", 20));
    ASSERT_EQ(sample_bytes(), expected);
    Manifest out;
    std::string error;
    ASSERT_EQ(decode(expected, out, error), 0) << error;
    ASSERT_EQ(out.entries.size(), 2u);
    EXPECT_EQ(out.format, 4);
    EXPECT_TRUE(out.tree);
    EXPECT_EQ(out.unpack_once_id[31], 0x5a);
    EXPECT_EQ(out.environment, sample().environment);
    EXPECT_EQ(out.entries[0].mode, 0700u);
    EXPECT_EQ(out.entries[1].kind, 2u);
    EXPECT_EQ(out.entries[1].link, 0x01020304u);
    EXPECT_EQ(out.entries[1].target, "prog");
    EXPECT_EQ(out.version, "13.0.0");
    EXPECT_EQ(out.code_sha256[0], 0xc3);
    EXPECT_EQ(out.entries[0].name, "prog");
    EXPECT_EQ(out.entries[1].size, (uint64_t)2 << 32);
    EXPECT_EQ(out.entries[1].sha256[31], 0xa1);
    EXPECT_EQ(out.entries[1].stored_sha256[0], 0xb2);
    EXPECT_EQ(out.entries[0].glibc, "GLIBC_2.34");
}

// Formats 2 (whose code digest took in the whole ELF header) and 3, of
// flat launchers only, still read, their own digest checked: a flat
// payload without --env records.
TEST(ManifestFormat, ReadsFormats2And3)
{
    for (char format : {'2', '3'}) {
        std::string older = digested(std::string("SFXMAN") + format +
                                     std::string("\0\6\0\0\0" "13.0.0", 11) +
                                     std::string(SHA256_SIZE, '\xc3') + entries_bytes());
        Manifest out;
        std::string error;
        ASSERT_EQ(decode(older, out, error), 0) << error;
        EXPECT_EQ(out.format, format - '0');
        EXPECT_EQ(out.code_sha256[31], 0xc3);
        EXPECT_FALSE(out.tree);
        EXPECT_TRUE(out.environment.empty());
        ASSERT_EQ(out.entries.size(), 2u);
        EXPECT_EQ(out.entries[1].stored_sha256[0], 0xb2);
        EXPECT_EQ(out.entries[1].kind, 0u);
        EXPECT_EQ(out.entries[1].mode, 0u);
        older[20] ^= 1;
        EXPECT_EQ(decode(older, out, error), -1);
        EXPECT_EQ(error, "manifest's bytes do not match its own SHA-256");
    }
}

// Launchers of an older sfxpack still read: their manifest has neither
// digest.
TEST(ManifestFormat, ReadsTheOlderFormat)
{
    std::string older = std::string("SFXMAN1\0\6\0\0\0" "13.0.0", 18) + entries_bytes();
    Manifest out;
    std::string error;
    ASSERT_EQ(decode(older, out, error), 0) << error;
    EXPECT_EQ(out.format, 1);
    ASSERT_EQ(out.entries.size(), 2u);
    EXPECT_EQ(out.entries[0].glibc, "GLIBC_2.34");
    EXPECT_EQ(out.entries[1].stored_sha256[0], 0xb2);
}

// Every cut, a trailing byte, lengths that point past the end and any flip
// are refused with a one-line reason; the cut copies sit in exactly sized
// buffers, so the sanitizer build sees any read past them.
TEST(ManifestFormat, RefusesCutOverlongAndFlippedSections)
{
    std::string bytes = sample_bytes(), error;
    Manifest out;
    for (size_t cut = 0; cut < bytes.size(); cut++) {
        std::vector<unsigned char> part(bytes.begin(), bytes.begin() + (long)cut);
        EXPECT_EQ(decode_manifest(part.data(), part.size(), out, error), -1) << cut;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    for (size_t at = 0; at < bytes.size(); at++) {
        std::string bad = bytes;
        bad[at] = (char)(bad[at] ^ (1 << (at % 8)));
        EXPECT_EQ(decode(bad, out, error), -1) << at;
    }
    EXPECT_EQ(decode(bytes + '\0', out, error), -1);
    // With its own digest right, a tree flag other than 0 or 1 and counts
    // past the end are still refused.
    std::string body = bytes.substr(0, bytes.size() - SHA256_SIZE);
    std::string flag = body;
    flag[18 + SHA256_SIZE] = 2;
    EXPECT_EQ(decode(digested(flag), out, error), -1);
    EXPECT_EQ(error, "manifest tree flag is 2, not 0 or 1");
    const size_t env_at = 18 + 2 * (size_t)SHA256_SIZE + 1;
    for (size_t at : {env_at, env_at + 4, env_at + 24, env_at + 30,
                      bytes.size() - SHA256_SIZE - 8}) {
        std::string bad = body;
        memcpy(&bad[at], "\xff\xff\xff\x7f", 4);
        EXPECT_EQ(decode(digested(bad), out, error), -1) << at;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    // The older format has no digest to fail: its lengths are checked.
    std::string older = std::string("SFXMAN1\0\6\0\0\0" "13.0.0", 18) + entries_bytes();
    for (size_t at : {(size_t)8, (size_t)18, (size_t)22}) {
        std::string bad = older;
        memcpy(&bad[at], "\xff\xff\xff\xff", 4);
        EXPECT_EQ(decode(bad, out, error), -1) << at;
    }
    EXPECT_EQ(decode(older + '\0', out, error), -1);
}

}  // namespace
