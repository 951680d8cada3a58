#pragma once

#include <QImage>
#include <QString>

#include <optional>

// QR code images of texts (the pairing URL).
namespace QRCode {

// Light modules around the symbol, as the standard asks for reliable scanning.
inline constexpr int kQuietZone = 4;
inline constexpr double kMaxSize = 16384;

// The UTF-8 bytes of text as a QR code in byte mode at error-correction level M
// (never raised to a higher level), dark modules on white, with the quiet zone.
// The symbol of W modules (quiet zone included) is scaled by max(size / W, 1)
// without smoothing: enlarged to the requested size, never shrunk. The image's
// device-independent size is size x size (its pixel ratio says how the bitmap
// maps onto it). The same text and size always give the same image.
// None when the text does not fit in a QR code, or size is not a positive number
// of at most kMaxSize.
std::optional<QImage> image(const QString& text, double size);

}  // namespace QRCode
