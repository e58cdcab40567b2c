// sfxpack's options, one row each. A new option is a row here and the code
// behind it; the parser, the mode checks, --help and the tests follow.
#include "cli/pack_options.h"

#include <ctype.h>

#include "format/entry_name.h"

#include "format/target_table.h"
#include "report/glibc_report.h"

static constexpr OptionStore set_flag(bool PackOptions::*flag) noexcept
{
    return {flag, nullptr, nullptr, nullptr, nullptr, nullptr};
}

static constexpr OptionStore keep_text(std::string PackOptions::*text) noexcept
{
    return {nullptr, text, nullptr, nullptr, nullptr, nullptr};
}

static constexpr OptionStore add_to_list(std::vector<std::string> PackOptions::*list) noexcept
{
    return {nullptr, nullptr, list, nullptr, nullptr, nullptr};
}

static constexpr OptionStore set_on_file(bool InputFile::*flag) noexcept
{
    return {nullptr, nullptr, nullptr, flag, nullptr, nullptr};
}

static constexpr OptionStore keep_on_file(std::string InputFile::*text) noexcept
{
    return {nullptr, nullptr, nullptr, nullptr, text, nullptr};
}

static constexpr OptionStore convert_with(int (*convert)(PackOptions &, const std::string &,
                                                         std::string &)) noexcept
{
    return {nullptr, nullptr, nullptr, nullptr, nullptr, convert};
}

static int take_target(PackOptions &options, const std::string &name, std::string &error)
{
    options.target = find_target(name);
    options.target_given = true;
    if (options.target != nullptr)
        return 0;
    error = "unknown target '" + name + "' (expected x86_64 or i386)";
    return -1;
}

static int take_max_glibc(PackOptions &options, const std::string &release, std::string &error)
{
    options.max_glibc = release;
    if (glibc_release(release))
        return 0;
    error = "--max-glibc takes a glibc release such as 2.17, not '" + release + "'";
    return -1;
}

static int take_level(PackOptions &options, const std::string &level, std::string &error)
{
    if (level.size() != 1 || level[0] < '0' || level[0] > '9') {
        error = "--level takes 0 to 9, not '" + level + "'";
        return -1;
    }
    options.level = level[0] - '0';
    return 0;
}

// SRC=DEST splits at the last '=': a SRC may hold '=', a DEST may not, and
// an empty DEST (SRC=) is the default, SRC's base name.
static int take_add(PackOptions &options, const std::string &value, std::string &error)
{
    TreeAdd add;
    size_t equals = value.rfind('=');
    add.source = value.substr(0, equals);
    if (equals != std::string::npos)
        add.dest = value.substr(equals + 1);
    while (add.dest.size() > 1 && add.dest.back() == '/')
        add.dest.pop_back();
    if (add.dest.empty())
        add.dest = base_name(add.source);
    if (add.source.empty()) {
        error = "--add needs a file or directory, not '" + value + "'";
        return -1;
    }
    std::string problem = entry_path_problem(add.dest);
    if (!problem.empty()) {
        error = "--add " + value + ": " + problem;
        return -1;
    }
    options.adds.push_back(add);
    return 0;
}

// A later value of a NAME replaces the earlier one where that stood.
static int take_env(PackOptions &options, const std::string &value, std::string &error)
{
    size_t equals = value.find('=');
    std::string name = value.substr(0, equals);
    bool valid = equals != std::string::npos && !name.empty() &&
                 (isalpha((unsigned char)name[0]) || name[0] == '_');
    for (char c : name)
        valid = valid && (isalnum((unsigned char)c) || c == '_');
    if (!valid) {
        error = "--env takes NAME=VALUE, NAME of letters, digits and '_' not starting with a "
                "digit, not '" + value + "'";
        return -1;
    }
    for (std::string &record : options.environment)
        if (record.compare(0, equals + 1, value, 0, equals + 1) == 0) {
            record = value;
            return 0;
        }
    options.environment.push_back(value);
    return 0;
}

