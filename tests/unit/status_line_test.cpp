// The tools' live status line: on a terminal of 80 columns every redraw stays
// on its one line; elsewhere it becomes plain lines at a calm rate.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "status_line.h"

namespace {

using namespace std::chrono_literals;

size_t characters(const std::string& text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
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
        for (int i = 0; i < 5; ++i)
            line.show(wide);
    }
    std::fclose(terminal);
    std::string shown;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)  // until the closed side reads as EIO
        shown.append(buf, static_cast<size_t>(n));
    close(master);

    // Five redraws and the final clear, none wrapping into a new line or splitting a character.
    const std::string redraw = "\r\033[K";
    const std::string drawn = wide.substr(0, fitToWidth(wide, 79).size());
    EXPECT_EQ(characters(drawn), 79u);
    std::string expected;
    for (int i = 0; i < 5; ++i)
        expected += redraw + drawn;
    EXPECT_EQ(shown, expected + redraw);
}

TEST(StatusLine, ElsewhereLinesComeAtACalmRate) {
    std::FILE* file = std::tmpfile();
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
