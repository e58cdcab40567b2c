// sfxpack's default command: packs files into a launcher.
#include <stdio.h>
#include <string.h>

#include "bundle/bundle_plan.h"
#include "bundle/tree_plan.h"
#include "report/plan_report.h"
#include "elf/abi_tag.h"
#include "elf/entry_needs.h"
#include "format.h"
#include "payload.h"
#include "report/glibc_report.h"
#include "cli/commands.h"
#include "pack/link_launcher.h"
#include "pack/lzma_alone.h"
#include "bundle/origin_copy.h"
#include "cli/pack_options.h"
#include "sys/diagnostics.h"
#include "sys/mapped_file.h"
#include "sys/progress_line.h"
#include "report/size_report.h"
#include "pack/shared_streams.h"
#include "pack/stored_entry.h"
#include "cache/stream_cache.h"
#include "pack/strip_debug.h"
#include "sign/launcher_signature.h"

static int fail(int status, const std::string &message)
{
    print_error(message);
    return status;
}

// --add, or a bundle over the flat limit: the plan becomes a tree, and the
// files are its entries. Returns 0 or an exit status.
static int plan_as_tree(PackOptions &options, BundlePlan &plan)
{
    std::string error;
    bool refused = false;
    if (!plan.tree && plan_needs_tree(options, plan) && plan_tree(options, plan, error, refused))
        return fail(refused ? EXIT_USAGE : EXIT_FAILED, error);
    if (!plan.tree)
        return 0;
    options.files.clear();
    for (const PlanEntry &e : plan.entries)
        options.files.push_back({e.path, e.name, e.stored});
    return 0;
}

// With --bundle, the program's libraries join it as the loader would find
// them, and with --add, those of every ELF object of the trees: the trees
// are walked first, for bundling to find them. Otherwise the files are the
// plan as given. Returns 0 or an exit status.
static int plan_entries(PackOptions &options, BundlePlan &plan)
{
    std::string error;
    if (!options.bundle) {
        plan_files(options, plan);
        return plan_as_tree(options, plan);
    }
    const std::string program = options.files[0].path;
    const TargetInfo *target = nullptr;
    InputRecord input;
    if (bundle_program_target(program, input, target, error))
        return fail(EXIT_FAILED, error);
    if (options.target_given && options.target != target)
        return fail(EXIT_USAGE, program + " is an " + target->name + " program, but --target " +
                                    options.target->name + " was given");
    options.target = target;
    bool refused = false;
    if (!options.adds.empty()) {
        plan_files(options, plan);
        if (plan_tree(options, plan, error, refused))
            return fail(refused ? EXIT_USAGE : EXIT_FAILED, error);
    }
    size_t walked = plan.entries.size();
    if (plan_bundle(options, *target, input, plan, error))
        return fail(EXIT_FAILED, error);
    if (plan.tree && place_added_entries(plan, walked, error, refused))
        return fail(refused ? EXIT_USAGE : EXIT_FAILED, error);
    options.files.clear();
    for (const PlanEntry &e : plan.entries)
        options.files.push_back({e.path, e.name, false});
    return plan_as_tree(options, plan);
}

// --strip: copies of the entries that carry debug information, made by
// strip from the files read, each then read as a new input; stripped[i] is
// what entry i left out. Returns 0, or -1 with a one-line reason.
static int strip_entries(BundlePlan &plan, TempDir &copies, std::vector<InputFile> &files,
                         std::vector<uint64_t> &stripped, std::string &error)
{
    std::vector<uint64_t> debug;
    for (const PlanEntry &e : plan.entries)
        debug.push_back(e.input.debug_bytes);
    if (strip_debug_copies(copies, files, debug, stripped, error))
        return -1;
    for (size_t i = 0; i < files.size(); i++) {
        PlanEntry &e = plan.entries[i];
        if (files[i].path == e.input.path)
            continue;
        // strip read the file itself: what was learned of it must still hold.
        if (check_unchanged(e.input.path, e.input.identity, error))
            return -1;
        read_plan_input(plan, e, files[i].path, e.input);
    }
    return 0;
}

