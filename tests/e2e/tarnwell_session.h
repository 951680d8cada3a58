#pragma once

// One run of the built Tarnwell on the test's X display, as a user has it:
// avahi-daemon for DNS-SD, optionally a tray program, and the processes,
// windows and network service that the test looks at from outside.

#include <sys/types.h>

#include <QImage>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "services_fixture.h"

namespace tarnwelltest {

using namespace std::chrono_literals;

std::string tarnwellPath();
std::string artefactDir();

// Children of parent whose first argument is program, live ones only.
std::vector<pid_t> childrenRunning(pid_t parent, const std::string& program);
// The arguments after the program's name.
std::vector<std::string> argumentsOf(pid_t pid);
bool isLive(pid_t pid);

// The whole screen as the X server shows it.
QImage grabScreen();
// The texts of the QR codes that zbarimg finds in an image.
std::vector<std::string> decodeQr(const QImage& image, const std::string& pngPath);

// Visible top-level windows of the Tarnwell class: id and geometry.
struct Window {
    unsigned long id = 0;
    int x = 0, y = 0, width = 0, height = 0;
};
std::vector<Window> tarnwellWindows();
// Closes a window as a window manager's close button does (WM_DELETE_WINDOW) and
// waits until no Tarnwell window is visible. Qt on a display without a window
// manager now and then misses the first request (a bare QWidget does too), so,
// like a user clicking again, the request is repeated every second.
bool closeWindow(unsigned long window, std::chrono::milliseconds timeout);

// Reports what happens to a process: the signals it receives and how it ends.
class SignalTrace {
public:
    explicit SignalTrace(pid_t pid);
    bool attached() const { return attached_; }
    // Waits until the traced process has ended; then the whole trace.
    std::string waitForEnd(std::chrono::milliseconds timeout);

private:
    QTemporaryDir dir_;
    std::string file_;
    std::unique_ptr<testsupport::ChildProcess> strace_;
    bool attached_ = false;
};

class TarnwellSession {
public:
    struct Options {
        bool tray = false;  // run a tray program first
    };
    explicit TarnwellSession(Options options);
    ~TarnwellSession();

    bool ready() const { return ready_; }
    testsupport::ChildProcess& app() { return *app_; }
    pid_t pid() const { return app_->pid(); }

    // The one engine the application runs, once it runs.
    std::optional<pid_t> waitForEngine(std::chrono::milliseconds timeout, pid_t other = 0);
    // The pairing URL that the window's QR code shows, read from the screen.
    std::optional<std::string> shownPairingURL(std::chrono::milliseconds timeout,
                                               const std::string& artefact);
    // The "_sonvale._tcp" services that avahi-browse lists.
    int advertisedServices();
    bool waitForAdvertised(int count, std::chrono::milliseconds timeout);

    // Clicks the tray icon and chooses "Quit Tarnwell" from its menu with the keyboard.
    bool quitFromTrayMenu();

private:
    servicestest::AvahiDaemon avahi_;
    std::unique_ptr<testsupport::ChildProcess> tray_;
    std::unique_ptr<testsupport::ChildProcess> app_;
    bool ready_ = false;
};

// "pin" of a pairing URL.
std::string pinOf(const std::string& url);

}  // namespace tarnwelltest
