#include "base/console.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "base/console_platform.h"
#include "base/thread.h"

namespace {
constexpr size_t WRITER_STACK_BYTES = 64 * 1024;
constexpr const char* DROPPED_FORMAT = "  [!] 控制台忙不过来，有 %llu 行没有显示\n";

struct ConQueue {
    std::mutex lock;
    // Signalled when a text is queued, when the writer finished one, and when it should end.
    std::condition_variable changed;
    std::deque<std::string> texts;
    bool running = false;   // the writer thread takes the texts
    bool stopping = false;  // the writer should end once the queue is empty
    bool writing = false;   // the writer holds a text it has not finished writing
    bool closed = false;    // a final text was queued: nothing is accepted after it
    uint64_t unreported = 0;  // dropped since the last report
    uint64_t dropped = 0;     // dropped since the writer started
};

// Never destroyed: the writer thread may still wait on it while the process ends.
ConQueue& queue() {
    static ConQueue* q = new ConQueue;
    return *q;
}

std::atomic<ConSink> Sink{nullptr};

void sink_write(const char* text) {
    ConSink sink = Sink.load();
    if (sink)
        sink(text);
    else
        con_platform_write(text);
}

std::string dropped_report(uint64_t count) {
    char line[128];
    snprintf(line, sizeof line, DROPPED_FORMAT, static_cast<unsigned long long>(count));
    return line;
}

bool idle(const ConQueue& q) { return q.texts.empty() && !q.writing; }

void writer_thread(void* raw) {
    ConQueue& q = *static_cast<ConQueue*>(raw);
    std::unique_lock<std::mutex> hold(q.lock);
    for (;;) {
        q.changed.wait(hold, [&q] { return !q.texts.empty() || q.stopping; });
        if (q.texts.empty()) break;
        std::string text = std::move(q.texts.front());
        q.texts.pop_front();
        // The slot just freed is where the gap is: lines queued later were dropped.
        if (q.unreported > 0) {
            q.texts.push_back(dropped_report(q.unreported));
            q.unreported = 0;
        }
        q.writing = true;
        hold.unlock();
        sink_write(text.c_str());
        hold.lock();
        q.writing = false;
        q.changed.notify_all();
    }
    q.running = false;
    q.stopping = false;
    q.changed.notify_all();
}

// Hands text to the writer (moving it out of text). False when no writer runs: text is then
// left as it was, for the caller to write itself.
bool enqueue(std::string& text, bool final_text) {
    ConQueue& q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    if (!q.running) return false;
    if (q.closed) return true;
    if (!final_text && q.texts.size() >= static_cast<size_t>(CON_QUEUE_TEXTS)) {
        q.unreported++;
        q.dropped++;
        return true;
    }
    if (final_text && q.unreported > 0) {
        q.texts.push_back(dropped_report(q.unreported));
        q.unreported = 0;
    }
    q.texts.push_back(std::move(text));
    q.closed = final_text;
    q.changed.notify_all();
    return true;
}

void write_or_queue(std::string text) {
    if (!enqueue(text, false)) sink_write(text.c_str());
}
}  // namespace

void con_write(const char* text) {
    if (text) write_or_queue(std::string(text));
}

void con_write_line(const char* text) {
    if (text) write_or_queue(std::string(text) + "\n");
}

int con_start_writer() {
    ConQueue& q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    if (q.running) return 0;
    if (thread_start_detached(writer_thread, &q, WRITER_STACK_BYTES) != 0) return -1;
    q.running = true;
    q.dropped = 0;
    q.unreported = 0;
    q.closed = false;
    return 0;
}

int con_write_final(const char* text, int wait_ms) {
    if (!text) return con_flush(wait_ms);
    std::string own(text);
    if (!enqueue(own, true)) {
        sink_write(text);
        return 1;
    }
    return con_flush(wait_ms);
}

int con_flush(int wait_ms) {
    ConQueue& q = queue();
    std::unique_lock<std::mutex> hold(q.lock);
    if (!q.running) return 1;
    return q.changed.wait_for(hold, std::chrono::milliseconds(wait_ms), [&q] { return idle(q); })
               ? 1
               : 0;
}

void con_stop_writer() {
    ConQueue& q = queue();
    std::unique_lock<std::mutex> hold(q.lock);
    if (!q.running) return;
    q.stopping = true;
    q.changed.notify_all();
    q.changed.wait(hold, [&q] { return !q.running; });
    q.closed = false;
    q.unreported = 0;
}

uint64_t con_dropped_count() {
    ConQueue& q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    return q.dropped;
}

void con_quick_edit_off() { con_platform_quick_edit_off(); }

void con_restore_input_mode() { con_platform_restore_input_mode(); }

void con_set_sink(ConSink sink) { Sink.store(sink); }
