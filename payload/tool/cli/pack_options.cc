#include "cli/pack_options.h"

#include <set>

#include "report/glibc_report.h"
#include "format/entry_name.h"
#include "format/target_table.h"
#include "format.h"

const char pack_usage[] =
    "usage: sfxpack [--target x86_64|i386] [--static-runtime] [--force] -o OUTPUT\n"
    "               [--name NAME] [--stored] FILE ...\n"
    "       sfxpack --bundle [--libc] [--target x86_64|i386] [--static-runtime] [--exclude NAME]...\n"
    "               [--include FILE]...\n"
    "               -o OUTPUT [--name NAME] PROGRAM\n"
    "       sfxpack --inspect [--verify [--no-manifest-ok]] [--json] LAUNCHER\n"
    "       sfxpack --verify [--no-manifest-ok] LAUNCHER\n"
    "       sfxpack --extract LAUNCHER DIR\n"
    "\n"
    "Packs FILEs into OUTPUT, a self-extracting launcher. Started like the\n"
    "first FILE, the launcher unpacks every FILE into a fresh private directory\n"
    "under $TEMP (or $TMP, or /tmp), runs the first one with its own arguments,\n"
    "waits, removes what it unpacked and ends with the program's exit status.\n"
    "The other FILEs are typically the shared libraries that the program loads\n"
    "from its own directory ($ORIGIN).\n"
    "\n"
    "With --bundle, sfxpack finds those libraries itself: it follows PROGRAM's\n"
    "needed libraries and theirs as the dynamic loader would resolve them now\n"
    "(RPATH, LD_LIBRARY_PATH, RUNPATH, the loader cache, the default\n"
    "directories of PROGRAM's architecture), leaves the C library to the\n"
    "system, and packs PROGRAM and each library under the name the loader asks\n"
    "for. Copies whose run-time search path is not a DT_RPATH beginning with\n"
    "$ORIGIN get the DT_RPATH $ORIGIN, which the loader searches before\n"
    "LD_LIBRARY_PATH, so the packed libraries are the ones loaded wherever the\n"
    "launcher runs; the files themselves are never modified.\n"
    "\n"
    "A program asks for the glibc it was built against, so the launcher runs\n"
    "only where glibc is at least as new as the newest GLIBC_ version that an\n"
    "entry needs; -v and --dry-run end with that floor, and --max-glibc makes\n"
    "it a check. To reach older systems, build the program on (or for) the\n"
    "oldest system it must run on, or bundle with --libc.\n"
    "\n"
    "With --libc, the glibc that the libraries were found in travels with the\n"
    "program: its loader, libc.so.6 and the glibc libraries the program needs.\n"
    "The launcher is then a static executable, and the program starts from its\n"
    "own file through the packed loader, so it runs on any Linux as new as that\n"
    "glibc's kernel floor, with an older glibc or none at all, its environment\n"
    "untouched. Use it for machines you do not control; NSS modules other than\n"
    "files and dns, gconv modules and locales still come from the machine.\n"
    "\n"
    "options:\n"
    "  -o OUTPUT        the launcher to write; written whole or not at all\n"
    "  --target T       the launcher's architecture: x86_64 (default) or i386;\n"
    "                   with --bundle, PROGRAM's own, and checked against it\n"
    "  --name NAME      the entry name of the FILE that follows (default: its\n"
    "                   base name); a single path component\n"
    "  --stored         embed the FILE that follows verbatim as an already\n"
    "                   compressed LZMA-Alone stream; refused unless it decodes\n"
    "                   to its header's size using every byte\n"
    "  --force          accept more than 32 entries, duplicate names and\n"
    "                   --stored streams that would not unpack, with a warning\n"
    "                   (such a launcher can list, but not unpack)\n"
    "  --bundle         pack PROGRAM with the shared libraries it needs\n"
    "  --libc           with --bundle: pack the C library and its loader too\n"
    "  --exclude NAME   with --bundle: leave the library NAME (shell wildcards\n"
    "                   allowed) to the system, with what only it needs\n"
    "  --include FILE   with --bundle: add FILE (a plugin the program opens\n"
    "                   with dlopen, or data); a shared library's own needs\n"
    "                   are bundled too\n"
    "  --max-glibc X.Y  refuse (status 2, nothing written) when an entry needs\n"
    "                   a glibc newer than X.Y, naming it and one symbol\n"
    "  --static-runtime link the launcher statically with the C library: it\n"
    "                   needs no libc.so.6 and no loader and starts on any\n"
    "                   Linux kernel since the C library's floor (3.2), with\n"
    "                   or without a C library; for programs that need none\n"
    "                   either (a static Go or Rust program, busybox). About\n"
    "                   750 KB larger\n"
    "  -v, --verbose    print each entry, where it was found and why it was\n"
    "                   taken, and the libraries left to the system; after\n"
    "                   packing, each entry's size, stored size and ratio, the\n"
    "                   launcher's size, the space a run needs in the temp\n"
    "                   directory, and a note on entries with debug sections\n"
    "                   (-n gives the same without what packing tells)\n"
    "  -n, --dry-run    print that plan and write nothing (-o not needed)\n"
    "  -0 ... -9, --level N\n"
    "                   the encoder's effort: -9 (the default) packs smallest,\n"
    "                   -1 several times faster and somewhat larger; every\n"
    "                   level unpacks the same way\n"
    "  --no-cache       neither reuse nor keep compressed streams (see below)\n"
    "  -q, --quiet      no progress line while compressing\n"
    "  --inspect        show LAUNCHER's target, entries (stored and unpacked\n"
    "                   size, ratio, architecture), the temp space a run needs\n"
    "                   and its manifest, from its headers alone; with --verify\n"
    "                   also check it and show each ELF entry's newest glibc need\n"
    "  --json           with --inspect: print JSON instead of a table\n"
    "  --verify         check LAUNCHER's table, decode every entry as a run would\n"
    "                   and compare it with the manifest; one line per entry\n"
    "  --no-manifest-ok with --verify: pass a launcher without a manifest, as\n"
    "                   sfxpack made them before it wrote one (a launcher whose\n"
    "                   runtime comes with a manifest still fails without it)\n"
    "  --extract        write LAUNCHER's entries into DIR (made 0700, must not\n"
    "                   exist) as @unpack would, checked against the manifest\n"
    "  -h, --help       show this text\n"
    "  --strip          pack copies of the FILEs without their debug information\n"
    "                   (strip --strip-debug); the FILEs themselves are only read\n"
    "  --version        print sfxpack's version\n"
    "\n"
    "Each FILE is compressed as an LZMA-Alone stream (lc 3, lp 0, pb 2,\n"
    "16 MiB dictionary, exact size in the header), in parallel. The same\n"
    "inputs always give a byte-identical launcher.\n"
    "\n"
    "Compressed streams are kept in a cache, $SFXPACK_CACHE or\n"
    "$XDG_CACHE_HOME/sfxpack or ~/.cache/sfxpack, keyed by the SHA-256 of\n"
    "the input, the level and the encoder's version, so that a file packed\n"
    "before is not compressed again; the launcher is the same either way.\n"
    "SFXPACK_CACHE_MAX bounds it (default 1G; least recently used go first).\n"
    "On a terminal, one line shows the files and bytes compressed so far.\n"
    "\n"
    "The launcher's own switches: @unpack (unpack into ./NAME and keep it),\n"
    "@list (print the entries' stored sizes and names), @version, @debug\n"
    "(trace every step), @verbose (show a progress line). Every other\n"
    "argument goes to the program.\n"
    "\n"
    "Every launcher carries a manifest (a section that is never loaded): each\n"
    "entry's name, unpacked size, SHA-256 of its unpacked and of its stored\n"
    "bytes and newest glibc need, and the sfxpack version. The three reading\n"
    "modes never execute LAUNCHER, for either target on any host.\n"
    "\n"
    "exit status: 0 packed, 1 a file could not be read, compressed, bundled\n"
    "or linked, 2 the command line is wrong, the entries would not unpack\n"
    "(more than 32, a name over 255 bytes or, for the first, 240, a --stored\n"
    "stream the launcher could not decode) or one needs a newer glibc than\n"
    "--max-glibc.\n"
    "--inspect, --verify, --extract: 0 done, 1 LAUNCHER is not a sound\n"
    "launcher (or a check failed, or DIR could not be written), 2 the command\n"
    "line is wrong.\n";

