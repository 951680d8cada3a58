#include "tarnwell_session.h"

#include <signal.h>

#include <xcb/xcb.h>

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "paths.h"

namespace tarnwelltest {

using namespace servicestest;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// ppid and state of a process, from /proc/<pid>/stat.
bool readStat(pid_t pid, pid_t& ppid, char& state) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) return false;
    state = stat[close + 2];
    std::istringstream rest(stat.substr(close + 4));
    rest >> ppid;
    return true;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t out = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return out;
}

bool trayRunning() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    bool owned = false;
    if (!xcb_connection_has_error(c)) {
        const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S0");
        xcb_get_selection_owner_reply_t* reply =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
        owned = reply && reply->owner != XCB_NONE;
        std::free(reply);
    }
    xcb_disconnect(c);
    return owned;
}

template <class Predicate>
bool poll(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

std::string tarnwellPath() {
    return testsupport::buildDir() + "/bin/Tarnwell";
}

std::string artefactDir() {
    const std::string dir = testsupport::buildDir() + "/test-artefacts/ui";
    QDir().mkpath(QString::fromStdString(dir));
    return dir;
}

std::vector<pid_t> childrenRunning(pid_t parent, const std::string& program) {
    std::vector<pid_t> out;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric) continue;
        pid_t ppid = 0;
        char state = 0;
        if (!readStat(pid, ppid, state) || ppid != parent || state == 'Z') continue;
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string argv0;
        std::getline(cmdline, argv0, '\0');
        if (argv0 == program) out.push_back(pid);
    }
    return out;
}

std::vector<std::string> argumentsOf(pid_t pid) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    for (std::string arg; std::getline(cmdline, arg, '\0');)
        args.push_back(arg);
    if (!args.empty()) args.erase(args.begin());
    return args;
}

bool isLive(pid_t pid) {
    pid_t ppid = 0;
    char state = 0;
    return readStat(pid, ppid, state) && state != 'Z';
}

QImage grabScreen() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

std::vector<std::string> decodeQr(const QImage& image, const std::string& pngPath) {
    if (!image.save(QString::fromStdString(pngPath))) return {};
    return splitLines(run("zbarimg --nodbus --raw -q " + shellQuote(pngPath)).out);
}

std::vector<Window> tarnwellWindows() {
    std::vector<Window> out;
    for (const std::string& id : splitLines(run("xdotool search --onlyvisible --class Tarnwell").out)) {
        Window w;
        w.id = std::stoul(id);
        std::istringstream geometry(run("xdotool getwindowgeometry --shell " + id).out);
        for (std::string line; std::getline(geometry, line);) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X") w.x = value;
            if (key == "Y") w.y = value;
            if (key == "WIDTH") w.width = value;
            if (key == "HEIGHT") w.height = value;
        }
        out.push_back(w);
    }
    return out;
}

namespace {

bool requestClose(unsigned long window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(window);
    event.type = atom(c, "WM_PROTOCOLS");
    event.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, static_cast<xcb_window_t>(window), XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    const bool ok = xcb_flush(c) > 0;
    xcb_disconnect(c);
    return ok;
}

}  // namespace

bool closeWindow(unsigned long window, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (!requestClose(window)) return false;
        if (poll([] { return tarnwellWindows().empty(); }, std::min<std::chrono::milliseconds>(1s, timeout)))
            return true;
    }
    return false;
}

SignalTrace::SignalTrace(pid_t pid) : file_(dir_.path().toStdString() + "/trace") {
    strace_ = std::make_unique<testsupport::ChildProcess>(
        "strace", std::vector<std::string>{"-p", std::to_string(pid), "-e", "trace=none", "-e",
                                           "signal=SIGTERM,SIGINT,SIGHUP,SIGKILL", "-o", file_});
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline && strace_->err().find("attached") == std::string::npos)
        std::this_thread::sleep_for(10ms);
    attached_ = strace_->err().find("attached") != std::string::npos;
}

std::string SignalTrace::waitForEnd(std::chrono::milliseconds timeout) {
    strace_->waitForExit(timeout);
    std::ifstream in(file_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TarnwellSession::TarnwellSession(Options options) {
    if (!avahi_.start()) return;
    if (options.tray) {
        tray_ = std::make_unique<testsupport::ChildProcess>(
            "trayer", std::vector<std::string>{"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                               "--width", "64", "--height", "24"});
        if (!poll(trayRunning, 10s)) return;
    }
    app_ = std::make_unique<testsupport::ChildProcess>(tarnwellPath(), std::vector<std::string>{});
    ready_ = app_->started();
}

TarnwellSession::~TarnwellSession() {
    app_.reset();  // SIGKILL if it still runs; the engine follows it
    tray_.reset();
}

std::optional<pid_t> TarnwellSession::waitForEngine(std::chrono::milliseconds timeout, pid_t other) {
    std::optional<pid_t> found;
    poll(
        [&] {
            for (pid_t p : childrenRunning(pid(), testsupport::enginePath()))
                if (p != other) found = p;
            return found.has_value();
        },
        timeout);
    return found;
}

std::optional<std::string> TarnwellSession::shownPairingURL(std::chrono::milliseconds timeout,
                                                            const std::string& artefact) {
    std::optional<std::string> url;
    poll(
        [&] {
            QGuiApplication::processEvents();
            for (const std::string& text : decodeQr(grabScreen(), artefactDir() + "/" + artefact))
                if (text.rfind("sonvale://connect?", 0) == 0) url = text;
            return url.has_value();
        },
        timeout);
    return url;
}

int TarnwellSession::advertisedServices() {
    int count = 0;
    for (const std::string& line : splitLines(run("avahi-browse -tp _sonvale._tcp").out))
        if (line.rfind("+;", 0) == 0) ++count;
    return count;
}

bool TarnwellSession::waitForAdvertised(int count, std::chrono::milliseconds timeout) {
    return poll([&] { return advertisedServices() == count; }, timeout);
}

bool TarnwellSession::quitFromTrayMenu() {
    std::optional<Window> icon;
    poll(
        [&] {
            for (const Window& w : tarnwellWindows())
                if (w.width <= 32 && w.height <= 32) icon = w;
            return icon.has_value();
        },
        10s);
    if (!icon) return false;
    run("xdotool mousemove " + std::to_string(icon->x + icon->width / 2) + " " +
        std::to_string(icon->y + icon->height / 2) + " click 1");
    // The menu: a small popup of its own.
    const bool shown = poll(
        [&] {
            for (const Window& w : tarnwellWindows())
                if (w.id != icon->id && w.width < 400 && w.height > 32 && w.height < 200) return true;
            return false;
        },
        5s);
    if (!shown) return false;
    // Up from no selection picks the last item, "Quit Tarnwell".
    return run("xdotool key Up Return").status == 0;
}

std::string pinOf(const std::string& url) {
    const size_t at = url.find("&pin=");
    return at == std::string::npos ? std::string() : url.substr(at + 5);
}

}  // namespace tarnwelltest
