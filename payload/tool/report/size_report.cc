#include "report/size_report.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <set>

#include "payload.h"

uint64_t temp_space_needed(const std::vector<EntrySize> &entries)
{
    uint64_t blocks = 1;  // the work directory itself
    for (const EntrySize &e : entries)
        blocks += (e.unpacked + TEMP_BLOCK - 1) / TEMP_BLOCK;
    return blocks * TEMP_BLOCK;
}

// The file as packed: its size, or the size its stored stream's header
// announces.
static int measure_file(const PlanEntry &e, EntrySize &size, std::string &error)
{
    size = EntrySize();
    size.name = e.name;
    const InputRecord &input = e.input;
    if (!input.error.empty()) {
        error = input.error;
        return -1;
    }
    if (input.stored) {
        size.stored = input.identity.size;
        size.unpacked = input.announced_size;
    } else {
        size.unpacked = input.identity.size;
        size.debug = input.debug_bytes;
    }
    return 0;
}

static std::string ratio(uint64_t stored, uint64_t unpacked)
{
    if (unpacked == 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f%%", 100.0 * (double)stored / (double)unpacked);
    return text;
}

static std::string entry_note(const EntrySize &e, bool strip)
{
    if (e.stripped > 0)
        return " (stripped: " + std::to_string(e.stripped) +
               " bytes of debug information left out)";
    if (e.debug > 0)
        return " (debug sections: " + std::to_string(e.debug) + " bytes; --strip " +
               (strip ? "will leave" : "leaves") + " them out)";
    return "";
}

static std::string plural(size_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string temp_space_basis(size_t count)
{
    return plural(count, "file and its directory", "files and their directory") + ", in " +
           std::to_string(TEMP_BLOCK) + "-byte blocks";
}

static void print_temp_space(FILE *out, const std::vector<EntrySize> &sizes)
{
    fprintf(out, "a run needs %llu bytes in the temp directory: %s\n",
            (unsigned long long)temp_space_needed(sizes), temp_space_basis(sizes.size()).c_str());
}

static int finish(FILE *out, std::string &error)
{
    if (fflush(out) != 0 || ferror(out)) {
        error = "cannot write the report to standard output";
        return -1;
    }
    return 0;
}

int report_planned_sizes(FILE *out, const PackOptions &options, const BundlePlan &plan,
                         std::string &error)
{
    std::vector<EntrySize> sizes(plan.entries.size());
    for (size_t i = 0; i < sizes.size(); i++)
        if (measure_file(plan.entries[i], sizes[i], error))
            return -1;
    uint64_t total = 0;
    fprintf(out, "%12s  %s\n", "unpacked", "entry");
    for (const EntrySize &e : sizes) {
        fprintf(out, "%12llu  %s%s\n", (unsigned long long)e.unpacked, e.name.c_str(),
                entry_note(e, options.strip).c_str());
        total += e.unpacked;
    }
    fprintf(out, "%12llu  total of %s; stored sizes are known after packing\n",
            (unsigned long long)total, plural(sizes.size(), "entry", "entries").c_str());
    print_temp_space(out, sizes);
    return finish(out, error);
}

int report_packed_sizes(FILE *out, const PackOptions &options, const BundlePlan &plan,
                        const std::string &launcher_file,
                        const std::vector<PackedEntry> &entries,
                        const std::vector<uint64_t> &stripped, std::string &error)
{
    std::vector<EntrySize> sizes(plan.entries.size());
    uint64_t unpacked = 0, stored = 0, saved = 0;
    size_t stripped_count = 0;
    // Identical files of a tree share one stream, counted once in the total.
    std::set<const Bytes *> counted;
    uint64_t shared_unpacked = 0, shared_stored = 0;
    size_t shared_count = 0;
    for (size_t i = 0; i < sizes.size(); i++) {
        if (measure_file(plan.entries[i], sizes[i], error))
            return -1;
        sizes[i].stored = entries[i].stream->size();
        sizes[i].stripped = i < stripped.size() ? stripped[i] : 0;
        unpacked += sizes[i].unpacked;
        saved += sizes[i].stripped;
        stripped_count += sizes[i].stripped > 0;
        if (entries[i].kind != TREE_FILE)
            continue;
        if (counted.insert(entries[i].stream).second) {
            stored += sizes[i].stored;
        } else {
            shared_unpacked += sizes[i].unpacked;
            shared_stored += sizes[i].stored;
            shared_count++;
        }
    }
    struct stat st;
    if (stat(launcher_file.c_str(), &st) != 0) {
        error = launcher_file + ": " + strerror(errno);
        return -1;
    }

    fprintf(out, "%12s  %10s  %6s  %s\n", "unpacked", "stored", "ratio", "entry");
    for (const EntrySize &e : sizes)
        fprintf(out, "%12llu  %10llu  %6s  %s%s\n", (unsigned long long)e.unpacked,
                (unsigned long long)e.stored, ratio(e.stored, e.unpacked).c_str(),
                e.name.c_str(), entry_note(e, false).c_str());
    fprintf(out, "%12llu  %10llu  %6s  total of %s\n", (unsigned long long)unpacked,
            (unsigned long long)stored, ratio(stored, unpacked).c_str(),
            plural(sizes.size(), "entry", "entries").c_str());
    fprintf(out, "launcher: %s, %llu bytes\n", options.output.c_str(),
            (unsigned long long)st.st_size);
    if (options.strip)
        fprintf(out, "--strip saved %llu bytes in %s\n", (unsigned long long)saved,
                plural(stripped_count, "entry", "entries").c_str());
    if (plan.tree)
        fprintf(out, "identical files stored once: %s sharing an earlier one's stream, "
                     "%llu bytes unpacked, %llu stored, saved\n",
                plural(shared_count, "file", "files").c_str(),
                (unsigned long long)shared_unpacked, (unsigned long long)shared_stored);
    print_temp_space(out, sizes);
    return finish(out, error);
}