static int check_bundle_options(const PackOptions &options, std::string &error)
{
    if (!options.bundle) {
        if (!options.excludes.empty() || !options.includes.empty() || options.libc) {
            error = std::string(options.libc                ? "--libc"
                                : options.excludes.empty() ? "--include"
                                                           : "--exclude") +
                    " needs --bundle";
            return -1;
        }
        return 0;
    }
    if (options.files.size() > 1) {
        error = "--bundle takes one PROGRAM ('" + options.files[1].path +
                "' is extra; add files with --include)";
        return -1;
    }
    if (options.files[0].stored) {
        error = "--stored cannot be used with --bundle";
        return -1;
    }
    for (const std::string &name : options.excludes)
        if (name.empty()) {
            error = "--exclude needs a library name";
            return -1;
        }
    return 0;
}

// The modes that read a launcher take only it (and --extract's directory).
static int check_read_options(const PackOptions &options, std::string &error)
{
    size_t wanted = options.extract ? 2 : 1;
    if (options.extract && (options.inspect || options.verify))
        error = "--extract cannot be combined with --inspect or --verify";
    else if (options.json && !options.inspect)
        error = "--json goes with --inspect";
    else if (options.no_manifest_ok && !options.verify)
        error = "--no-manifest-ok goes with --verify";
    else if (!options.output.empty() || options.bundle || options.force || options.dry_run ||
             options.verbose || options.strip || options.static_runtime ||
             !options.max_glibc.empty() || options.libc ||
             !options.excludes.empty() || !options.includes.empty())
        error = "packing options cannot be combined with --inspect, --verify or --extract";
    else if (options.files.size() != wanted)
        error = options.extract ? "--extract takes LAUNCHER DIR" : "give one LAUNCHER";
    else
        return 0;
    return -1;
}

