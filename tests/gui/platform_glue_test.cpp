// The Linux glue around the application: termination signals, the display check
// before Qt starts, and one instance per user.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <QSignalSpy>

#include "display_check.h"
#include "single_instance.h"
#include "termination_signals.h"
#include "ui_fixture.h"

namespace {

using namespace uitest;

TEST(TerminationSignalsTest, TermIntAndHupArriveOnTheMainThreadAndDefaultsReturnAfterwards) {
    {
        TerminationSignals termination;
        ASSERT_TRUE(termination.isActive());
        QSignalSpy spy(&termination, &TerminationSignals::received);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            spy.clear();
            ASSERT_EQ(::raise(sig), 0);  // the process survives: the handler only writes the pipe
            ASSERT_TRUE(waitUntil([&] { return spy.count() == 1; }));
            EXPECT_EQ(spy.at(0).at(0).toInt(), sig);
        }
        TerminationSignals second;  // one at a time
        EXPECT_FALSE(second.isActive());
    }
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current = {};
        ASSERT_EQ(::sigaction(sig, nullptr, &current), 0);
        EXPECT_EQ(current.sa_handler, SIG_DFL) << sig;
    }
}

TEST(DisplayCheckTest, SaysInOneLineWhyNoDisplayCanBeReached) {
    using DisplayCheck::Environment;
    // A Wayland compositor is its socket in the runtime folder.
    QTemporaryDir runtime;
    const std::string path = runtime.path().toStdString() + "/wayland-7";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const Environment wayland{{}, QByteArray("wayland-7"), runtime.path().toUtf8(), {}};
    EXPECT_EQ(DisplayCheck::problem(wayland), "");
    ::close(fd);
    const Environment elsewhere{{}, QByteArray("wayland-8"), runtime.path().toUtf8(), {}};
    EXPECT_EQ(DisplayCheck::problem(elsewhere),
              "Tarnwell needs a graphical desktop session: cannot reach the display wayland-8");
}

TEST(SingleInstanceTest, ALaterStartAsksTheFirstToOpenItsWindow) {
    SingleInstance first;
    ASSERT_EQ(first.claim(), SingleInstance::Role::Primary);
    QSignalSpy spy(&first, &SingleInstance::openRequested);

    SingleInstance second;
    EXPECT_EQ(second.claim(), SingleInstance::Role::Secondary);
    EXPECT_TRUE(waitUntil([&] { return spy.count() == 1; }));
}

}  // namespace
