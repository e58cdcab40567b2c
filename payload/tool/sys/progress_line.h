// The one self-updating line that shows a pack's compression on a terminal.
#ifndef SFXPACK_PROGRESS_LINE_H
#define SFXPACK_PROGRESS_LINE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

struct ProgressLine {
    bool shown = false;  // standard error is a terminal and -q was not given
    size_t files_total = 0;
    uint64_t bytes_total = 0;
    std::atomic<size_t> files_done{0};
    std::atomic<uint64_t> bytes_done{0};
    std::mutex drawing;  // the fields below, and the terminal
    std::chrono::steady_clock::time_point started, drawn;
    size_t width = 0;    // of the line on the terminal now; 0 when none
};

// What one file has counted so far, so that its later reports add only the
// difference.
struct ProgressTicket {
    ProgressLine *line;
    uint64_t counted;
};

// Whether a progress line belongs on this standard error at all.
bool progress_wanted(bool quiet);

void progress_start(ProgressLine &line, size_t files, uint64_t bytes, bool shown);
// consumed: the file's bytes read by the encoder so far.
void progress_advance(ProgressTicket &ticket, uint64_t consumed);
// A file is finished; rest is what it has not counted yet.
void progress_file_done(ProgressLine &line, uint64_t rest);
// Erases the line, leaving the terminal as it was before.
void progress_finish(ProgressLine &line);

// Erases the line shown, if any, and keeps it from being drawn until
// progress_resume, so that what is printed in between starts a clean line.
void progress_pause();
void progress_resume();

#endif
