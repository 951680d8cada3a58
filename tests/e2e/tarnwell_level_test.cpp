// The whole road on one screen: a phone that scanned the QR code on the screen
// streams a tone, the engine writes the ring, the window's meter moves, and the
// "Tarnwell" microphone is there. The screenshot is kept as a test artefact.
#include <gtest/gtest.h>

#include <QColor>

#include <thread>

#include "paths.h"
#include "sv_ring.h"
#include "tarnwell_session.h"

namespace {

using namespace tarnwelltest;
using namespace servicestest;

// Gives the sandbox a wired interface with an address, as a real computer has,
// so that the window shows it and the phone reaches the engine through it.
bool addWiredInterface() {
    return run("ip link add eth0 type veth peer name eth0-peer && ip addr add 10.77.1.1/24 dev eth0 && "
               "ip link set eth0-peer up && ip link set eth0 up")
               .status == 0;
}

// The longest run of accent-coloured pixels on one row of the image's region.
int longestAccentRun(const QImage& image, const QRect& region) {
    const QColor accent(94, 234, 212);
    int best = 0;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        int runLength = 0;
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const bool isAccent = std::abs(c.red() - accent.red()) < 12 &&
                                  std::abs(c.green() - accent.green()) < 12 &&
                                  std::abs(c.blue() - accent.blue()) < 12;
            runLength = isAccent ? runLength + 1 : 0;
            best = std::max(best, runLength);
        }
    }
    return best;
}

// How many pixels of the region are close to the colour.
int pixelsNear(const QImage& image, const QRect& region, const QColor& colour) {
    int count = 0;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) < 24 && std::abs(c.green() - colour.green()) < 24 &&
                std::abs(c.blue() - colour.blue()) < 24)
                ++count;
        }
    }
    return count;
}

TEST(TarnwellLevelE2E, APhoneStreamingAToneMovesTheMeterOfTheWindow) {
    ASSERT_TRUE(addWiredInterface());
    PulseServer pulse;  // Tarnwell and the microphone bridge inherit its address
    ASSERT_TRUE(pulse.started());
    testsupport::ChildProcess mic(testsupport::buildDir() + "/bin/sonvale-mic", {});
    const auto micDeadline = std::chrono::steady_clock::now() + 10s;
    while (pulse.command("pactl list short sources").out.find("SonvaleDevice_UID") == std::string::npos &&
           std::chrono::steady_clock::now() < micDeadline)
        std::this_thread::sleep_for(50ms);

    // The ring of an earlier run is still there, as after every quit: the meter
    // must follow the ring that this run's engine makes.
    SVRingHandle earlier{-1, nullptr};
    ASSERT_TRUE(SVRing_OpenWriter(&earlier));
    SVRing_Close(&earlier);

    TarnwellSession s({});
    ASSERT_TRUE(s.ready());
    ASSERT_TRUE(s.waitForEngine(10s).has_value());
    const std::optional<std::string> url = s.shownPairingURL(10s, "e2e-level-before-screen.png");
    ASSERT_TRUE(url.has_value());
    EXPECT_NE(url->find("host=10.77.1.1&port=47810&"), std::string::npos) << *url;

    testsupport::ChildProcess phone(testsupport::buildDir() + "/bin/sonvale-phone",
                                    {"--url", *url, "--tone", "440", "--duration", "30"});
    const std::vector<Window> windows = tarnwellWindows();
    ASSERT_EQ(windows.size(), 1u);
    const Window& w = windows[0];
    // The level bar: 28 from the window's edges, 12 high, at the bottom.
    const QRect bar(w.x + 28, w.y + w.height - 28 - 12, w.width - 56, 12);

    QImage shot;
    int fill = 0;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        shot = grabScreen();
        fill = longestAccentRun(shot, bar);
        if (fill > bar.width() / 2) break;
        std::this_thread::sleep_for(100ms);
    }
    const std::string png = artefactDir() + "/tarnwell-xvfb-streaming.png";
    shot.copy(w.x, w.y, w.width, w.height).save(QString::fromStdString(png));
    RecordProperty("screenshot", png);
    RecordProperty("level_fill_px", fill);
    // A -6 dBFS sine is -9 dB RMS: the meter stands at 0.85 of the bar.
    EXPECT_GT(fill, bar.width() / 2) << "the meter did not move; see " << png;
    EXPECT_LT(fill, bar.width());
    phone.signal(SIGINT);
    EXPECT_EQ(phone.waitForExit(10s), 0) << phone.err();

    // The device note, between the engine row and the level section, shows the
    // accent check while the microphone exists; once the bridge has stopped, the
    // reopened window shows the warning in the danger colour.
    const QColor accent(0x5E, 0xEA, 0xD4), danger(0xF8, 0x71, 0x71);
    const QRect note(w.x, w.y + w.height - 145, w.width, 40);
    EXPECT_GT(pixelsNear(shot, note, accent), 8);
    EXPECT_EQ(pixelsNear(shot, note, danger), 0);
    mic.signal(SIGINT);
    EXPECT_EQ(mic.waitForExit(10s), 0) << mic.err();
    ASSERT_TRUE(closeWindow(w.id, 30s));
    testsupport::ChildProcess reopen(tarnwellPath(), {});
    EXPECT_EQ(reopen.waitForExit(10s), 0) << reopen.err();
    QImage after;
    const auto noteDeadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < noteDeadline) {
        const std::vector<Window> now = tarnwellWindows();
        if (now.size() == 1) {
            after = grabScreen().copy(now[0].x, now[0].y, now[0].width, now[0].height);
            if (pixelsNear(after, QRect(0, now[0].height - 145, now[0].width, 40), danger) > 8) break;
        }
        std::this_thread::sleep_for(100ms);
    }
    const std::string afterPng = artefactDir() + "/tarnwell-xvfb-microphone-gone.png";
    after.save(QString::fromStdString(afterPng));
    EXPECT_GT(pixelsNear(after, QRect(0, after.height() - 145, after.width(), 40), danger), 8)
        << "no warning after the microphone went away; see " << afterPng;
}

}  // namespace
