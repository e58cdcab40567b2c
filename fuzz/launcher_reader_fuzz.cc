// libFuzzer target for the launcher reader of sfxpack --inspect, --verify and
// --extract: any bytes, taken as a launcher file, go through read_launcher,
// the manifest parser and the decoding of each entry the table points at. On
// every input it checks what the modes rely on: a refusal gives one line, an
// accepted image only holds entries whose stored bytes lie inside the input,
// and a decoded entry is checked against the manifest without fault. Leaks
// are left to LeakSanitizer.
//
// Entries whose stream header asks for a dictionary above 1 MiB or declares
// more than 1 MiB of output are not decoded, so that each execution stays
// bounded: a hostile header can ask for gigabytes of either.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "format.h"
#include "read/entry_decode.h"
#include "read/manifest_checks.h"
#include "read/launcher_reader.h"

namespace {

const uint32_t largest_dictionary = 1 << 20;
const uint64_t largest_output = 1 << 20;

void fail(const char *what)
{
    fprintf(stderr, "launcher_reader_fuzz: %s\n", what);
    abort();
}

bool decodable(const LauncherEntry &entry)
{
    uint32_t skipped = leading_zero_skipped(entry.stored, entry.stored_size);
    if (entry.stored_size - skipped < LZMA_ALONE_SIZE_AT)
        return true;
    return lzma_alone_dictionary(entry.stored + skipped) <= largest_dictionary &&
           (!entry.unpacked_known || entry.unpacked_size <= largest_output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The reader's own copy, as a private mapping of the file would be.
    unsigned char *copy = (unsigned char *)malloc(size ? size : 1);
    memcpy(copy, data, size);
    LauncherImage image;
    std::string error;
    if (read_launcher(copy, size, image, error) != 0) {
        if (error.empty() || error.find('\n') != std::string::npos)
            fail("a refusal is not one line");
        free(copy);
        return 0;
    }
    Manifest manifest;
    int manifest_status = launcher_manifest(image, manifest, error);
    manifest_problem(image, manifest, manifest_status, error, false);
    manifest_note(image, manifest, manifest_status);
    image.first_problem();
    if (image.sound() && image.tree && image.tree_entries.size() != image.entries.size())
        fail("a sound tree has no record for every entry");
    for (size_t i = 0; i < image.entries.size(); i++) {
        const LauncherEntry &entry = image.entries[i];
        printable_name(entry.name);
        if (manifest_status == 0)
            tree_mismatch(image, manifest, i);
        if (i < image.tree_entries.size())
            tree_entry_text(image, i);
        if (entry.stored == nullptr)
            continue;
        if (entry.stored < copy || entry.stored_size > size ||
            entry.stored - copy > (ptrdiff_t)(size - entry.stored_size))
            fail("an entry's stored bytes leave the file");
        if (!decodable(entry))
            continue;
        DecodedEntry decoded;
        if (decode_launcher_entry(entry, DecodeTarget(), decoded, error) == 0) {
            if (entry.unpacked_known && decoded.size != entry.unpacked_size)
                fail("an entry decoded to another size than it declares");
            if (manifest_status == 0)
                manifest_mismatch(manifest, i, entry, decoded.size, decoded.sha256);
        }
    }
    free(copy);
    return 0;
}
