// sfxpack's default command: packs files into a launcher.
#include <stdio.h>

#include "report/plan_report.h"
#include "elf/abi_tag.h"
#include "elf/entry_needs.h"
#include "elf/loader_room.h"
#include "format.h"
#include "report/glibc_report.h"
#include "cli/commands.h"
#include "pack/link_launcher.h"
#include "pack/lzma_alone.h"
#include "bundle/origin_copy.h"
#include "cli/pack_options.h"
#include "sys/diagnostics.h"
#include "sys/progress_line.h"
#include "sys/read_input.h"
#include "sys/sha256.h"
#include "report/size_report.h"
#include "pack/stored_entry.h"
#include "cache/stream_cache.h"
#include "pack/strip_debug.h"
#include "sign/launcher_signature.h"

static int fail(int status, const std::string &message)
{
    print_error(message);
    return status;
}

// With --bundle, the program's libraries join it as the loader would find
// them; otherwise the files are the plan as given. Returns 0 or an exit status.
static int plan_entries(PackOptions &options, BundlePlan &plan)
{
    std::string error;
    if (!options.bundle) {
        plan_files(options, plan);
        return 0;
    }
    const std::string program = options.files[0].path;
    const TargetInfo *target = nullptr;
    if (bundle_program_target(program, target, error))
        return fail(EXIT_FAILED, error);
    if (options.target_given && options.target != target)
        return fail(EXIT_USAGE, program + " is an " + target->name + " program, but --target " +
                                    options.target->name + " was given");
    options.target = target;
    if (plan_bundle(options, *target, plan, error))
        return fail(EXIT_FAILED, error);
    options.files.clear();
    for (const PlanEntry &e : plan.entries)
        options.files.push_back({e.path, e.name, false});
    return 0;
}

// Pairs each file with its stored stream: its own bytes for --stored files,
// its compressed form otherwise. Returns 0 or an exit status.
static int store_entries(const PackOptions &options, const std::vector<Bytes> &contents,
                         const std::vector<Unpacked> &unpacked,
                         std::vector<Bytes> &compressed, std::vector<PackedEntry> &entries)
{
    std::vector<const Bytes *> to_compress;
    CompressWork work;
    for (size_t i = 0; i < options.files.size(); i++)
        if (!options.files[i].stored) {
            to_compress.push_back(&contents[i]);
            work.digests.push_back(unpacked[i].sha256);
        }
    std::vector<std::string> errors;
    StreamCache cache;
    ProgressLine progress;
    work.level = options.level;
    if (!options.no_cache && open_stream_cache(cache) == 0)
        work.cache = &cache;
    work.progress = &progress;
    uint64_t bytes = 0;
    for (const Bytes *input : to_compress)
        bytes += input->size();
    progress_start(progress, to_compress.size(), bytes,
                   !to_compress.empty() && progress_wanted(options.quiet));
    compress_all(to_compress, work, compressed, errors);
    progress_finish(progress);
    trim_stream_cache(cache);

    size_t next_compressed = 0;
    for (size_t i = 0; i < options.files.size(); i++) {
        const InputFile &file = options.files[i];
        if (file.stored) {
            entries.push_back({file.name, &contents[i], unpacked[i]});
            continue;
        }
        size_t k = next_compressed++;
        if (!errors[k].empty())
            return fail(EXIT_FAILED, file.path + ": " + errors[k]);
        entries.push_back({file.name, &compressed[k], unpacked[i]});
    }
    return 0;
}

// Notes what each entry unpacks to, for the manifest, and stores each
// --stored FILE as the launcher will read it, refusing one that it could not
// unpack (--force packs it with a warning). Returns 0 or an exit status.
static int check_unpacked(const PackOptions &options, std::vector<Bytes> &contents,
                          std::vector<Unpacked> &unpacked)
{
    for (size_t i = 0; i < options.files.size(); i++) {
        if (!options.files[i].stored) {
            unpacked[i].size = contents[i].size();
            sha256(contents[i].data(), contents[i].size(), unpacked[i].sha256);
            unpacked[i].glibc = newest_glibc_need(contents[i].data(), contents[i].size());
            continue;
        }
        std::string error;
        add_leading_zero(contents[i]);
        if (check_stored_entry(contents[i], *options.target, unpacked[i], error) == 0)
            continue;
        error = options.files[i].path + ": " + error;
        if (!options.force)
            return fail(EXIT_USAGE, error);
        print_warning(error + " (packed anyway: the launcher will stop there)");
    }
    return 0;
}

