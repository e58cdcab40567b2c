#include "report/glibc_report.h"

#include "elf/version_needs.h"

namespace {

const char glibc_prefix[] = "GLIBC_";
const char *const libstdcxx_prefixes[] = {"GLIBCXX_", "CXXABI_"};
const char libstdcxx_name[] = "libstdc++.so.6";

// glibc 2.36 taught the loader packed relative relocations; an object linked
// with them asks for this version, which carries no number of its own.
const char relr_version[] = "GLIBC_ABI_DT_RELR";
const char relr_release[] = "GLIBC_2.36";

// Whether version is a newer release of prefix's family than other (false
// when it is the same or carries no number).
bool newer(const std::string &prefix, const std::string &version, const std::string &other)
{
    std::vector<VersionNeed> pair = {{"other", other, ""}, {"version", version, ""}};
    VersionNeed newest;
    return newest_need(pair, prefix, newest) && newest.library == "version";
}

std::string release_of(const std::string &version)
{
    return version.substr(version.find('_') + 1);
}

// The entry's newest need of prefix's family, if it has one.
bool entry_newest(const std::string &entry, const std::vector<VersionNeed> &list,
                  const std::string &prefix, EntryNeed &out)
{
    VersionNeed need;
    bool found = newest_need(list, prefix, need);
    if (found)
        out = {entry, need.version,
               need.symbol.empty() ? need.version : need.symbol + "@" + need.version};
    if (prefix != glibc_prefix)
        return found;
    for (const VersionNeed &n : list)
        if (n.version == relr_version && (!found || newer(prefix, relr_release, out.version))) {
            out = {entry, relr_release, relr_version};
            found = true;
        }
    return found;
}

// Keeps in newest the newest of its family over all entries.
void keep_newest(const std::string &prefix, const EntryNeed &need, bool &any, EntryNeed &newest)
{
    if (!any || newer(prefix, need.version, newest.version)) {
        newest = need;
        any = true;
    }
}

std::string describe(const EntryNeed &need)
{
    return need.entry + " needs " + need.what;
}

}  // namespace

bool glibc_release(const std::string &text)
{
    VersionNeed newest;
    return text.find('.') != std::string::npos &&
           newest_need({{"", glibc_prefix + text, ""}}, glibc_prefix, newest);
}

namespace {

int collect_bundled_glibc(const BundlePlan &plan, GlibcNeeds &needs, std::string &error)
{
    needs.libc = true;
    for (const PlanEntry &e : plan.entries) {
        if (e.name != "libc.so.6")
            continue;
        const InputRecord &input = e.input;
        if (!input.error.empty() || input.glibc_release.empty()) {
            error = e.path + ": " +
                    (input.error.empty() ? "it defines no GLIBC_ version" : input.error);
            return -1;
        }
        needs.bundled.release = input.glibc_release;
        // The kernel floor is the packed glibc's; without a note, none is named.
        needs.bundled.kernel_floor = input.abi_kernel;
        return 0;
    }
    error = "--libc, but no libc.so.6 is packed (the program needs none, or it was --exclude'd)";
    return -1;
}

}  // namespace

int collect_glibc_needs(const PackOptions &options, const BundlePlan &plan, GlibcNeeds &needs,
                        std::string &error)
{
    needs = GlibcNeeds();
    needs.floor = options.target->glibc_floor;
    needs.static_runtime = options.static_runtime;
    if (options.libc)
        return collect_bundled_glibc(plan, needs, error);
    bool system_libstdcxx = true;
    for (const PlanEntry &e : plan.entries)
        if (e.name == libstdcxx_name)
            system_libstdcxx = false;

    std::vector<EntryNeed> glibc;
    bool cxx_any[2] = {false, false};
    EntryNeed cxx_newest[2];
    for (const PlanEntry &e : plan.entries) {
        // What cannot be read is reported by the pack itself, and has no
        // needs here, as what is not an ELF object.
        const std::vector<VersionNeed> &list = e.input.needs;
        EntryNeed need;
        if (entry_newest(e.name, list, glibc_prefix, need)) {
            glibc.push_back(need);
            keep_newest(glibc_prefix, need, needs.any, needs.newest);
        }
        for (int k = 0; k < 2 && system_libstdcxx; k++)
            if (entry_newest(e.name, list, libstdcxx_prefixes[k], need))
                keep_newest(libstdcxx_prefixes[k], need, cxx_any[k], cxx_newest[k]);
    }
    for (int k = 0; k < 2; k++)
        if (cxx_any[k])
            needs.libstdcxx.push_back(cxx_newest[k]);

    if (options.max_glibc.empty())
        return 0;
    const std::string max = glibc_prefix + options.max_glibc;
    // A static launcher has no glibc floor of its own; its entries keep theirs.
    if (!needs.static_runtime && newer(glibc_prefix, glibc_prefix + needs.floor, max)) {
        error = "--max-glibc " + options.max_glibc + ", but no " + options.target->name +
                " launcher runs on a glibc older than " + needs.floor;
        return -1;
    }
    std::string over;
    for (const EntryNeed &need : glibc)
        if (newer(glibc_prefix, need.version, max))
            over += (over.empty() ? "" : ", ") + need.entry + " needs glibc " +
                    release_of(need.version) + " (" + need.what + ")";
    if (over.empty())
        return 0;
    error = "--max-glibc " + options.max_glibc + ", but " + over +
            "; build on (or for) a system with glibc " + options.max_glibc +
            " or older; nothing written";
    return -1;
}

int print_glibc_needs(FILE *out, const GlibcNeeds &needs)
{
    if (needs.libc) {
        std::string kernel = needs.bundled.kernel_floor.empty()
                                 ? std::string("whatever kernel its glibc takes")
                                 : "Linux " + needs.bundled.kernel_floor + " or newer";
        fprintf(out, "runs on %s, with or without a C library: glibc %s travels with it\n",
                kernel.c_str(), needs.bundled.release.c_str());
        return fflush(out) == 0 ? 0 : -1;
    }
    const std::string anywhere =
        "Linux " + needs.kernel + " or newer, with or without a C library";
    if (needs.static_runtime && needs.any)
        fprintf(out, "runs on glibc %s or newer: %s (the launcher itself starts on %s)\n",
                release_of(needs.newest.version).c_str(), describe(needs.newest).c_str(),
                anywhere.c_str());
    else if (needs.static_runtime)
        fprintf(out, "runs on %s\n", anywhere.c_str());
    else if (needs.any && newer(glibc_prefix, needs.newest.version, glibc_prefix + needs.floor))
        fprintf(out, "runs on glibc %s or newer: %s\n", release_of(needs.newest.version).c_str(),
                describe(needs.newest).c_str());
    else
        fprintf(out, "runs on glibc %s or newer: nothing packed needs more than the "
                     "launcher itself\n", needs.floor.c_str());
    if (needs.libstdcxx.empty())
        return fflush(out) == 0 ? 0 : -1;
    std::string versions, who;
    for (const EntryNeed &need : needs.libstdcxx) {
        versions += (versions.empty() ? "" : " and ") + need.version;
        who += (who.empty() ? "" : ", ") + describe(need);
    }
    fprintf(out, "runs on a system libstdc++ with %s or newer: %s\n", versions.c_str(),
            who.c_str());
    return fflush(out) == 0 ? 0 : -1;
}