// Pairs each file with its stored stream: its own bytes for --stored files,
// its compressed form otherwise. A file is mapped only while it is copied or
// compressed, and only as it was read. Returns 0 or an exit status.
static int store_entries(const PackOptions &options, const BundlePlan &plan,
                         const std::vector<Unpacked> &unpacked, std::vector<Bytes> &stored,
                         std::vector<Compressed> &compressed, std::vector<PackedEntry> &entries)
{
    std::vector<CompressInput> to_compress;
    stored.assign(options.files.size(), Bytes());
    for (size_t i = 0; i < options.files.size(); i++) {
        const InputRecord &input = plan.entries[i].input;
        if (plan.entries[i].kind != TREE_FILE)
            continue;
        if (!options.files[i].stored) {
            to_compress.push_back({input.path, input.identity});
            continue;
        }
        // As the launcher will read it, which is what was checked.
        MappedFile file;
        std::string error;
        if (map_unchanged(input.path, input.identity, file, error) ||
            copy_mapped(file, stored[i], error))
            return fail(EXIT_FAILED, error);
        add_leading_zero(stored[i]);
    }
    CompressWork work;
    StreamCache cache;
    ProgressLine progress;
    work.level = options.level;
    work.small_dictionaries = plan.tree;
    if (!options.no_cache && open_stream_cache(cache) == 0)
        work.cache = &cache;
    work.progress = &progress;
    uint64_t bytes = 0;
    for (const CompressInput &input : to_compress)
        bytes += input.identity.size;
    progress_start(progress, to_compress.size(), bytes,
                   !to_compress.empty() && progress_wanted(options.quiet));
    compress_all(to_compress, work, compressed);
    progress_finish(progress);
    trim_stream_cache(cache);

    size_t next_compressed = 0;
    for (size_t i = 0; i < options.files.size(); i++) {
        const InputFile &file = options.files[i];
        const PlanEntry &e = plan.entries[i];
        PackedEntry packed = {file.name, &stored[i], unpacked[i], e.kind, e.mode, e.link,
                              e.target};
        if (e.kind == TREE_FILE && !file.stored) {
            const Compressed &c = compressed[next_compressed++];
            if (!c.error.empty())
                return fail(EXIT_FAILED, c.error);
            memcpy(packed.unpacked.sha256, c.sha256, SHA256_SIZE);
            packed.stream = &c.stream;
        }
        entries.push_back(packed);
    }
    if (plan.tree)
        share_identical_streams(entries);
    return 0;
}

// Notes what each entry unpacks to, for the manifest (a compressed one's
// digest comes with its compression), refusing a --stored FILE that the
// launcher could not unpack (--force packs it with a warning). Returns 0 or
// an exit status.
static int check_unpacked(const PackOptions &options, const BundlePlan &plan,
                          std::vector<Unpacked> &unpacked)
{
    for (size_t i = 0; i < options.files.size(); i++) {
        const InputRecord &input = plan.entries[i].input;
        // A directory or link of a tree unpacks no bytes of its own.
        if (plan.entries[i].kind != TREE_FILE) {
            sha256(nullptr, 0, unpacked[i].sha256);
            continue;
        }
        if (!options.files[i].stored) {
            unpacked[i].size = input.identity.size;
            unpacked[i].glibc = newest_glibc_need(input.needs);
            continue;
        }
        unpacked[i] = input.unpacked;
        if (input.stored_error.empty())
            continue;
        std::string error = options.files[i].path + ": " + input.stored_error;
        if (!options.force)
            return fail(EXIT_USAGE, error);
        print_warning(error + " (packed anyway: the launcher will stop there)");
    }
    return 0;
}

// Where the program's file, and each other executable of a tree, as they
// will be packed, keep room for the paths that the launcher writes in
// (--libc). Returns 0 or -1 with a reason.
static int loader_paths_of(const BundlePlan &plan, LoaderPathsSource &loader,
                           std::string &error)
{
    for (const PlanEntry &e : plan.entries)
        if (e.program_loader)
            loader.loader_name = e.name;
    for (size_t i = 0; i < plan.entries.size(); i++) {
        const PlanEntry &e = plan.entries[i];
        if (e.origin != ORIGIN_LOADER)
            continue;
        if (!e.input.loader_room_error.empty()) {
            error = e.path + ": the copy prepared for --libc is unusable: " +
                    e.input.loader_room_error;
            return -1;
        }
        if (i == 0)
            loader.room = e.input.loader_room;
        else
            loader.others.push_back({(uint32_t)i, e.input.loader_room});
    }
    return 0;
}

