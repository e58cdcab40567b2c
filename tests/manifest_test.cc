// The manifest's byte format, read as a hostile file would present it.
#include <string.h>

#include <gtest/gtest.h>

#include "manifest.h"

namespace {

Manifest sample_manifest()
{
    Manifest manifest;
    manifest.version = "13.0.0";
    const char *names[] = {"prog", "libfoo.so.1", ""};
    for (int i = 0; i < 3; i++) {
        ManifestEntry entry;
        entry.name = names[i];
        entry.size = (uint64_t)i << 33 | 77;
        memset(entry.sha256, 0xa0 + i, SHA256_SIZE);
        manifest.entries.push_back(entry);
    }
    return manifest;
}

int decode(const std::string &bytes, Manifest &manifest, std::string &error)
{
    return decode_manifest((const unsigned char *)bytes.data(), bytes.size(),
                           manifest, error);
}

TEST(ManifestFormat, RoundTripsAndHasTheFixedLayout)
{
    Manifest in = sample_manifest(), out;
    std::string bytes = encode_manifest(in), error;
    ASSERT_EQ(bytes.size(), 8 + 4 + 6 + 4 + (4 + 4) + (4 + 11) + (4 + 0) + 3 * 40);
    EXPECT_EQ(bytes.substr(0, 18), std::string("SFXMAN1\0\6\0\0\0" "13.0.0", 18));
    // The second entry's size, little-endian, after its name.
    EXPECT_EQ(bytes.substr(8 + 4 + 6 + 4 + 4 + 4 + 40 + 4 + 11, 8),
              std::string("\x4d\0\0\0\2\0\0\0", 8));
    ASSERT_EQ(decode(bytes, out, error), 0) << error;
    EXPECT_EQ(out.version, in.version);
    ASSERT_EQ(out.entries.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(out.entries[i].name, in.entries[i].name);
        EXPECT_EQ(out.entries[i].size, in.entries[i].size);
        EXPECT_EQ(memcmp(out.entries[i].sha256, in.entries[i].sha256, SHA256_SIZE), 0);
    }
}

// Every cut, a trailing byte and lengths that point past the end are
// refused with a reason, reading nothing beyond the given size (the cut
// copies sit in exactly sized buffers for the sanitizer build to watch).
TEST(ManifestFormat, RefusesCutAndOverlongSections)
{
    std::string bytes = encode_manifest(sample_manifest()), error;
    Manifest out;
    for (size_t cut = 0; cut < bytes.size(); cut++) {
        std::vector<unsigned char> part(bytes.begin(), bytes.begin() + (long)cut);
        error.clear();
        EXPECT_EQ(decode_manifest(part.data(), part.size(), out, error), -1) << cut;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    EXPECT_EQ(decode(bytes + '\0', out, error), -1);
    std::string huge_count = bytes;
    memcpy(&huge_count[8 + 4 + 6], "\xff\xff\xff\xff", 4);
    EXPECT_EQ(decode(huge_count, out, error), -1);
    std::string huge_name = bytes;
    memcpy(&huge_name[8 + 4 + 6 + 4], "\xff\xff\xff\xff", 4);
    EXPECT_EQ(decode(huge_name, out, error), -1);
    std::string other_magic = bytes;
    other_magic[6] = '2';
    EXPECT_EQ(decode(other_magic, out, error), -1);
}

}  // namespace
