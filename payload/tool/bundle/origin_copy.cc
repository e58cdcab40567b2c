#include "bundle/origin_copy.h"

#include <stdlib.h>

#include "format/entry_name.h"
#include "sys/command_output.h"
#include "sys/mapped_file.h"
#include "sys/write_file.h"

static std::string first_line(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no reason given" : line;
}

// Runs patchelf with args on copy, to do what (for the message). Returns 0,
// or -1 with a one-line reason.
static int run_patchelf(const std::string &patchelf, const std::vector<std::string> &args,
                        const std::string &copy, const PlanEntry &e, const std::string &what,
                        std::string &error)
{
    std::vector<std::string> argv = {patchelf};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(copy);
    std::string output;
    std::string why;
    int status = capture_command(argv, output, why);
    if (status < 0) {
        error = "cannot run " + patchelf + " (" + why + "), which --bundle needs to set "
                "run-time search paths (Debian package patchelf)";
        return -1;
    }
    if (status != 0) {
        error = "patchelf could not " + what + " of " + e.name +
                " (" + e.path + "): " + first_line(output);
        return -1;
    }
    return 0;
}

// The copy, as the original was when planning read it.
static int copy_as_read(const PlanEntry &e, const std::string &copy, std::string &error)
{
    MappedFile original;
    Bytes bytes;
    if (map_unchanged(e.input.path, e.input.identity, original, error) != 0 ||
        copy_mapped(original, bytes, error) != 0 ||
        write_file(copy, bytes.data(), bytes.size(), error) != 0)
        return -1;
    return 0;
}

int make_origin_copies(BundlePlan &plan, TempDir &dir, std::vector<InputFile> &files,
                       std::string &error)
{
    const char *env = getenv("SFXPACK_PATCHELF");
    std::string patchelf = env && *env ? env : "patchelf";
    for (size_t i = 0; i < plan.entries.size(); i++) {
        PlanEntry &e = plan.entries[i];
        bool new_rpath = e.origin == ORIGIN_SET || e.origin == ORIGIN_CONVERTED ||
                         e.origin == ORIGIN_TRIMMED || e.origin == ORIGIN_LOADER;
        if (!new_rpath && e.renamed_needs.empty())
            continue;
        if (dir.path.empty() && dir.create(error))
            return -1;
        // A tree's entry names hold '/': the index keeps base names apart.
        std::string copy = dir.path + "/" + std::to_string(i) + "-" + base_name(e.name);
        if (copy_as_read(e, copy, error))
            return -1;
        // Both tags go first: patchelf would rewrite each one it finds, and
        // the loader ignores DT_RPATH beside any DT_RUNPATH.
        const std::string rpath = "set the run-time search path";
        if (new_rpath &&
            (run_patchelf(patchelf, {"--remove-rpath"}, copy, e, rpath, error) ||
             run_patchelf(patchelf, {"--force-rpath", "--set-rpath", e.rpath}, copy, e, rpath,
                          error)))
            return -1;
        if (e.origin == ORIGIN_LOADER &&
            run_patchelf(patchelf, {"--set-interpreter", loader_path_placeholder()}, copy, e,
                         "keep room for the loader's path in the PT_INTERP", error))
            return -1;
        for (const auto &r : e.renamed_needs)
            if (run_patchelf(patchelf, {"--replace-needed", r.first, r.second}, copy, e,
                             "rename the needed library " + r.first, error))
                return -1;
        files[i].path = copy;
        read_plan_input(plan, e, copy, e.input);
    }
    return 0;
}
