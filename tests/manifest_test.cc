// The manifest's byte format, read as a hostile file would present it.
#include <string.h>

#include <gtest/gtest.h>

#include "format/manifest.h"

namespace {

int decode(const std::string &bytes, Manifest &manifest, std::string &error)
{
    return decode_manifest((const unsigned char *)bytes.data(), bytes.size(),
                           manifest, error);
}

std::string sample_bytes()
{
    Manifest manifest = {"13.0.0",
                         {{"prog", 77, {}, {}, "GLIBC_2.34"}, {"", (uint64_t)2 << 32, {}, {}, ""}}};
    memset(manifest.entries[1].sha256, 0xa1, SHA256_SIZE);
    memset(manifest.entries[1].stored_sha256, 0xb2, SHA256_SIZE);
    return encode_manifest(manifest);
}

TEST(ManifestFormat, HasTheFixedLayoutAndReadsBack)
{
    std::string expected = std::string("SFXMAN1\0\6\0\0\0" "13.0.0" "\2\0\0\0", 22) +
                           std::string("\4\0\0\0prog\x4d\0\0\0\0\0\0\0", 16) +
                           std::string(2 * SHA256_SIZE, '\0') +
                           std::string("\12\0\0\0GLIBC_2.34", 14) +
                           std::string("\0\0\0\0\0\0\0\0\2\0\0\0", 12) +
                           std::string(SHA256_SIZE, '\xa1') +
                           std::string(SHA256_SIZE, '\xb2') + std::string(4, '\0');
    ASSERT_EQ(sample_bytes(), expected);
    Manifest out;
    std::string error;
    ASSERT_EQ(decode(expected, out, error), 0) << error;
    ASSERT_EQ(out.entries.size(), 2u);
    EXPECT_EQ(out.version, "13.0.0");
    EXPECT_EQ(out.entries[0].name, "prog");
    EXPECT_EQ(out.entries[1].size, (uint64_t)2 << 32);
    EXPECT_EQ(out.entries[1].sha256[31], 0xa1);
    EXPECT_EQ(out.entries[1].stored_sha256[0], 0xb2);
    EXPECT_EQ(out.entries[0].glibc, "GLIBC_2.34");
}

// Every cut, a trailing byte and lengths that point past the end are refused
// with a one-line reason; the cut copies sit in exactly sized buffers, so
// the sanitizer build sees any read past them.
TEST(ManifestFormat, RefusesCutAndOverlongSections)
{
    std::string bytes = sample_bytes(), error;
    Manifest out;
    for (size_t cut = 0; cut < bytes.size(); cut++) {
        std::vector<unsigned char> part(bytes.begin(), bytes.begin() + (long)cut);
        EXPECT_EQ(decode_manifest(part.data(), part.size(), out, error), -1) << cut;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    for (size_t at : {(size_t)6, (size_t)8, (size_t)18, (size_t)22}) {
        std::string bad = bytes;
        memcpy(&bad[at], at == 6 ? "2" : "\xff\xff\xff\xff", at == 6 ? 1 : 4);
        EXPECT_EQ(decode(bad, out, error), -1) << at;
    }
    EXPECT_EQ(decode(bytes + '\0', out, error), -1);
}

}  // namespace
