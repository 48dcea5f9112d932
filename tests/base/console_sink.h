#pragma once
// Test fixture: the console replaced by a sink that records every text and can be held shut
// (for at most 10 s a write), as a console window holding a selection is. Only one exists at
// a time.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "base/console.h"

class ConsoleSink {
  public:
    ConsoleSink() {
        current() = this;
        con_set_sink(write);
    }
    ~ConsoleSink() {
        release();
        con_stop_writer();
        con_set_sink(nullptr);
        current() = nullptr;
    }
    ConsoleSink(const ConsoleSink&) = delete;
    ConsoleSink& operator=(const ConsoleSink&) = delete;

    // Every write waits from now until release().
    void hold() {
        std::lock_guard<std::mutex> guard(lock_);
        held_ = true;
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock_);
        held_ = false;
        changed_.notify_all();
    }
    // Waits until a write is waiting at the held sink; false after 10 s.
    bool wait_until_blocked() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [this] { return waiting_; });
    }
    // Waits until the texts hold one containing part; false after 10 s.
    bool wait_for_text(const std::string& part) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] {
            for (const std::string& text : texts_)
                if (text.find(part) != std::string::npos) return true;
            return false;
        });
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> guard(lock_);
        return texts_;
    }

  private:
    static ConsoleSink*& current() {
        static ConsoleSink* sink = nullptr;
        return sink;
    }
    static void write(const char* text) {
        ConsoleSink* self = current();
        std::unique_lock<std::mutex> guard(self->lock_);
        self->waiting_ = self->held_;
        self->changed_.notify_all();
        // Bounded, so that code that wrongly waits for the console fails a test instead of
        // hanging it.
        self->changed_.wait_for(guard, std::chrono::seconds(10), [self] { return !self->held_; });
        self->waiting_ = false;
        self->texts_.push_back(text);
        self->changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = false;
    bool waiting_ = false;
    std::vector<std::string> texts_;
};
