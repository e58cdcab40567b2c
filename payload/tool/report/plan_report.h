// The plan as --verbose and --dry-run print it.
#ifndef SFXPACK_PLAN_REPORT_H
#define SFXPACK_PLAN_REPORT_H

#include <stdio.h>

#include "bundle/bundle_plan.h"

// One line per entry and per library left to the system.
void print_plan(FILE *out, const BundlePlan &plan);

#endif
