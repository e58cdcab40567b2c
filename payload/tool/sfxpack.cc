// sfxpack: packs files into a self-extracting launcher, or reads one back.
// Parses the command line, then hands off to one command (cli/).
#include <stdio.h>

#include "cli/commands.h"
#include "cli/pack_options.h"
#include "sfx_version.h"
#include "sys/diagnostics.h"
#include "sys/fatal_signals.h"

int main(int argc, char **argv)
{
    catch_fatal_signals();
    PackOptions options;
    std::string error;
    if (parse_pack_options(argc, argv, options, error)) {
        print_error(error + " (see sfxpack --help)");
        return EXIT_USAGE;
    }
    if (options.help) {
        fputs(pack_help().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        puts("sfxpack (sfxlaunch) " SFX_VERSION);
        return 0;
    }

    if (options.forget)
        return forget_launcher(options.files[0].path);
    if (options.extract)
        return extract_launcher(options.files[0].path, options.files[1].path);
    if (options.inspect)
        return inspect_launcher(options.files[0].path, options.json, options.verify,
                                options.no_manifest_ok, options.keys);
    if (options.verify)
        return verify_launcher(options.files[0].path, options.no_manifest_ok, options.keys);
    if (options.sign_in_place)
        return sign_launcher(options.files[0].path, options.sign_key);
    if (!options.embed_signature.empty())
        return embed_signature(options.files[0].path, options.embed_signature);
    return pack_launcher(options);
}
