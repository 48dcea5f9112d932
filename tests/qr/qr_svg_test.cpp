#include "qr/qr_svg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qr/qr.h"

namespace {

std::string render(const std::string& text) {
    char* svg = qr_render_svg(text.data(), text.size());
    if (!svg) return "(null)";
    std::string out = svg;
    free(svg);
    return out;
}

std::string opening_tag(int width) {
    char tag[256];
    snprintf(tag, sizeof tag,
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 "
             "%d %d\" shape-rendering=\"crispEdges\">",
             width, width, width, width);
    return tag;
}

const char kPathStart[] =
    "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/><path fill=\"#0f172a\" d=\"";

TEST(QrSvgTest, DocumentHasTheFixedPiecesAndSizeFollowsTheVersion) {
    qr_init_tables();
    const struct {
        size_t length;
        int width;
    } cases[] = {{0, 232}, {14, 232}, {15, 264}, {180, 488}, {181, 520}, {213, 520}};
    for (const auto& c : cases) {
        std::string svg = render(std::string(c.length, 'k'));
        std::string head = opening_tag(c.width) + kPathStart;
        ASSERT_EQ(svg.compare(0, head.size(), head), 0) << c.length << ": " << svg.substr(0, 300);
        // The first run is the top edge of the top-left finder: 7 modules, then the separator.
        EXPECT_EQ(svg.compare(head.size(), 16, "M32 32h56v8h-56z"), 0) << c.length;
        EXPECT_EQ(svg.substr(svg.size() - 9), "\"/></svg>");
        EXPECT_EQ(svg.find('\n'), std::string::npos);
    }
    EXPECT_EQ(render(std::string(214, 'k')), "(null)");
    EXPECT_EQ(qr_render_svg(nullptr, 0), nullptr);
}

// Reading the subpaths back as rectangles gives exactly the dark modules of the symbol, each
// run maximal and within one row.
TEST(QrSvgTest, SubpathsAreTheMaximalHorizontalRunsOfDarkModules) {
    qr_init_tables();
    for (std::string text : {std::string(""), std::string("http://192.168.1.5:8620"),
                             std::string(213, '\x7f'), std::string("二维码 a+b!")}) {
        uint8_t matrix[QR_MAX_MODULES];
        int size = 0;
        ASSERT_GT(qr_encode_text(text.data(), text.size(), matrix, &size, nullptr), 0);
        std::string svg = render(text);
        size_t at = svg.find(" d=\"") + 4;
        size_t end = svg.rfind("\"/></svg>");
        std::vector<uint8_t> drawn(size * size, 0);
        while (at < end) {
            int x, y, w, h, back, used = 0;
            ASSERT_EQ(sscanf(svg.c_str() + at, "M%d %dh%dv%dh-%dz%n", &x, &y, &w, &h, &back, &used),
                      5)
                << svg.substr(at, 40);
            ASSERT_EQ(h, 8);
            ASSERT_EQ(back, w);
            ASSERT_TRUE((x - 32) % 8 == 0 && (y - 32) % 8 == 0 && w % 8 == 0 && w > 0);
            int row = (y - 32) / 8, col = (x - 32) / 8, n = w / 8;
            ASSERT_LE(col + n, size);
            int first = row * size + col;
            // Maximal: light (or the row's edge) on both sides.
            ASSERT_TRUE(col == 0 || !matrix[first - 1]) << row << "," << col;
            ASSERT_TRUE(col + n == size || !matrix[first + n]) << row << "," << col;
            for (int k = 0; k < n; k++) {
                ASSERT_FALSE(drawn[first + k]) << "drawn twice";
                drawn[first + k] = 1;
            }
            at += used;
        }
        EXPECT_EQ(0, memcmp(drawn.data(), matrix, drawn.size())) << text;
    }
}

// Connection threads render at the same time; each call works on its own records.
TEST(QrSvgTest, ConcurrentRenderingGivesTheSameDocuments) {
    qr_init_tables();
    std::vector<std::string> texts, expected;
    for (int i = 0; i < 8; i++) {
        texts.push_back("http://192.168.1." + std::to_string(i) + ":8620/" +
                        std::string(i * 25, 'p'));
        expected.push_back(render(texts.back()));
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; round++) {
                for (size_t i = 0; i < texts.size(); i++)
                    mismatches[t] += render(texts[i]) != expected[i];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
