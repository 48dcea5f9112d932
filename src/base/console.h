#pragma once
// Console output. Every text is UTF-8 and is written with one write, so texts from different
// threads never mix inside one text.
//
// Until con_start_writer runs, each text is written at once on the calling thread. From then
// on texts go through a bounded queue to one writer thread, in the order they were queued, so
// no caller ever waits for the console: a selection in a Windows console window, or a paused
// terminal, blocks every write until it ends. When the queue is full a text is dropped and
// counted; the writer reports the count once there is room again.
#include <cstdint>

// Texts the queue holds at most.
constexpr int CON_QUEUE_TEXTS = 256;
// How long the stop line may take to reach the console before the process ends anyway.
constexpr int CON_FINAL_WAIT_MS = 500;

// Writes or queues one UTF-8 text: to a real Windows console as UTF-16 (right in any code
// page), else the bytes unchanged, flushed at once. A null text writes nothing.
void con_write(const char* text);
// text followed by "\n", as one text.
void con_write_line(const char* text);

// Starts the writer thread. 0 when it runs (also when it already ran); -1 when it could not
// be started, and texts are then still written at once.
int con_start_writer();

// Queues text even when the queue is full and accepts nothing after it, then waits up to
// wait_ms for everything queued to be written: for the last line before the process ends.
// Before the writer starts, writes text at once. 1 when everything was written, 0 when the
// time ran out.
int con_write_final(const char* text, int wait_ms);

// Waits up to wait_ms until every queued text is written. 1 when it was, else 0.
int con_flush(int wait_ms);

// Writes what is queued, however long that takes, ends the writer thread and returns to
// writing at once; the drop count and the refusal after a final text are reset.
void con_stop_writer();

// Texts dropped because the queue was full since the writer started.
uint64_t con_dropped_count();

// Turns QuickEdit off on a Windows console's input, so that a click into the window cannot
// start a selection that holds every console write; the mode it had is kept for
// con_restore_input_mode. Nothing when standard input is not a console, and on POSIX.
void con_quick_edit_off();
// Gives the console input back the mode con_quick_edit_off found (once; later calls do
// nothing), since a console shared with a shell keeps whatever mode the last program set.
void con_restore_input_mode();

// Where texts are written: a test replaces the console with its own sink (null restores
// the console). The sink is called from one thread at a time.
using ConSink = void (*)(const char* text);
void con_set_sink(ConSink sink);
