// sfxpack --help: the usage lines and the prose around the options are
// written here; the options' own lines are rendered from their table, and
// the numbers come from the limits they quote.
#include <algorithm>

#include "cli/pack_options.h"
#include "format.h"
#include "format/stored_stream.h"

static_assert(LZMA_ALONE_DICTIONARY % (1u << 20) == 0, "--help gives the dictionary in MiB");

static const char usage_and_description[] =
    "usage: sfxpack [--target x86_64|i386] [--static-runtime] [--force] [--sign KEY]\n"
    "               -o OUTPUT [--name NAME] [--stored] FILE ...\n"
    "       sfxpack --bundle [--libc] [--target x86_64|i386] [--static-runtime] [--exclude NAME]...\n"
    "               [--include FILE]... [--sign KEY]\n"
    "               -o OUTPUT [--name NAME] PROGRAM\n"
    "       sfxpack --inspect [--verify [--no-manifest-ok] [--key PUBKEY]...] [--json]\n"
    "               LAUNCHER\n"
    "       sfxpack --verify [--no-manifest-ok] [--key PUBKEY]... LAUNCHER\n"
    "       sfxpack --extract LAUNCHER DIR\n"
    "       sfxpack --sign KEY LAUNCHER\n"
    "       sfxpack --embed-signature SIG LAUNCHER\n"
    "       sfxpack --forget LAUNCHER\n"
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
    "launcher runs; the files themselves are never modified. With --add, every\n"
    "executable and shared object of the trees (helpers, plugins, modules) is\n"
    "bundled too: its libraries go beside the program, and its copy gets a\n"
    "DT_RPATH that climbs to them ($ORIGIN/../.. two directories down).\n"
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
    "untouched; so do the trees' executables. Use it for machines you do not\n"
    "control; NSS modules other than files and dns, gconv modules and locales\n"
    "still come from the machine.\n"
    "\n";

static const char after_options[] =
    "Each FILE is compressed as an LZMA-Alone stream (lc {lc}, lp {lp}, pb {pb},\n"
    "{dictionary_mib} MiB dictionary, exact size in the header), in parallel. The same\n"
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
    "Every launcher ends in the section signature, its last 512 bytes, which\n"
    "--sign fills with an SSH signature (namespace sfxlaunch, SHA-512) of all\n"
    "the bytes before them; ssh-keygen -Y verify checks it too. The launcher\n"
    "never checks its own signature: check it before running it.\n"
    "\n"
    "exit status: 0 packed, 1 a file could not be read, compressed, bundled\n"
    "or linked, 2 the command line is wrong, the entries would not unpack\n"
    "(more than {max_entries}, a name over {name_bytes} bytes or, for the first, "
    "{program_name_bytes}, a --stored\n"
    "stream the launcher could not decode) or one needs a newer glibc than\n"
    "--max-glibc.\n"
    "--inspect, --verify, --extract: 0 done, 1 LAUNCHER is not a sound\n"
    "launcher (or a check failed, or DIR could not be written), 2 the command\n"
    "line is wrong.\n"
    "--sign, --embed-signature: 0 signed, 1 the key, the signature or LAUNCHER\n"
    "would not do (LAUNCHER is then left as it was), 2 the command line is wrong.\n"
    "--forget: 0 done (a directory in use is kept and named), 1 LAUNCHER is not\n"
    "a launcher or a directory could not be removed, 2 the command line is wrong.\n";

// Where an option's text starts, and the widest line it may make.
enum { HELP_TEXT_COLUMN = 19, HELP_WIDTH = 76 };

// text with each "{name}" replaced by the number of that name.
static std::string with_numbers(const std::string &text)
{
    const struct {
        const char *name;
        unsigned value;
    } numbers[] = {
        {"max_entries", PAYLOAD_MAX_ENTRIES},
        {"name_bytes", ENTRY_NAME_MAX},
        {"program_name_bytes", program_name_limit},
        {"lc", LZMA_ALONE_LC},
        {"lp", LZMA_ALONE_LP},
        {"pb", LZMA_ALONE_PB},
        {"dictionary_mib", LZMA_ALONE_DICTIONARY >> 20},
    };
    std::string out;
    size_t at = 0;
    for (size_t open; (open = text.find('{', at)) != std::string::npos;) {
        size_t close = text.find('}', open);
        if (close == std::string::npos)
            break;
        std::string name = text.substr(open + 1, close - open - 1);
        // A name that is not here stays as it is, for the tests to see.
        std::string shown = text.substr(open, close + 1 - open);
        for (const auto &number : numbers)
            if (name == number.name)
                shown = std::to_string(number.value);
        out += text.substr(at, open - at) + shown;
        at = close + 1;
    }
    return out + text.substr(at);
}

// "-v, --verbose", "-o OUTPUT", "-0 ... -9, --level N".
static std::string option_column(const PackOption &option)
{
    std::string column;
    if ((option.flags & OPTION_DIGIT_FORMS) != 0)
        column = "-0 ... -9, ";
    if (option.short_name != 0 && option.name != nullptr)
        column += std::string("-") + option.short_name + ", ";
    column += option_spelling(option);
    if (option.placeholder != nullptr)
        column += std::string(" ") + option.placeholder;
    return column;
}

// An option that goes only with modes that options select says so first:
// "with --bundle: ".
static std::string option_text(const PackOption &option)
{
    unsigned selectable = 0;
    for (size_t i = 0; i < pack_option_count; i++)
        selectable |= pack_option_table[i].selects;
    std::string text = with_numbers(option.help);
    if (option.selects != 0 || (option.modes & ~selectable) != 0)
        return text;
    return "with " + options_selecting(option.modes) + ": " + text;
}

// The option's lines: its column, then its text wrapped beside it.
static std::string option_lines(const PackOption &option)
{
    std::string lines;
    std::string line = "  " + option_column(option);
    if (line.size() >= HELP_TEXT_COLUMN) {
        lines = line + "\n";
        line.clear();
    }
    line.resize(HELP_TEXT_COLUMN, ' ');
    std::string text = option_text(option);
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find(' ', at), text.size());
        std::string word = text.substr(at, end - at);
        at = end + 1;
        if (line.size() > HELP_TEXT_COLUMN && line.size() + 1 + word.size() > HELP_WIDTH) {
            lines += line + "\n";
            line.assign(HELP_TEXT_COLUMN, ' ');
        } else if (line.size() > HELP_TEXT_COLUMN) {
            line += ' ';
        }
        line += word;
    }
    return lines + line + "\n";
}

std::string pack_help()
{
    std::string help = with_numbers(usage_and_description) + "options:\n";
    for (size_t i = 0; i < pack_option_count; i++)
        help += option_lines(pack_option_table[i]);
    return help + "\n" + with_numbers(after_options);
}
