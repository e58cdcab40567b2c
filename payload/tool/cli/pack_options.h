// The packer's command line: one table of its options, which the parser,
// the mode checks and --help all read.
#ifndef SFXPACK_PACK_OPTIONS_H
#define SFXPACK_PACK_OPTIONS_H

#include <stddef.h>

#include <string>
#include <vector>

#include "cli/pack_request.h"

// What a command line asks for. Packing is what it does when no option
// selects a mode; the other modes work on a launcher already made.
enum : unsigned {
    MODE_PACK = 1u << 0,
    MODE_BUNDLE = 1u << 1,
    MODE_INSPECT = 1u << 2,
    MODE_VERIFY = 1u << 3,
    MODE_EXTRACT = 1u << 4,
    MODE_SIGN = 1u << 5,   // --sign without the packing options: in place
    MODE_EMBED = 1u << 6,
    MODE_FORGET = 1u << 7,
    PACKING_MODES = MODE_PACK | MODE_BUNDLE,
    LAUNCHER_MODES =
        MODE_INSPECT | MODE_VERIFY | MODE_EXTRACT | MODE_SIGN | MODE_EMBED | MODE_FORGET,
    ALL_MODES = PACKING_MODES | LAUNCHER_MODES,
};

enum : unsigned {
    OPTION_VALUE = 1u << 0,        // takes the next argument as its value
    OPTION_REPEATS = 1u << 1,      // may be given again; every value is kept
    OPTION_BINDS_FILE = 1u << 2,   // applies to the FILE that follows it
    OPTION_FILE_VALUE = 1u << 3,   // its value is a file name, never empty
    OPTION_DIGIT_FORMS = 1u << 4,  // -0 ... -9 give it that digit as value
};

// Where an option puts what it is given: each field that is set.
struct OptionStore {
    bool PackOptions::*flag;                      // made true
    std::string PackOptions::*text;               // the value, the last given
    std::vector<std::string> PackOptions::*list;  // every value, in order
    bool InputFile::*file_flag;                   // made true on the bound FILE
    std::string InputFile::*file_text;            // the value, on the bound FILE
    // Checks the value and keeps it in its own form; 0, or -1 with a reason.
    int (*convert)(PackOptions &options, const std::string &value, std::string &error);
};

struct PackOption {
    const char *name;    // "--target"; null when it has only a short form
    char short_name;     // 'o' for -o, or 0
    unsigned flags;      // OPTION_*
    // The MODE_*s it goes with. For an option that selects a mode: the
    // modes it may be combined with, its own among them.
    unsigned modes;
    // The MODE_* it selects, or 0. One that goes with packing too (--sign)
    // selects its mode only when no option asks for packing.
    unsigned selects;
    const char *implies;      // the name of an option it gives as well, or null
    OptionStore store;
    const char *placeholder;  // its value's name in --help, or null
    // Its line in --help, unwrapped; "{name}" stands for a number (see
    // pack_help.cc), and "with --bundle: " is put before it from its modes.
    const char *help;
};

extern const PackOption pack_option_table[];
extern const size_t pack_option_count;

// The option as the user writes it and messages name it: "--target", "-o".
std::string option_spelling(const PackOption &option);

// The options that select any of modes, as "--inspect, --verify or
// --extract"; empty when none does (plain packing has no option).
std::string options_selecting(unsigned modes);

// Fills options from argv. Returns 0, or -1 with a one-line reason in error.
int parse_pack_options(int argc, char **argv, PackOptions &options,
                       std::string &error);

// Checks what the launcher would choke on. Problems that --force may waive
// are returned in warnings when it is given, and in error otherwise. Of a
// tree payload, only the program's name is checked here.
int check_pack_options(const PackOptions &options, bool tree,
                       std::vector<std::string> &warnings, std::string &error);

// The longest entry name the program may have, which --help quotes.
extern const unsigned program_name_limit;

// The text of sfxpack --help.
std::string pack_help();

#endif
