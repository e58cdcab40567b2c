// sfxpack's command line, read by its option table (pack_option_table.cc):
// the options, then whether they go with the modes chosen, then the
// operands of the mode; and what the launcher would choke on.
#include "cli/pack_options.h"

#include <algorithm>
#include <set>

#include "format/entry_name.h"
#include "format.h"

// An option that binds to a FILE, waiting for it.
struct Binding {
    const PackOption *option;
    std::string value;
};

// What the parser has seen so far, beyond what it wrote into the options.
struct ParseState {
    std::vector<bool> given = std::vector<bool>(pack_option_count, false);
    std::vector<Binding> waiting;
};

static bool digit_form(const std::string &arg)
{
    return arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

// The row of the option spelt arg, or null.
static const PackOption *find_option(const std::string &arg)
{
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        if ((option.name != nullptr && arg == option.name) ||
            (option.short_name != 0 && arg.size() == 2 && arg[0] == '-' &&
             arg[1] == option.short_name) ||
            ((option.flags & OPTION_DIGIT_FORMS) != 0 && digit_form(arg)))
            return &option;
    }
    return nullptr;
}

// The value of the option spelt argv[i]: the argument after it, which i
// then points to, or the digit of -0 ... -9.
static int option_value(const PackOption &option, int argc, char **argv, int &i,
                        std::string &value, std::string &error)
{
    std::string arg = argv[i];
    if ((option.flags & OPTION_VALUE) == 0)
        return 0;
    if ((option.flags & OPTION_DIGIT_FORMS) != 0 && digit_form(arg)) {
        value = arg.substr(1);
        return 0;
    }
    if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return -1;
    }
    value = argv[++i];
    // Named in a message, an empty path would read ": No such file".
    if ((option.flags & OPTION_FILE_VALUE) != 0 && value.empty()) {
        error = arg + " needs a file name, not an empty argument";
        return -1;
    }
    return 0;
}

// Puts value where option's row says, and gives what it implies.
static int take_option(const PackOption &option, const std::string &value,
                       PackOptions &options, ParseState &state, std::string &error)
{
    const OptionStore &store = option.store;
    state.given[&option - pack_option_table] = true;
    if (store.flag != nullptr)
        options.*store.flag = true;
    if (store.text != nullptr)
        options.*store.text = value;
    if (store.list != nullptr)
        (options.*store.list).push_back(value);
    if ((option.flags & OPTION_BINDS_FILE) != 0)
        state.waiting.push_back({&option, value});
    if (store.convert != nullptr && store.convert(options, value, error))
        return -1;
    if (option.implies == nullptr)
        return 0;
    return take_option(*find_option(option.implies), "", options, state, error);
}

// An argument that is no option: a FILE, which takes the waiting bindings.
static int add_file(const std::string &arg, PackOptions &options, ParseState &state,
                    std::string &error)
{
    if (arg.empty()) {
        error = "an empty argument is not a file name";
        return -1;
    }
    if (arg.size() > 1 && arg[0] == '-') {
        error = "unknown option '" + arg + "'";
        return -1;
    }
    InputFile file;
    file.path = arg;
    file.name = base_name(arg);
    for (const Binding &binding : state.waiting) {
        const OptionStore &store = binding.option->store;
        if (store.file_flag != nullptr)
            file.*store.file_flag = true;
        if (store.file_text != nullptr)
            file.*store.file_text = binding.value;
    }
    state.waiting.clear();
    options.files.push_back(file);
    return 0;
}

// Whether the option asks for packing: it goes with nothing else, or
// selects a packing mode.
static bool packing_option(const PackOption &option)
{
    return (option.modes & ~PACKING_MODES) == 0 || (option.selects & PACKING_MODES) != 0;
}

// The modes the options given select, or packing when none does.
static unsigned chosen_modes(const ParseState &state)
{
    unsigned modes = 0;
    bool packing = false;
    for (size_t i = 0; i < pack_option_count; i++)
        if (state.given[i]) {
            modes |= pack_option_table[i].selects;
            packing = packing || packing_option(pack_option_table[i]);
        }
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        if (packing && state.given[i] && (option.modes & PACKING_MODES) != 0)
            modes &= ~(option.selects & ~PACKING_MODES);
    }
    return modes != 0 ? modes : MODE_PACK;
}

// An option that selects a mode may stand only with the modes it combines
// with; any other must go with one of the modes chosen.
static bool goes_with(const PackOption &option, unsigned modes)
{
    if (option.selects != 0)
        return (modes & ~option.modes) == 0;
    return (modes & option.modes) != 0;
}

