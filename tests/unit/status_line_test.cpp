// The tools' live status line: on a terminal of 80 columns every redraw stays
// on its one line; elsewhere it becomes plain lines at a calm rate.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "status_line.h"

namespace {

using namespace std::chrono_literals;

size_t characters(const std::string& text) {
    size_t n = 0;
    for (char c : text)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

TEST(StatusLine, RedrawsFitAnEightyColumnTerminal) {
    int master = -1, slave = -1;
    winsize size{24, 80, 0, 0};
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    std::FILE* terminal = fdopen(slave, "w");
    std::string wide;
    while (characters(wide) < 150)
        wide += "held back 40.2 ms ü ";
    {
        StatusLine line(terminal);
        ASSERT_EQ(line.mode(), StatusLine::Mode::live);
        for (int i = 0; i < 5; ++i)
            line.show(wide);
    }
    std::fclose(terminal);
    std::string shown;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<size_t>(n));
    close(master);

    EXPECT_EQ(shown.find('\n'), std::string::npos);
    const std::string redraw = "\r\033[K";
    size_t redraws = 0;
    for (size_t at = shown.find(redraw); at != std::string::npos; at = shown.find(redraw, at + 1)) {
        const size_t end = shown.find(redraw, at + 1);
        const std::string text = shown.substr(at + redraw.size(), end - at - redraw.size());
        if (text.empty()) continue;
        ++redraws;
        EXPECT_LT(characters(text), 80u) << text;
        EXPECT_EQ(text, wide.substr(0, text.size())) << "cut inside a character";
    }
    EXPECT_EQ(redraws, 5u);
}

TEST(StatusLine, ElsewhereLinesComeAtACalmRate) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        StatusLine line(file);
        const auto t0 = StatusLine::Clock::now();
        for (int i = 0; i <= 20; ++i)
            line.show("reading " + std::to_string(i), t0 + i * 100ms);
    }
    std::rewind(file);
    std::string written(256, '\0');
    written.resize(std::fread(written.data(), 1, written.size(), file));
    std::fclose(file);
    EXPECT_EQ(written, "reading 0\nreading 10\nreading 20\n");
}

}  // namespace
