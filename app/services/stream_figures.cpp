#include "stream_figures.h"

#include <QCoreApplication>

#include <cmath>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("StreamFigures", text);
}

// Rates come from readings about a second apart: whole numbers say enough.
QString count(double value) {
    return QString::number(std::llround(value));
}

QString ms(double value) {
    return tr("%1 ms").arg(std::lround(value));
}

QString counts(const StreamFigures::Counts& c) {
    return tr("%1 lost · %2 concealed · %3 late · %4 duplicated · %5 dropped")
        .arg(count(c.lost), count(c.concealed), count(c.late), count(c.duplicated), count(c.dropped));
}

}  // namespace

QString StreamFigures::compactLine() const {
    QString line = tr("Lost %1/s · Late %2/s · Jitter %3")
                       .arg(count(perSecond.lost), count(perSecond.late), ms(jitterMs));
    if (roundTripMs) line += tr(" · Round trip %1").arg(ms(*roundTripMs));
    return line + tr(" · Delay %1").arg(ms(delayMs));
}

QString StreamFigures::detail() const {
    return tr("Since the stream began: %1\nLast second: %2").arg(counts(total), counts(perSecond));
}
