// Journey 5: a machine without a screen. `Tarnwell --headless` prints both
// links with their codes in the terminal; a phone that read the pairing code
// streams a tone and a recording program hears it on the microphone Tarnwell
// brought up; Ctrl-C ends the engine, the gateway, the microphone and the
// advertisement, with status 0.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "mic_fixture.h"
#include "pairing_url.h"
#include "paths.h"
#include "process_table.h"
#include "qr_scan.h"

namespace mictest {
namespace {

using testsupport::shell;
using testsupport::waitFor;

// The link printed after label, and its half-block drawing redrawn at path as
// the picture a phone's camera takes of the terminal (4 pixels a module).
std::string linkAndPicture(const std::string& out, const std::string& label, const std::string& path) {
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line) && line.rfind(label, 0) != 0) {
    }
    const std::string link = line.rfind(label, 0) == 0 ? line.substr(label.size()) : "";
    std::vector<std::vector<bool>> rows;  // true: a dark module
    // The drawing ends at the first line of anything else.
    while (std::getline(in, line) && !line.empty() &&
           line.find_first_not_of(" \xe2\x96\x80\x84\x88") == std::string::npos) {
        std::vector<bool> top, bottom;
        // Blanks, or U+2588 (both halves), U+2580 (upper), U+2584 (lower): E2 96 88/80/84.
        for (size_t i = 0; i < line.size(); i += line[i] == ' ' ? 1 : 3) {
            const auto last = line[i] == ' ' ? 0u : static_cast<unsigned char>(line[i + 2]);
            top.push_back(last == 0x88 || last == 0x80);
            bottom.push_back(last == 0x88 || last == 0x84);
        }
        rows.push_back(top);
        rows.push_back(bottom);
    }
    constexpr size_t kScale = 4;
    std::ofstream pgm(path, std::ios::binary);
    pgm << "P5 " << (rows.empty() ? 0 : rows[0].size() * kScale) << ' ' << rows.size() * kScale << " 255\n";
    for (const std::vector<bool>& row : rows)
        for (size_t y = 0; y < kScale; ++y)
            for (bool dark : row)
                pgm << std::string(kScale, dark ? '\0' : '\xff');
    return link;
}

// Whether DNS-SD resolves a "_sonvale._tcp" service.
bool advertised() {
    return ("\n" + shell("avahi-browse -tp _sonvale._tcp").value_or("")).find("\n+;") != std::string::npos;
}

TEST_F(MicTest, HeadlessJourneyPhoneReadsTheTerminalsCodeAndIsHeardUntilCtrlC) {
    const std::string libexec = testsupport::buildDir() + "/libexec/tarnwell/";
    const std::string helpers[] = {testsupport::enginePath(), libexec + "sonvale-web", SONVALE_MIC_PATH};
    startServer();
    // A wired interface with an address, as a real computer has: the codes carry it.
    ASSERT_TRUE(
        shell("ip link add eth0 type veth peer name eth0-peer && ip addr add 10.77.2.1/24 dev eth0 && "
              "ip link set eth0-peer up && ip link set eth0 up"));
    const std::string home = server->dir() + "/home";
    ASSERT_TRUE(shell(testsupport::sourceDir() + "/scripts/test-services/start-avahi.sh " + home + "/avahi"));
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", home.c_str(), 1);  // the gateway's certificate
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ChildProcess tarnwell(testsupport::buildDir() + "/bin/Tarnwell", {"--headless"});
    ASSERT_TRUE(waitForOutput(tarnwell, "microphone ready")) << tarnwell.out() << tarnwell.err();

    // What a phone's camera reads from the terminal is exactly the printed link.
    std::vector<std::string> links;
    for (const char* label : {"Phone app: ", "Browser: "}) {
        const std::string picture = home + "/code.pgm";
        links.push_back(linkAndPicture(tarnwell.out(), label, picture));
        EXPECT_EQ(testsupport::scanCodes(picture), std::vector<std::string>{links.back()}) << label;
    }
    const std::optional<PairingTarget> target = parsePairingURL(links[0]);
    ASSERT_TRUE(target) << links[0];
    EXPECT_EQ(target->host, "10.77.2.1");
    EXPECT_EQ(links[1], makeBrowserURL("10.77.2.1", target->pin));
    for (const std::string& helper : helpers)
        EXPECT_TRUE(waitFor([&] { return testsupport::liveCount(helper) == 1; })) << helper;
    EXPECT_TRUE(waitFor([] { return advertised(); }));

    Recorder recorder(server->dir() + "/recording.raw");
    ASSERT_TRUE(recorder.waitForFrames(4800));
    ChildProcess phone(SONVALE_PHONE_PATH,
                       {"--url", links[0], "--tone", "1000", "--level", "-6", "--duration", "4"});
    ASSERT_EQ(phone.waitForExit(60s), 0) << phone.err();
    // Heard: some 100 ms of the recording carry the tone at its level (-9 dB RMS).
    constexpr size_t kWindow = 4800;
    EXPECT_TRUE(waitFor([&] {
        const std::vector<float> x = recorder.samples();
        for (size_t at = 0; at + kWindow < x.size() / 2; at += kWindow / 2)
            if (std::abs(testsupport::frequency(x, 0, at, kWindow) - 1000) < 15 &&
                std::abs(20 * std::log10(testsupport::rms(x, 0, at, kWindow)) + 9.03) < 1.5)
                return true;
        return false;
    })) << "the recording program did not hear the phone";

    tarnwell.signal(SIGINT);
    EXPECT_EQ(tarnwell.waitForExit(30s), 0) << tarnwell.err();
    for (const std::string& helper : helpers)
        EXPECT_TRUE(waitFor([&] { return testsupport::liveCount(helper) == 0; })) << helper << " outlived Tarnwell";
    EXPECT_TRUE(waitFor([] { return !advertised(); }));
}

}  // namespace
}  // namespace mictest
