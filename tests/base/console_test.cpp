// The console's writer: texts in order from any thread, a held console that holds no caller,
// the bounded queue's drops and their report, and the final line's time limit.
#include "base/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/console_sink.h"

namespace {
const char* const DROPPED_5 = "  [!] 控制台忙不过来，有 5 行没有显示\n";
}

TEST(Console, BeforeTheWriterStartsTextsAreWrittenAtOnceLinesWhole) {
    ConsoleSink sink;
    con_write("a");
    con_write(nullptr);
    con_write_line("第二行");
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"a", "第二行\n"}));
    EXPECT_EQ(con_flush(0), 1);
}

TEST(Console, TextsFromManyThreadsArriveWholeAndInEachThreadsOrder) {
    ConsoleSink sink;
    ASSERT_EQ(con_start_writer(), 0);
    constexpr int THREADS = 4, LINES = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; t++) {
        writers.emplace_back([t] {
            for (int i = 0; i < LINES; i++)
                con_write_line((std::to_string(t) + ":" + std::to_string(i)).c_str());
        });
    }
    for (std::thread& w : writers) w.join();
    ASSERT_EQ(con_flush(10000), 1);
    std::vector<int> next(THREADS, 0);
    for (const std::string& text : sink.texts()) {
        int t = text[0] - '0';
        ASSERT_EQ(text, std::to_string(t) + ":" + std::to_string(next[t]) + "\n");
        next[t]++;
    }
    EXPECT_EQ(next, std::vector<int>(THREADS, LINES));
}

TEST(Console, AFullQueueDropsCountsAndReportsWhenThereIsRoomAgain) {
    ConsoleSink sink;
    sink.hold();
    ASSERT_EQ(con_start_writer(), 0);
    con_write("first\n");
    ASSERT_TRUE(sink.wait_until_blocked());
    // The writer holds "first"; the queue fills, and the next five texts find no room.
    for (int i = 0; i < CON_QUEUE_TEXTS + 5; i++) con_write_line(std::to_string(i).c_str());
    EXPECT_EQ(con_dropped_count(), 5u);
    EXPECT_EQ(con_flush(50), 0);
    sink.release();
    ASSERT_EQ(con_flush(10000), 1);
    con_write_line("after");
    ASSERT_EQ(con_flush(10000), 1);

    std::vector<std::string> expected{"first\n"};
    for (int i = 0; i < CON_QUEUE_TEXTS; i++) expected.push_back(std::to_string(i) + "\n");
    expected.push_back(DROPPED_5);
    expected.push_back("after\n");
    EXPECT_EQ(sink.texts(), expected);
}

TEST(Console, TheFinalLineWaitsOnlyItsTimeAndIsTheLast) {
    ConsoleSink sink;
    sink.hold();
    ASSERT_EQ(con_start_writer(), 0);
    con_write("busy\n");
    ASSERT_TRUE(sink.wait_until_blocked());
    for (int i = 0; i < CON_QUEUE_TEXTS + 5; i++) con_write("x\n");

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(con_write_final("stop\n", 200), 0);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(5));
    con_write("too late\n");

    sink.release();
    ASSERT_EQ(con_flush(10000), 1);
    std::vector<std::string> texts = sink.texts();
    ASSERT_EQ(texts.size(), static_cast<size_t>(CON_QUEUE_TEXTS) + 3);
    EXPECT_EQ(texts[texts.size() - 2], DROPPED_5);
    EXPECT_EQ(texts.back(), "stop\n");
}

TEST(Console, AFreeConsoleGetsTheFinalLineBeforeTheCallReturns) {
    ConsoleSink sink;
    ASSERT_EQ(con_start_writer(), 0);
    con_write("banner\n");
    EXPECT_EQ(con_write_final("stop\n", 5000), 1);
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"banner\n", "stop\n"}));
}
