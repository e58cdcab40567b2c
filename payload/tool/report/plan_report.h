// The plan as --verbose and --dry-run print it.
#ifndef SFXPACK_PLAN_REPORT_H
#define SFXPACK_PLAN_REPORT_H

#include <stdio.h>

#include "bundle/bundle_plan.h"

// One line per entry and per library left to the system.
void print_plan(FILE *out, const BundlePlan &plan);

// A warning line for each entry whose file grants more than the rights of
// whoever runs it (setuid, setgid, file capabilities): unpacked by the
// launcher it grants nothing. Takes what read_plan_inputs read of the files
// given or found, before any copy replaces them.
void warn_of_lost_privileges(const BundlePlan &plan);

#endif
