#include "sys/diagnostics.h"

#include <stdio.h>

#include "sys/progress_line.h"

static void print_line(const char *kind, const std::string &text)
{
    // Compression threads warn while the line is drawn: it is erased first
    // and comes back with its next report.
    progress_pause();
    fprintf(stderr, "sfxpack: %s%s\n", kind, text.c_str());
    fflush(stderr);
    progress_resume();
}

void print_error(const std::string &text) { print_line("", text); }

void print_warning(const std::string &text) { print_line("warning: ", text); }
