#include "qr_card.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <vector>

#include "qr_code.h"
#include "theme.h"
#include "typography.h"

namespace {

QFont captionFont() {
    return Typography::system(11);
}

// Three box blurs in each direction approximate a Gaussian; only alpha matters
// for a black shadow.
void blurAlpha(QImage& image, int radius) {
    const int w = image.width();
    const int h = image.height();
    std::vector<int> alpha(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            alpha[static_cast<size_t>(y * w + x)] = qAlpha(line[x]);
    }
    std::vector<int> tmp(alpha.size());
    const int window = 2 * radius + 1;
    auto pass = [&](bool horizontal) {
        const int lines = horizontal ? h : w;
        const int length = horizontal ? w : h;
        for (int l = 0; l < lines; ++l) {
            auto at = [&](int i) -> int& {
                return horizontal ? alpha[static_cast<size_t>(l * w + i)]
                                  : alpha[static_cast<size_t>(i * w + l)];
            };
            auto out = [&](int i) -> int& {
                return horizontal ? tmp[static_cast<size_t>(l * w + i)] : tmp[static_cast<size_t>(i * w + l)];
            };
            int sum = 0;
            for (int i = -radius; i <= radius; ++i)
                sum += (i >= 0 && i < length) ? at(i) : 0;
            for (int i = 0; i < length; ++i) {
                out(i) = sum / window;
                const int add = i + radius + 1;
                const int drop = i - radius;
                if (add < length) sum += at(add);
                if (drop >= 0) sum -= at(drop);
            }
        }
        alpha.swap(tmp);
    };
    for (int i = 0; i < 3; ++i) {
        pass(true);
        pass(false);
    }
    for (int y = 0; y < h; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgba(0, 0, 0, alpha[static_cast<size_t>(y * w + x)]);
    }
}

}  // namespace

QrCard::QrCard(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString QrCard::caption() const {
    if (url_.isEmpty()) return tr("Join the network your phone is on");
    if (caption_ == Caption::Browser) return tr("Scan this code with your phone's camera");
    return tr("Scan this code with the Tarnwell app on your iPhone");
}

void QrCard::setURL(const QString& url, Caption caption) {
    if (url == url_ && caption == caption_) return;
    url_ = url;
    caption_ = caption;
    update();
}

void QrCard::setNoNetwork() {
    setURL(QString());
}

void QrCard::setCodeSize(int size) {
    if (size == codeSize_) return;
    codeSize_ = size;
    codeTried_ = false;
    shadow_ = QImage();
    updateGeometry();
    update();
}

QSize QrCard::sizeHint() const {
    const int width = std::max(cardSize() + 2 * kShadowExtent, kCaptionWidth);
    return {width, kOverhangTop + cardSize() + kBottomPadding + kOverhangBottom};
}

QRect QrCard::cardRect() const {
    return {(width() - cardSize()) / 2, kOverhangTop, cardSize(), cardSize()};
}

QRectF QrCard::captionRect() const {
    const QFontMetricsF metrics(captionFont());
    const QRectF text = metrics.boundingRect(QRectF(0, 0, kCaptionWidth, 1000),
                                             Qt::AlignHCenter | Qt::TextWordWrap, caption());
    const QRect card = cardRect();
    const double bottom = card.y() + card.height() + kCaptionDrop;
    const double w = std::min<double>(kCaptionWidth, std::ceil(text.width()));
    return {(width() - w) / 2, bottom - std::ceil(text.height()), w, std::ceil(text.height())};
}

void QrCard::ensureCode(qreal devicePixelRatio) {
    if (url_.isEmpty()) return;
    if (codeTried_ && codeURL_ == url_ && codeRatio_ == devicePixelRatio) return;
    codeTried_ = true;
    codeURL_ = url_;
    codeRatio_ = devicePixelRatio;
    ++codeRenders_;
    const std::optional<QImage> image = QRCode::image(url_, codeSize_ * devicePixelRatio);
    code_ = image ? *image : QImage();
}

void QrCard::ensureShadow(qreal devicePixelRatio) {
    if (!shadow_.isNull() && shadowRatio_ == devicePixelRatio) return;
    shadowRatio_ = devicePixelRatio;
    // Drawn pixel by pixel rather than with QPainter, whose raster engine hands
    // large fills to a thread pool: the window's drawing stays on the main thread.
    const int side = static_cast<int>(std::ceil((cardSize() + 2 * kShadowExtent) * devicePixelRatio));
    shadow_ = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
    const double centre = side / 2.0;
    const double half = cardSize() * devicePixelRatio / 2;
    const double radius = kRadius * devicePixelRatio;
    const double alpha = 255 * kShadowOpacity;
    for (int y = 0; y < side; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(shadow_.scanLine(y));
        for (int x = 0; x < side; ++x) {
            // Distance from the pixel's centre to the rounded square; half a pixel of edge.
            const double qx = std::max(std::abs(x + 0.5 - centre) - (half - radius), 0.0);
            const double qy = std::max(std::abs(y + 0.5 - centre) - (half - radius), 0.0);
            const double distance = std::hypot(qx, qy) - radius;
            const double coverage = std::clamp(0.5 - distance, 0.0, 1.0);
            line[x] = qRgba(0, 0, 0, static_cast<int>(std::lround(alpha * coverage)));
        }
    }
    // The design's blur radius of 16 read as a Gaussian of standard deviation 8;
    // three box passes of radius r give a variance of r(r+1), so r = 7.
    blurAlpha(shadow_, static_cast<int>(std::lround(7 * devicePixelRatio)));
    shadow_.setDevicePixelRatio(devicePixelRatio);
}

void QrCard::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    ensureCode(ratio);
    ensureShadow(ratio);

    QPainter painter(this);
    const QRect card = cardRect();
    painter.drawImage(QPointF(card.x() - kShadowExtent, card.y() - kShadowExtent + kShadowOffsetY), shadow_);

    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(card), kRadius, kRadius);
    painter.save();
    painter.setClipPath(shape);
    painter.fillRect(card, Theme::cardWhite());
    const QRectF codeRect(card.x() + kPadding, card.y() + kPadding, codeSize_, codeSize_);
    if (url_.isEmpty()) {
        painter.setPen(Theme::background());  // dark on the white card
        painter.setFont(Typography::system(15, QFont::DemiBold));
        painter.drawText(codeRect, Qt::AlignCenter | Qt::TextWordWrap, tr("This computer has no network"));
    } else if (!code_.isNull()) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(codeRect, code_);
    } else {
        painter.setPen(Theme::danger());
        painter.setFont(font());
        painter.drawText(codeRect, Qt::AlignCenter | Qt::TextWordWrap, tr("Could not generate QR code"));
    }
    painter.restore();

    QPen border(Theme::withOpacity(Theme::accent(), kBorderOpacity), 1, Qt::SolidLine, Qt::FlatCap,
                Qt::MiterJoin);
    border.setMiterLimit(10);
    painter.setPen(border);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(card).adjusted(0.5, 0.5, -0.5, -0.5), kRadius, kRadius);

    painter.setPen(Theme::textSecondary());
    painter.setFont(captionFont());
    painter.drawText(captionRect(), Qt::AlignHCenter | Qt::AlignBottom | Qt::TextWordWrap, caption());
}