int parse_pack_options(int argc, char **argv, PackOptions &options,
                       std::string &error)
{
    std::string pending_name;
    bool name_pending = false;
    bool stored_pending = false;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool takes_value = arg == "-o" || arg == "--target" || arg == "--name" ||
                           arg == "--exclude" || arg == "--include" ||
                           arg == "--max-glibc" || arg == "--level";
        if (takes_value && i + 1 >= argc) {
            error = "option " + arg + " needs a value";
            return -1;
        }
        // Named in a message, an empty path would read ": No such file".
        if ((arg == "-o" || arg == "--include") && argv[i + 1][0] == '\0') {
            error = arg + " needs a file name, not an empty argument";
            return -1;
        }
        if (!takes_value && arg.empty()) {
            error = "an empty argument is not a file name";
            return -1;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--strip") {
            options.strip = true;
        } else if (arg == "--static-runtime") {
            options.static_runtime = true;
        } else if (arg == "-o") {
            options.output = argv[++i];
        } else if (arg == "--target") {
            std::string name = argv[++i];
            options.target = find_target(name);
            options.target_given = true;
            if (options.target == nullptr) {
                error = "unknown target '" + name + "' (expected x86_64 or i386)";
                return -1;
            }
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--name") {
            pending_name = argv[++i];
            name_pending = true;
        } else if (arg == "--stored") {
            stored_pending = true;
        } else if (arg == "--bundle") {
            options.bundle = true;
        } else if (arg == "--libc") {
            // The launcher of a program that brings its C library must not
            // need the machine's.
            options.libc = true;
            options.static_runtime = true;
        } else if (arg == "--exclude") {
            options.excludes.push_back(argv[++i]);
        } else if (arg == "--include") {
            options.includes.push_back(argv[++i]);
        } else if (arg == "--max-glibc") {
            options.max_glibc = argv[++i];
            if (!glibc_release(options.max_glibc)) {
                error = "--max-glibc takes a glibc release such as 2.17, not '" +
                        options.max_glibc + "'";
                return -1;
            }
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "-n" || arg == "--dry-run") {
            options.dry_run = true;
        } else if (arg == "--inspect") {
            options.inspect = true;
        } else if (arg == "--verify") {
            options.verify = true;
        } else if (arg == "--extract") {
            options.extract = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--no-manifest-ok") {
            options.no_manifest_ok = true;
        } else if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9') {
            options.level = arg[1] - '0';
        } else if (arg == "--level") {
            std::string level = argv[++i];
            if (level.size() != 1 || level[0] < '0' || level[0] > '9') {
                error = "--level takes 0 to 9, not '" + level + "'";
                return -1;
            }
            options.level = level[0] - '0';
        } else if (arg == "--no-cache") {
            options.no_cache = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--") {
            for (i++; i < argc; i++) {
                if (argv[i][0] == '\0') {
                    error = "an empty argument is not a file name";
                    return -1;
                }
                options.files.push_back({argv[i], base_name(argv[i]), false});
            }
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "'";
            return -1;
        } else {
            InputFile file;
            file.path = arg;
            file.name = name_pending ? pending_name : base_name(arg);
            file.stored = stored_pending;
            options.files.push_back(file);
            name_pending = false;
            stored_pending = false;
        }
    }
    if (options.help || options.version)
        return 0;
    if (name_pending || stored_pending) {
        error = name_pending ? "--name must stand right before a FILE"
                             : "--stored must stand right before a FILE";
        return -1;
    }
    if (options.inspect || options.verify || options.extract || options.json ||
        options.no_manifest_ok)
        return check_read_options(options, error);
    if (options.output.empty() && !options.dry_run) {
        error = "no output given (-o OUTPUT)";
        return -1;
    }
    if (options.files.empty()) {
        error = options.bundle ? "no PROGRAM to bundle" : "no FILE to pack";
        return -1;
    }
    return check_bundle_options(options, error);
}

