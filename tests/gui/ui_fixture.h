#pragma once

// Helpers for the widget tests: stand-in engines in a resource folder of their own,
// a ring written by the test, and looking at what the window draws.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app_delegate.h"
#include "services_fixture.h"
#include "sv_ring.h"

namespace uitest {

using namespace servicestest;

// Every stand-in appends "<pid> <arguments>" to <dir>/launches when it starts.
inline constexpr char kRunUntilTerm[] =
    "trap 'echo TERM >> \"$D/terms\"; kill $child; exit 0' TERM\n"
    "sleep 60 & child=$!\n"
    "wait $child\n";
inline constexpr char kFailAtStart[] = "exit 1\n";

// A resource folder with a stand-in "sonvale-engine" (or none: missing).
class StandInEngine {
public:
    std::string dir() const { return tmp_.path().toStdString(); }

    void write(const char* body) {
        const std::string file = dir() + "/sonvale-engine";
        std::ofstream out(file);
        out << "#!/bin/sh\nD=" << shellQuote(dir()) << "\necho \"$$ $*\" >> \"$D/launches\"\n" << body;
        out.close();
        QFile::setPermissions(QString::fromStdString(file),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    std::vector<std::string> lines(const char* name) const {
        std::ifstream in(dir() + "/" + name);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    size_t launches() const { return lines("launches").size(); }
    size_t terms() const { return lines("terms").size(); }

    EngineController::Options options(std::chrono::milliseconds backoff = 50ms) const {
        EngineController::Options o;
        o.engineDirectory = tmp_.path();
        o.restartBackoff = backoff;
        return o;
    }

private:
    QTemporaryDir tmp_;
};

// The ring "/sonvale_ring" as the engine writes it (tests run in a private /dev/shm).
class RingWriter {
public:
    RingWriter() { open_ = SVRing_OpenWriter(&handle_); }
    ~RingWriter() { SVRing_Close(&handle_); }
    RingWriter(const RingWriter&) = delete;
    RingWriter& operator=(const RingWriter&) = delete;

    bool isOpen() const { return open_; }
    // count frames of a constant value on both channels (a DC level of that RMS).
    void write(float value, size_t count) {
        std::vector<float> frames(count * 2, value);
        SVRing_Write(&handle_, frames.data(), count);
    }

private:
    SVRingHandle handle_{-1, nullptr};
    bool open_ = false;
};

template <class T>
T* child(QWidget& root, const char* name) {
    T* found = root.findChild<T*>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << "no child named " << name;
    return found;
}

// Lets queued layout and paint requests run.
inline void settle() {
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
        QTest::qWait(10);
    }
}

// The widget as drawn, at one image pixel per logical pixel.
inline QImage render(QWidget& widget) {
    settle();
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// The colour the window draws at point of widget.
inline QColor drawnAt(QWidget& widget, QPoint point) {
    QWidget& window = *widget.window();
    const QImage image = render(window);
    const QPoint at = widget.mapTo(&window, point);
    return image.pixelColor(at);
}

// The colour that color at its opacity gives over an opaque base.
inline QColor over(const QColor& color, const QColor& base) {
    const double a = color.alphaF();
    return QColor::fromRgbF(static_cast<float>(color.redF() * a + base.redF() * (1 - a)),
                            static_cast<float>(color.greenF() * a + base.greenF() * (1 - a)),
                            static_cast<float>(color.blueF() * a + base.blueF() * (1 - a)));
}

inline bool near(const QColor& a, const QColor& b, int tolerance = 3) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

inline std::string describe(const QColor& c) {
    return c.name(QColor::HexArgb).toStdString();
}

}  // namespace uitest
