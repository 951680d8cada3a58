// A person at the desktop (Xvfb in the test sandbox, a 1366x768 laptop screen
// whose top 28 px a panel reserves): Tarnwell's window fits the rest, shows the
// pairing code, a phone that read it streams a tone, the window's meter moves
// and the line above it, read back by OCR, says a phone streams, all without
// scrolling; the phone stops and the meter falls, and Quit ends the engine and
// the advertisement.
#include <gtest/gtest.h>
#include <signal.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <sstream>

#include "child_process.h"
#include "content_view.h"
#include "pairing_url.h"
#include "paths.h"
#include "process_table.h"
#include "qr_scan.h"
#include "services_fixture.h"
#include "sonvale_protocol.h"
#include "theme.h"
#include "wait.h"

namespace {

using namespace servicestest;
using testsupport::waitFor;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

QImage grabScreen() {
    QGuiApplication::processEvents();
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

// The texts of the QR codes on the screen, as a phone's scanner reads them.
std::vector<std::string> codesOnScreen(const std::string& png) {
    if (!grabScreen().save(QString::fromStdString(png))) return {};
    return testsupport::scanCodes(png);
}

// The longest run of accent-coloured pixels on one row of the screen: the level
// bar's fill once it is longer than anything else drawn in that colour.
int longestAccentRun() {
    const QImage screen = grabScreen();
    const QColor accent = Theme::accent();
    int best = 0;
    for (int y = 0; y < screen.height(); ++y) {
        int run = 0;
        for (int x = 0; x < screen.width(); ++x) {
            const QColor c = screen.pixelColor(x, y);
            const int distance = std::abs(c.red() - accent.red()) + std::abs(c.green() - accent.green()) +
                                 std::abs(c.blue() - accent.blue());
            best = std::max(best, run = distance < 36 ? run + 1 : 0);
        }
    }
    return best;
}

// How many "_sonvale._tcp" services DNS-SD shows (it lists each once per interface).
size_t advertised() {
    return linesOf(
               shell("avahi-browse -tp _sonvale._tcp | grep '^+;' | cut -d';' -f4 | sort -u").value_or(""))
        .size();
}

// The window on the screen: x, y, width, height.
std::vector<int> geometryOf(const std::string& window) {
    std::vector<int> out;
    for (const std::string& line : linesOf(shell("xdotool getwindowgeometry --shell " + window).value_or("")))
        if (line.rfind("WINDOW=", 0) != 0 && line.rfind("SCREEN=", 0) != 0)
            out.push_back(std::stoi(line.substr(line.find('=') + 1)));
    return out;
}

TEST(TarnwellJourney, PairStreamMeterAndQuit) {
    // What a window manager publishes for a 28 px panel's strut at the top.
    constexpr int kPanel = 28;
    ASSERT_TRUE(
        shell("xprop -root -f _NET_WORKAREA 32c -set _NET_WORKAREA '0, 28, 1366, 740' && "
              "xprop -root -f _NET_SUPPORTED 32a -set _NET_SUPPORTED _NET_WORKAREA"));
    // A wired interface with an address, as a real computer has: the code carries it.
    ASSERT_TRUE(
        shell("ip link add eth0 type veth peer name eth0-peer && ip addr add 10.77.1.1/24 dev eth0 && "
              "ip link set eth0-peer up && ip link set eth0 up"));
    AvahiDaemon avahi;
    ASSERT_TRUE(avahi.start());
    // The card's remembered choice is the test's own: the phone app, as at a first launch.
    ::setenv("XDG_CONFIG_HOME", (testsupport::buildDir() + "/test-artefacts/config").c_str(), 1);
    testsupport::ChildProcess app(testsupport::buildDir() + "/bin/Tarnwell", {});

    std::optional<testsupport::ProcessInfo> engine;
    ASSERT_TRUE(waitFor([&] {
        for (const testsupport::ProcessInfo& p : testsupport::processesOf(testsupport::enginePath()))
            if (p.ppid == app.pid() && p.state != 'Z')
                engine = testsupport::waitObservable(p.pid, testsupport::enginePath());
        return engine.has_value();
    }));
    const std::string artefacts = testsupport::buildDir() + "/test-artefacts/ui";
    shell("mkdir -p " + shellQuote(artefacts));
    std::string url;
    ASSERT_TRUE(waitFor([&] {
        for (const std::string& text : codesOnScreen(artefacts + "/tarnwell-pairing.png"))
            if (parsePairingURL(text)) url = text;
        return !url.empty();
    })) << "no pairing code on the screen";
    const PairingTarget target = *parsePairingURL(url);
    EXPECT_EQ(target.host, "10.77.1.1");
    EXPECT_EQ(target.port, sonvale::kAudioPort);
    EXPECT_EQ(engine->argv, (std::vector<std::string>{testsupport::enginePath(), "--pin", target.pin}));
    EXPECT_TRUE(waitFor([] { return advertised() == 1; }));

    const std::vector<std::string> windows =
        linesOf(shell("xdotool search --onlyvisible --class Tarnwell").value_or(""));
    ASSERT_EQ(windows.size(), 1u);
    const std::vector<int> frame = geometryOf(windows[0]);
    ASSERT_EQ(frame.size(), 4u);
    EXPECT_GE(frame[1], kPanel) << "under the panel";
    EXPECT_LE(frame[1] + frame[3], 768) << "cut at the bottom";

    // Half the narrowest level bar: longer than the accent-coloured button.
    const int halfBar = ContentView::kMinimumWidth / 2 - ContentView::kPadding;
    EXPECT_LT(longestAccentRun(), halfBar);
    testsupport::ChildProcess phone(testsupport::buildDir() + "/bin/sonvale-phone",
                                    {"--url", url, "--tone", "440", "--duration", "60"});
    // Seen on the screen as it is, unscrolled.
    EXPECT_TRUE(waitFor([&] { return longestAccentRun() > halfBar; })) << "the meter did not move";
    const std::string shot = artefacts + "/tarnwell-streaming.png";
    // OCR misreads small light type on a dark ground: it reads a grey, inverted copy at twice the size.
    const QImage screen = grabScreen();
    screen.save(QString::fromStdString(shot));
    QImage page = screen.convertToFormat(QImage::Format_Grayscale8)
                      .scaled(screen.size() * 2, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    page.invertPixels();
    page.save(QString::fromStdString(shot + ".ocr.png"));
    const std::string text =
        shell("tesseract " + shellQuote(shot + ".ocr.png") + " - 2>/dev/null").value_or("");
    EXPECT_NE(text.find("streaming through the Tarnwell app"), std::string::npos) << text;
    EXPECT_NE(text.find("Input level"), std::string::npos) << text;
    // The phone stops: no sound arrives, and the meter says so.
    phone.signal(SIGINT);
    EXPECT_EQ(phone.waitForExit(20s), 0) << phone.err();
    EXPECT_TRUE(waitFor([&] { return longestAccentRun() < halfBar; })) << "the meter froze";
    EXPECT_EQ(geometryOf(windows[0]), frame) << "the window resized itself";

    ASSERT_TRUE(shell("xdotool windowfocus --sync " + windows[0] + " key ctrl+q"));
    EXPECT_EQ(app.waitForExit(30s), 0) << app.err();
    EXPECT_TRUE(waitFor([&] {
        const std::optional<testsupport::ProcessInfo> p = testsupport::readProcess(engine->pid);
        return !p || p->state == 'Z';
    }));
    EXPECT_TRUE(waitFor([] { return advertised() == 0; }));
}

}  // namespace