// Entry 0 also names the work directory, NAME-PID, or NAME-PID.XXXXXX when
// that name is taken, which must fit a file name with the longest pid.
enum {
    MAX_PROGRAM_NAME_BYTES = ENTRY_NAME_MAX - (sizeof WORK_DIR_PID_SEPARATOR - 1) -
                             WORK_DIR_PID_DIGITS - (sizeof WORK_DIR_SUFFIX - 1)
};

static int check_name(const std::string &name, bool program, std::string &error)
{
    error = entry_name_problem(name);
    if (!error.empty())
        return -1;
    if (program && name.size() > MAX_PROGRAM_NAME_BYTES)
        error = "the program's entry name " + shown_name(name) + " leaves no room in its "
                "run directory's name (NAME-PID, or NAME-PID.XXXXXX when that is taken) "
                "for a " + std::to_string(WORK_DIR_PID_DIGITS) +
                "-digit process id and the suffix: at most " +
                std::to_string(MAX_PROGRAM_NAME_BYTES) + " bytes";
    else
        return 0;
    return -1;
}

// The first line of the refusal; the caller lists the entries under it.
static std::string too_many_entries(const PackOptions &options)
{
    return std::to_string(options.files.size()) + " entries, but a launcher can unpack at most " +
           std::to_string(PAYLOAD_MAX_ENTRIES) + " (listed below); " +
           (options.bundle ? "leave libraries to the system with --exclude NAME"
                           : "pack fewer files") +
           ". With --force the launcher could only list its entries, never run or unpack them";
}

int check_pack_options(const PackOptions &options,
                       std::vector<std::string> &warnings, std::string &error)
{
    for (size_t i = 0; i < options.files.size(); i++)
        if (check_name(options.files[i].name, i == 0, error))
            return -1;

    if (options.files.size() > PAYLOAD_MAX_ENTRIES && !options.force) {
        error = too_many_entries(options);
        return -1;
    }
    std::vector<std::string> problems;
    if (options.files.size() > PAYLOAD_MAX_ENTRIES)
        problems.push_back(std::to_string(options.files.size()) +
                           " entries: the launcher unpacks at most " +
                           std::to_string(PAYLOAD_MAX_ENTRIES) + ", so it can only "
                           "list them; run or @unpack stops with \"too many files\"");
    std::set<std::string> seen;
    for (const InputFile &file : options.files)
        if (!seen.insert(file.name).second)
            problems.push_back("two entries are named '" + file.name +
                               "': the second would replace the first when "
                               "unpacked");
    if (problems.empty())
        return 0;
    if (!options.force) {
        error = problems.front() + " (--force packs it anyway)";
        return -1;
    }
    warnings = problems;
    return 0;
}
