#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// One Tarnwell per user session: a second start asks the running one to bring its
// window forward and ends, instead of launching a second engine that could only
// fail on the ports the first one holds. Also the way back to a closed window on
// a desktop without a tray.
//
// The meeting point is an abstract local socket named after the user, so it
// vanishes with the process and never lingers as a file. Such names are open to
// every user: a peer of another user is neither obeyed nor asked.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Role {
        Primary,    // this process runs the application and listens for later starts
        Secondary,  // another instance runs and was asked to open its window
    };

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // "tarnwell-<uid>".
    static QString serverName();

    // Asks a running instance to open its window, or becomes the one that runs.
    // A process that can neither reach nor listen runs on as Primary.
    Role claim();

Q_SIGNALS:
    // A later start asked for the window.
    void openRequested();

private:
    bool askRunningInstance();
    void onConnection();

    std::unique_ptr<QLocalServer> server_;
};
