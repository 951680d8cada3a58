#include "qr_code.h"

#include <qrcodegen/qrcodegen.hpp>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace QRCode {

std::optional<QImage> image(const QString& text, double size) {
    if (!(size > 0 && size <= kMaxSize)) return std::nullopt;
    const QByteArray utf8 = text.toUtf8();
    const std::vector<std::uint8_t> bytes(utf8.begin(), utf8.end());
    std::optional<qrcodegen::QrCode> code;
    try {
        code = qrcodegen::QrCode::encodeSegments(
            {qrcodegen::QrSegment::makeBytes(bytes)}, qrcodegen::QrCode::Ecc::MEDIUM,
            qrcodegen::QrCode::MIN_VERSION, qrcodegen::QrCode::MAX_VERSION, -1, /*boostEcl=*/false);
    } catch (const std::length_error&) {  // more data than the largest symbol holds
        return std::nullopt;
    }

    const int modules = code->getSize();
    const int width = modules + 2 * kQuietZone;
    QImage symbol(width, width, QImage::Format_RGB32);
    symbol.fill(Qt::white);
    for (int y = 0; y < modules; ++y)
        for (int x = 0; x < modules; ++x)
            if (code->getModule(x, y)) symbol.setPixel(x + kQuietZone, y + kQuietZone, qRgb(0, 0, 0));

    const int pixels = std::max(width, static_cast<int>(std::lround(size)));
    QImage scaled = pixels == width
                        ? symbol
                        : symbol.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (scaled.isNull()) return std::nullopt;
    scaled.setDevicePixelRatio(static_cast<double>(pixels) / size);
    return scaled;
}

}  // namespace QRCode
