// The plan as --verbose and --dry-run print it.
#include "report/plan_report.h"

#include <sys/stat.h>

#include "payload.h"
#include "sys/diagnostics.h"

// What the launcher makes of a tree's entry, and with what mode.
static std::string tree_details(const BundlePlan &plan, const PlanEntry &e)
{
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", (unsigned)e.mode);
    switch (e.kind) {
    case TREE_DIRECTORY:
        return std::string("; an empty directory, mode ") + mode;
    case TREE_SYMLINK:
        return "; a symbolic link, found at " + e.path;
    case TREE_HARD_LINK:
        return "; a hard link to entry " + std::to_string(e.link) + ", " +
               plan.entries[e.link].name;
    default:
        return std::string("; a file, mode ") + mode;
    }
}

void print_plan(FILE *out, const BundlePlan &plan)
{
    for (size_t i = 0; i < plan.entries.size(); i++) {
        const PlanEntry &e = plan.entries[i];
        std::string details = e.why;
        if (!e.found.empty())
            details += "; found through " + e.found;
        if (!e.needs.empty()) {
            details += "; needs ";
            for (size_t n = 0; n < e.needs.size(); n++)
                details += (n ? ", " : "") + e.needs[n];
        }
        if (e.origin == ORIGIN_SET)
            details += "; run-time search path set to " + e.rpath;
        else if (e.origin == ORIGIN_KEPT)
            details += "; run-time search path already begins with $ORIGIN";
        else if (e.origin == ORIGIN_CONVERTED)
            details += "; its RUNPATH, which begins with $ORIGIN, made an RPATH";
        else if (e.origin == ORIGIN_TRIMMED)
            details += "; its RPATH begins with $ORIGIN";
        else if (e.origin == ORIGIN_LOADER)
            details += "; started through the packed loader, the launcher writes the work "
                       "directory into its PT_INTERP and RPATH";
        if (e.c_library)
            details += "; the C library's, packed as it is (--libc)";
        for (const auto &r : e.renamed_needs)
            details += "; needs " + r.second + " for " + r.first + ", the same file";
        if (!e.dropped.empty()) {
            details += e.origin == ORIGIN_LOADER
                           ? "; left out of its search path, which the work directory fills: "
                           : "; left out of its search path, as outside the work directory: ";
            for (size_t d = 0; d < e.dropped.size(); d++)
                details += (d ? ", " : "") + e.dropped[d];
        }
        if (plan.tree)
            details += tree_details(plan, e);
        // A link shows what it unpacks to; it was found at e.path.
        fprintf(out, "entry %zu: %s %s %s (%s)\n", i, e.name.c_str(),
                e.kind == TREE_SYMLINK ? "->" : "<-",
                (e.kind == TREE_SYMLINK ? e.target : e.path).c_str(), details.c_str());
    }
    for (const SystemLibrary &s : plan.left_to_system)
        fprintf(out, "system: %s (needed by %s; %s)\n", s.name.c_str(),
                s.needed_by.c_str(), s.why.c_str());
    for (const std::string &note : plan.notes)
        fprintf(out, "note: %s\n", note.c_str());
    fprintf(out, "%zu entr%s for %s, %zu librar%s left to the system\n",
            plan.entries.size(), plan.entries.size() == 1 ? "y" : "ies", plan.target->name,
            plan.left_to_system.size(), plan.left_to_system.size() == 1 ? "y" : "ies");
}

void warn_of_lost_privileges(const BundlePlan &plan)
{
    for (const PlanEntry &e : plan.entries) {
        std::vector<std::string> lost;
        if (e.input.mode & S_ISUID)
            lost.push_back("setuid bit");
        // Without group execute, the set-group-ID bit marks mandatory locking.
        if ((e.input.mode & (S_ISGID | S_IXGRP)) == (S_ISGID | S_IXGRP))
            lost.push_back("setgid bit");
        if (e.input.capabilities)
            lost.push_back("file capabilities (security.capability)");
        if (lost.empty())
            continue;
        std::string what = lost[0];
        for (size_t i = 1; i < lost.size(); i++)
            what += (i + 1 == lost.size() ? " and " : ", ") + lost[i];
        print_warning(e.path + ": packed, it loses its " + what +
                      ": the launcher unpacks every file with mode 0700, to run with the "
                      "rights of whoever starts it");
    }
}
