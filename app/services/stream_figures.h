#pragma once

#include <QString>

#include <optional>

// How the phone's stream goes, as the window and the status line show it:
// counts per second (over the last reading) and since the stream began.
// - lost: packets that never arrived; concealed: 20 ms steps the engine made up;
//   late: packets that came after their turn; duplicated: packets that came
//   twice; dropped: chunks the browser's gateway dropped to keep the delay down.
// - jitter: how unevenly packets arrive; round trip: only known for a browser;
//   delay: what waits between the network and the microphone.
struct StreamFigures {
    struct Counts {
        double lost = 0, concealed = 0, late = 0, duplicated = 0, dropped = 0;
    };

    bool streaming = false;
    Counts total;
    Counts perSecond;
    double jitterMs = 0;
    std::optional<double> roundTripMs;
    double delayMs = 0;

    // "Lost 0/s · Late 0/s · Jitter 3 ms · Round trip 12 ms · Delay 80 ms"
    QString compactLine() const;
    // The totals since the stream began, then the last second's counts.
    QString detail() const;
};