// Why option is out of place in modes, told from its row: a packing option
// among the modes that read a launcher; one that needs the option of its
// mode; one that its packing mode excludes; a mode that combines with none
// of the others; an option of a mode not chosen.
static std::string misplaced_message(const PackOption &option, unsigned modes)
{
    std::string name = option_spelling(option);
    if ((option.modes & ~PACKING_MODES) == 0) {
        if ((modes & LAUNCHER_MODES) != 0)
            return "packing options cannot be combined with " +
                   options_selecting(LAUNCHER_MODES & ~MODE_SIGN);
        std::string needed = options_selecting(option.modes);
        if (!needed.empty())
            return name + " needs " + needed;
        return name + " cannot be used with " + options_selecting(modes & ~option.modes);
    }
    if (option.selects != 0)
        return name + " cannot be combined with " +
               options_selecting(LAUNCHER_MODES & ~option.modes);
    return name + " goes with " + options_selecting(option.modes);
}

// Of the options out of place, the one that goes with the fewest modes is
// named: --extract rather than --inspect, --bundle rather than --inspect,
// --json rather than -o.
static int check_modes(const ParseState &state, unsigned modes, std::string &error)
{
    const PackOption *misplaced = nullptr;
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        if (state.given[i] && !goes_with(option, modes) &&
            (misplaced == nullptr ||
             __builtin_popcount(option.modes) < __builtin_popcount(misplaced->modes)))
            misplaced = &option;
    }
    if (misplaced == nullptr)
        return 0;
    error = misplaced_message(*misplaced, modes);
    return -1;
}

// The modes that read or sign a launcher take only it (and --extract's
// directory).
static int check_launcher_operands(const PackOptions &options, std::string &error)
{
    size_t wanted = options.extract ? 2 : 1;
    if (options.files.size() == wanted)
        return 0;
    error = options.extract ? "--extract takes LAUNCHER DIR" : "give one LAUNCHER";
    return -1;
}

static int check_packing_operands(const PackOptions &options, std::string &error)
{
    if (options.output.empty() && !options.dry_run)
        error = "no output given (-o OUTPUT)";
    else if (options.files.empty() && (options.bundle || options.adds.empty()))
        error = options.bundle ? "no PROGRAM to bundle" : "no FILE to pack";
    else if (options.bundle && options.files.size() > 1)
        error = "--bundle takes one PROGRAM ('" + options.files[1].path +
                "' is extra; add files with --include)";
    else if (options.bundle && std::find(options.excludes.begin(), options.excludes.end(),
                                         "") != options.excludes.end())
        error = "--exclude needs a library name";
    else
        return 0;
    return -1;
}

int parse_pack_options(int argc, char **argv, PackOptions &options,
                       std::string &error)
{
    ParseState state;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const PackOption *option = find_option(arg);
        std::string value;
        if (arg == "--") {
            for (i++; i < argc; i++) {
                if (argv[i][0] == '\0') {
                    error = "an empty argument is not a file name";
                    return -1;
                }
                options.files.push_back({argv[i], base_name(argv[i]), false});
            }
            break;
        } else if (option == nullptr) {
            if (add_file(arg, options, state, error))
                return -1;
        } else if (option_value(*option, argc, argv, i, value, error) ||
                   take_option(*option, value, options, state, error)) {
            return -1;
        }
    }
    if (options.help || options.version)
        return 0;
    if (!state.waiting.empty()) {
        const PackOption *first = state.waiting[0].option;
        for (const Binding &binding : state.waiting)
            first = std::min(first, binding.option);
        error = option_spelling(*first) + " must stand right before a FILE";
        return -1;
    }
    unsigned modes = chosen_modes(state);
    if (check_modes(state, modes, error))
        return -1;
    options.sign_in_place = (modes & MODE_SIGN) != 0;
    if ((modes & LAUNCHER_MODES) != 0)
        return check_launcher_operands(options, error);
    return check_packing_operands(options, error);
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

int check_pack_options(const PackOptions &options, bool tree,
                       std::vector<std::string> &warnings, std::string &error)
{
    // A tree's other paths, their number and their clashes are its plan's
    // to check (bundle/tree_plan.h).
    if (tree)
        return options.files.empty() ? 0 : check_name(options.files[0].name, true, error);
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

const unsigned program_name_limit = MAX_PROGRAM_NAME_BYTES;