// Where the program's file, as it will be packed, keeps room for the paths
// that the launcher writes in (--libc). Returns 0 or -1 with a reason.
static int loader_paths_of(const BundlePlan &plan, const Bytes &program,
                           LoaderPathsSource &loader, std::string &error)
{
    for (const PlanEntry &e : plan.entries)
        if (e.program_loader)
            loader.loader_name = e.name;
    if (find_loader_room(program.data(), program.size(), loader.room, error) == 0)
        return 0;
    error = plan.entries[0].path + ": the copy prepared for --libc is unusable: " + error;
    return -1;
}

int pack_launcher(PackOptions &options)
{
    std::string error;
    BundlePlan plan;
    if (int status = plan_entries(options, plan))
        return status;
    if (options.verbose || options.dry_run) {
        print_plan(stdout, plan);
        if (fflush(stdout) != 0)
            return fail(EXIT_FAILED, "cannot write the plan to standard output");
    }

    std::vector<std::string> warnings;
    if (check_pack_options(options, warnings, error)) {
        fail(EXIT_USAGE, error);
        // Over the limit: what would be packed and why, to choose what to leave out.
        if (options.files.size() > PAYLOAD_MAX_ENTRIES && !options.force)
            print_plan(stderr, plan);
        return EXIT_USAGE;
    }
    for (const std::string &w : warnings)
        print_warning(w);
    // Refused before anything is compressed: the entries' needs are known now.
    GlibcNeeds glibc;
    bool report_glibc = options.verbose || options.dry_run;
    if ((report_glibc || !options.max_glibc.empty()) &&
        collect_glibc_needs(options, glibc, error))
        return fail(EXIT_USAGE, error);
    // A static launcher keeps the ABI note of the start file it is linked
    // with: that names its kernel floor, linked or not. A --libc report names
    // the packed glibc's instead.
    std::string start_file;
    if (report_glibc && options.static_runtime && !options.libc &&
        (static_start_file(*options.target, start_file, error) ||
         gnu_abi_kernel(start_file, glibc.kernel, error)))
        return fail(EXIT_FAILED, error);
    // Read before anything is compressed: a key that cannot sign stops here.
    SshPrivateKey key;
    if (!options.sign_key.empty() && read_private_key(options.sign_key, key, error))
        return fail(EXIT_FAILED, error);
    if (options.dry_run) {
        if (report_planned_sizes(stdout, options, error))
            return fail(EXIT_FAILED, error);
        if (print_glibc_needs(stdout, glibc))
            return fail(EXIT_FAILED, "cannot write the plan to standard output");
        return 0;
    }

    // Lives until the launcher is linked: the copies are read just below.
    TempDir copies;
    if (options.bundle && make_origin_copies(plan, copies, options.files, error))
        return fail(EXIT_FAILED, error);
    std::vector<uint64_t> stripped;
    if (options.strip && strip_debug_copies(copies, options.files, stripped, error))
        return fail(EXIT_FAILED, error);

    std::vector<Bytes> contents(options.files.size());
    for (size_t i = 0; i < options.files.size(); i++)
        if (read_input(options.files[i].path, contents[i], error))
            return fail(EXIT_FAILED, error);

    std::vector<Unpacked> unpacked(options.files.size());
    if (int status = check_unpacked(options, contents, unpacked))
        return status;

    std::vector<Bytes> compressed;
    std::vector<PackedEntry> entries;
    if (int status = store_entries(options, contents, unpacked, compressed, entries))
        return status;

    LoaderPathsSource loader;
    if (options.libc && loader_paths_of(plan, contents[0], loader, error))
        return fail(EXIT_FAILED, error);
    LinkedLauncher linked;
    if (link_launcher(entries, *options.target, options.static_runtime, loader, options.output,
                      linked, error))
        return fail(EXIT_FAILED, error);
    if (!options.sign_key.empty() && sign_file(linked.path, key, error))
        return fail(EXIT_FAILED, error);
    // Reported before the launcher takes output's place: a packer that cannot
    // finish its report (killed by SIGPIPE, say) leaves no launcher.
    if (options.verbose &&
        report_packed_sizes(stdout, options, linked.path, entries, stripped, error))
        return fail(EXIT_FAILED, error);
    if (report_glibc && print_glibc_needs(stdout, glibc))
        return fail(EXIT_FAILED, "cannot write the report to standard output");
    if (linked.commit(error))
        return fail(EXIT_FAILED, error);
    return 0;
}