// In the order --help lists them.
const PackOption pack_option_table[] = {
    // name, short, flags, modes it goes with, mode it selects, implies,
    // where it goes, placeholder, help
    {nullptr, 'o', OPTION_VALUE | OPTION_FILE_VALUE, PACKING_MODES, 0, nullptr,
     keep_text(&PackOptions::output), "OUTPUT",
     "the launcher to write; written whole or not at all"},
    {"--target", 0, OPTION_VALUE, PACKING_MODES, 0, nullptr,
     convert_with(take_target), "T",
     "the launcher's architecture: x86_64 (default) or i386; with --bundle, PROGRAM's own, "
     "and checked against it"},
    {"--name", 0, OPTION_VALUE | OPTION_BINDS_FILE, PACKING_MODES, 0, nullptr,
     keep_on_file(&InputFile::name), "NAME",
     "the entry name of the FILE that follows (default: its base name); a single path "
     "component"},
    {"--stored", 0, OPTION_BINDS_FILE, MODE_PACK, 0, nullptr,
     set_on_file(&InputFile::stored), nullptr,
     "embed the FILE that follows verbatim as an already compressed LZMA-Alone stream; "
     "refused unless it decodes to its header's size using every byte"},
    {"--force", 0, 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::force), nullptr,
     "accept more than {max_entries} entries, duplicate names and --stored streams that "
     "would not unpack, with a warning (such a launcher can list, but not unpack); and "
     "replace a write-protected OUTPUT"},
    {"--bundle", 0, 0, MODE_BUNDLE, MODE_BUNDLE, nullptr,
     set_flag(&PackOptions::bundle), nullptr,
     "pack PROGRAM with the shared libraries it needs"},
    // The launcher of a program that brings its C library must not need
    // the machine's.
    {"--libc", 0, 0, MODE_BUNDLE, 0, "--static-runtime",
     set_flag(&PackOptions::libc), nullptr,
     "pack the C library and its loader too"},
    {"--exclude", 0, OPTION_VALUE | OPTION_REPEATS, MODE_BUNDLE, 0, nullptr,
     add_to_list(&PackOptions::excludes), "NAME",
     "leave the library NAME (shell wildcards allowed) to the system, with what only it "
     "needs"},
    {"--include", 0, OPTION_VALUE | OPTION_REPEATS | OPTION_FILE_VALUE, MODE_BUNDLE, 0, nullptr,
     add_to_list(&PackOptions::includes), "FILE",
     "add FILE (a plugin the program opens with dlopen, or data); a shared library's own "
     "needs are bundled too"},
    {"--add", 0, OPTION_VALUE | OPTION_REPEATS, PACKING_MODES, 0, nullptr,
     convert_with(take_add), "SRC[=DEST]",
     "add the file or directory tree SRC at DEST, a relative path (default: SRC's base "
     "name); the launcher then carries a tree, with directories, owner execute bits and "
     "links, and no limit on its entries. SRC=DEST splits at the last '=' (DEST holds "
     "none; SRC= takes the default). Symbolic links are kept when what they point to is "
     "packed and they resolve to it through the tree, packed as what they point to when "
     "that lies outside what is packed or they are absolute, refused otherwise; identical files are stored "
     "once. Without FILE, the first --add is the program; may be given again"},
    {"--exclude-path", 0, OPTION_VALUE | OPTION_REPEATS, PACKING_MODES, 0, nullptr,
     add_to_list(&PackOptions::exclude_paths), "GLOB",
     "leave out of --add the entries whose path matches GLOB ('*' matches '/' too, as in "
     "'*/__pycache__')"},
    {"--env", 0, OPTION_VALUE | OPTION_REPEATS, PACKING_MODES, 0, nullptr,
     convert_with(take_env), "NAME=VALUE",
     // No braces: --help fills in what stands in them.
     "set NAME in the program's environment (never the launcher's); in VALUE, $ORIGIN "
     "(braced or not) stands for the work directory's path, '$' and a name in braces for "
     "the caller's value of it, $$ for '$'; the last of a NAME wins"},
    {"--max-glibc", 0, OPTION_VALUE, PACKING_MODES, 0, nullptr,
     convert_with(take_max_glibc), "X.Y",
     "refuse (status 2, nothing written) when an entry needs a glibc newer than X.Y, naming "
     "it and one symbol"},
    {"--static-runtime", 0, 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::static_runtime), nullptr,
     "link the launcher statically with the C library: it needs no libc.so.6 and no loader "
     "and starts on any Linux kernel since the C library's floor (3.2), with or without a "
     "C library; for programs that need none either (a static Go or Rust program, "
     "busybox). About 750 KB larger"},
    {"--verbose", 'v', 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::verbose), nullptr,
     "print each entry, where it was found and why it was taken, and the libraries left "
     "to the system; after packing, each entry's size, stored size and ratio, the "
     "launcher's size, the space a run needs in the temp directory, and a note on entries "
     "with debug sections (-n gives the same without what packing tells)"},
    {"--dry-run", 'n', 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::dry_run), nullptr,
     "print that plan and write nothing (-o not needed)"},
    {"--level", 0, OPTION_VALUE | OPTION_DIGIT_FORMS, PACKING_MODES, 0, nullptr,
     convert_with(take_level), "N",
     "the encoder's effort: -9 (the default) packs smallest, -1 several times faster and "
     "somewhat larger; every level unpacks the same way"},
    {"--no-cache", 0, 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::no_cache), nullptr,
     "neither reuse nor keep compressed streams (see below)"},
    {"--unpack-once", 0, 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::unpack_once), nullptr,
     "the launcher unpacks once per version and user, into $XDG_CACHE_HOME/sfxlaunch "
     "(default ~/.cache/sfxlaunch), and at each start checks that directory cheaply and "
     "execs the program in place: its own pid, the caller's signal dispositions"},
    {"--quiet", 'q', 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::quiet), nullptr,
     "no progress line while compressing"},
    {"--inspect", 0, 0, MODE_INSPECT | MODE_VERIFY, MODE_INSPECT, nullptr,
     set_flag(&PackOptions::inspect), nullptr,
     "show LAUNCHER's target, entries (stored and unpacked size, ratio, architecture), the "
     "temp space a run needs and its manifest, from its headers alone; with --verify also "
     "check it and show each ELF entry's newest glibc need"},
    {"--json", 0, 0, MODE_INSPECT, 0, nullptr,
     set_flag(&PackOptions::json), nullptr,
     "print JSON instead of a table"},
    {"--verify", 0, 0, MODE_INSPECT | MODE_VERIFY, MODE_VERIFY, nullptr,
     set_flag(&PackOptions::verify), nullptr,
     "check LAUNCHER's table, decode every entry as a run would and compare it with the "
     "manifest; one line per entry"},
    {"--no-manifest-ok", 0, 0, MODE_VERIFY, 0, nullptr,
     set_flag(&PackOptions::no_manifest_ok), nullptr,
     "pass a launcher without a manifest, as sfxpack made them before it wrote one (a "
     "launcher whose runtime comes with a manifest still fails without it)"},
    {"--extract", 0, 0, MODE_EXTRACT, MODE_EXTRACT, nullptr,
     set_flag(&PackOptions::extract), nullptr,
     "write LAUNCHER's entries into DIR (made 0700, must not exist) as @unpack would, "
     "checked against the manifest"},
    {"--key", 0, OPTION_VALUE | OPTION_REPEATS | OPTION_FILE_VALUE, MODE_VERIFY, 0, nullptr,
     add_to_list(&PackOptions::keys), "PUBKEY",
     "pass only a launcher signed by a key of PUBKEY (id_ed25519.pub, authorized_keys or "
     "allowed_signers, whose namespaces= it honours); may be given again"},
    {"--sign", 0, OPTION_VALUE | OPTION_FILE_VALUE, PACKING_MODES | MODE_SIGN, MODE_SIGN,
     nullptr, keep_text(&PackOptions::sign_key), "KEY",
     "sign the launcher with the unencrypted Ed25519 private key KEY (ssh-keygen -t ed25519 "
     "-N ''); without -o, sign (or sign again) LAUNCHER in place, changing only its last "
     "512 bytes"},
    {"--embed-signature", 0, OPTION_VALUE | OPTION_FILE_VALUE, MODE_EMBED, MODE_EMBED, nullptr,
     keep_text(&PackOptions::embed_signature), "SIG",
     "put SIG, made by ssh-keygen -Y sign -n sfxlaunch over all of LAUNCHER but its last 512 "
     "bytes, into LAUNCHER, once it is checked"},
    {"--forget", 0, 0, MODE_FORGET, MODE_FORGET, nullptr,
     set_flag(&PackOptions::forget), nullptr,
     "remove LAUNCHER's --unpack-once cache directories of the calling user, every "
     "version, except those in use; one line per directory"},
    {"--help", 'h', 0, ALL_MODES, 0, nullptr,
     set_flag(&PackOptions::help), nullptr,
     "show this text"},
    {"--strip", 0, 0, PACKING_MODES, 0, nullptr,
     set_flag(&PackOptions::strip), nullptr,
     "pack copies of the FILEs without their debug information (strip --strip-debug); the "
     "FILEs themselves are only read"},
    {"--version", 0, 0, ALL_MODES, 0, nullptr,
     set_flag(&PackOptions::version), nullptr,
     "print sfxpack's version"},
};

const size_t pack_option_count = sizeof pack_option_table / sizeof pack_option_table[0];

std::string option_spelling(const PackOption &option)
{
    if (option.name != nullptr)
        return option.name;
    return std::string("-") + option.short_name;
}

std::string options_selecting(unsigned modes)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < pack_option_count; i++)
        if ((pack_option_table[i].selects & modes) != 0)
            names.push_back(option_spelling(pack_option_table[i]));
    std::string list;
    for (size_t i = 0; i < names.size(); i++)
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return list;
}
