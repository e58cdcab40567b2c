#include "sys/progress_line.h"

#include <stdio.h>
#include <unistd.h>

// The line being shown, if any: a warning must not land in its middle.
static ProgressLine *shown_line = nullptr;
static std::mutex shown_line_lock;

// Often enough to look alive, seldom enough to cost nothing.
static constexpr std::chrono::milliseconds redraw_interval(100);

bool progress_wanted(bool quiet) { return !quiet && isatty(STDERR_FILENO); }

static void erase(ProgressLine &line)
{
    if (line.width == 0)
        return;
    fprintf(stderr, "\r%*s\r", (int)line.width, "");
    line.width = 0;
}

// Called with line.drawing held.
static void draw(ProgressLine &line, std::chrono::steady_clock::time_point now)
{
    uint64_t done = line.bytes_done.load();
    long seconds = (long)std::chrono::duration_cast<std::chrono::seconds>(now - line.started).count();
    unsigned percent = line.bytes_total == 0 ? 100 : (unsigned)(done * 100 / line.bytes_total);
    char text[160];
    int length = snprintf(text, sizeof text,
                          "sfxpack: compressing %zu/%zu files, %.1f/%.1f MB, %u%%, %ld:%02ld",
                          line.files_done.load(), line.files_total, (double)done / 1e6,
                          (double)line.bytes_total / 1e6, percent, seconds / 60, seconds % 60);
    if (length < 0)
        return;
    // Shorter than the line before: pad, so that none of it is left over.
    fprintf(stderr, "\r%-*s", (int)line.width, text);
    if ((size_t)length > line.width)
        line.width = length;
    fflush(stderr);
    line.drawn = now;
}

static void redraw(ProgressLine &line, bool always)
{
    if (!line.shown)
        return;
    std::lock_guard<std::mutex> hold(line.drawing);
    auto now = std::chrono::steady_clock::now();
    if (always || now - line.drawn >= redraw_interval)
        draw(line, now);
}

void progress_start(ProgressLine &line, size_t files, uint64_t bytes, bool shown)
{
    line.files_total = files;
    line.bytes_total = bytes;
    line.shown = shown;
    line.started = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(shown_line_lock);
        shown_line = shown ? &line : nullptr;
    }
    redraw(line, true);
}

void progress_advance(ProgressTicket &ticket, uint64_t consumed)
{
    if (ticket.line == nullptr || consumed <= ticket.counted)
        return;
    ticket.line->bytes_done += consumed - ticket.counted;
    ticket.counted = consumed;
    redraw(*ticket.line, false);
}

void progress_file_done(ProgressLine &line, uint64_t rest)
{
    line.bytes_done += rest;
    line.files_done++;
    redraw(line, false);
}

void progress_finish(ProgressLine &line)
{
    {
        std::lock_guard<std::mutex> hold(shown_line_lock);
        shown_line = nullptr;
    }
    if (!line.shown)
        return;
    std::lock_guard<std::mutex> hold(line.drawing);
    erase(line);
    fflush(stderr);
}

void progress_pause()
{
    shown_line_lock.lock();
    if (shown_line == nullptr)
        return;
    // The line comes back with the next report.
    shown_line->drawing.lock();
    erase(*shown_line);
}

void progress_resume()
{
    if (shown_line != nullptr)
        shown_line->drawing.unlock();
    shown_line_lock.unlock();
}