int pack_launcher(PackOptions &options)
{
    std::string error;
    // Before any work: an output that will not be replaced is no reason to
    // compress anything.
    if (!options.dry_run && check_output(options.output, options.force, error))
        return fail(EXIT_FAILED, error);
    BundlePlan plan;
    if (int status = plan_entries(options, plan))
        return status;
    if (options.verbose || options.dry_run) {
        print_plan(stdout, plan);
        if (fflush(stdout) != 0)
            return fail(EXIT_FAILED, "cannot write the plan to standard output");
    }

    std::vector<std::string> warnings;
    if (check_pack_options(options, plan.tree, warnings, error)) {
        fail(EXIT_USAGE, error);
        // Over the limit: what would be packed and why, to choose what to leave out.
        if (options.files.size() > PAYLOAD_MAX_ENTRIES && !options.force && !plan.tree)
            print_plan(stderr, plan);
        return EXIT_USAGE;
    }
    for (const std::string &w : warnings)
        print_warning(w);
    // Each file is read once, now that the request is sound (a bundle's were
    // read to plan it): the reports, --strip and the manifest take what was
    // learned of it, and only compression maps its bytes again.
    read_plan_inputs(plan);
    warn_of_lost_privileges(plan);
    // Refused before anything is compressed: the entries' needs are known now.
    GlibcNeeds glibc;
    bool report_glibc = options.verbose || options.dry_run;
    if ((report_glibc || !options.max_glibc.empty()) &&
        collect_glibc_needs(options, plan, glibc, error))
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
        if (report_planned_sizes(stdout, options, plan, error))
            return fail(EXIT_FAILED, error);
        if (print_glibc_needs(stdout, glibc))
            return fail(EXIT_FAILED, "cannot write the plan to standard output");
        return 0;
    }

    // Lives until the launcher is linked: the copies are compressed below.
    TempDir copies;
    if (options.bundle && make_origin_copies(plan, copies, options.files, error))
        return fail(EXIT_FAILED, error);
    std::vector<uint64_t> stripped;
    if (options.strip && strip_entries(plan, copies, options.files, stripped, error))
        return fail(EXIT_FAILED, error);

    for (const PlanEntry &e : plan.entries)
        if (!e.input.error.empty())
            return fail(EXIT_FAILED, e.input.error);

    std::vector<Unpacked> unpacked(options.files.size());
    if (int status = check_unpacked(options, plan, unpacked))
        return status;

    std::vector<Bytes> stored;
    std::vector<Compressed> compressed;
    std::vector<PackedEntry> entries;
    if (int status = store_entries(options, plan, unpacked, stored, compressed, entries))
        return status;

    LoaderPathsSource loader;
    if (options.libc && loader_paths_of(plan, loader, error))
        return fail(EXIT_FAILED, error);
    LinkedLauncher linked;
    PayloadRecords records;
    records.tree = plan.tree;
    records.environment = options.environment;
    if (link_launcher(entries, records, *options.target, options.static_runtime, loader,
                      options.unpack_once, options.output, linked, error))
        return fail(EXIT_FAILED, error);
    if (!options.sign_key.empty() && sign_file(linked.path, key, error))
        return fail(EXIT_FAILED, error);
    // Reported before the launcher takes output's place: a packer that cannot
    // finish its report (killed by SIGPIPE, say) leaves no launcher.
    if (options.verbose &&
        report_packed_sizes(stdout, options, plan, linked.path, entries, stripped, error))
        return fail(EXIT_FAILED, error);
    if (report_glibc && print_glibc_needs(stdout, glibc))
        return fail(EXIT_FAILED, "cannot write the report to standard output");
    if (linked.commit(options.force, error))
        return fail(EXIT_FAILED, error);
    return 0;
}
