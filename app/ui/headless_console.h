#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class AppDelegate;

// Tarnwell without a window: prints the address, the PIN, the phone's pairing
// link and the browser's link, each with its QR code drawn in Unicode half
// blocks (two modules a character, quiet zone included), then keeps one status
// line up to date: the engine's state, the microphone, whether a browser streams,
// while pairing is paused that it is, and while a phone streams how its stream
// goes (StreamFigures::compactLine).
// On a terminal the line is rewritten in place; otherwise each change is a line.
class HeadlessConsole : public QObject {
    Q_OBJECT

public:
    explicit HeadlessConsole(AppDelegate& delegate, std::FILE* out = stdout, QObject* parent = nullptr);

    void printPairing();

    // A QR code of text as lines of "█", "▀", "▄" and blanks (dark modules drawn).
    static QString halfBlocks(const QString& text);

private:
    QString code(const QString& text) const;
    void showStatus();

    AppDelegate& delegate_;
    std::FILE* out_;
    QTimer poll_;
    QString last_;
    bool terminal_;
    bool printed_ = false;
};
