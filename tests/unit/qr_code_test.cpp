#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <qrcodegen/qrcodegen.hpp>

#include "pairing.h"
#include "qr_code.h"
#include "qr_scan.h"

namespace {

// What a real scanner reads from the image.
std::vector<std::string> decodeWithZbar(const QImage& image) {
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/code.png");
    return image.save(file) ? testsupport::scanCodes(file.toStdString()) : std::vector<std::string>{};
}

// The error-correction level from the format information next to the top-left
// finder pattern of an image with one pixel per module and the quiet zone.
// Returns the two level bits: 0 = M, 1 = L, 2 = H, 3 = Q.
int formatLevelBits(const QImage& image) {
    const int q = QRCode::kQuietZone;
    auto dark = [&](int x, int y) { return qGray(image.pixel(x + q, y + q)) < 128; };
    int bits = 0;
    auto put = [&](int i, bool on) { bits |= (on ? 1 : 0) << i; };
    for (int i = 0; i <= 5; ++i)
        put(i, dark(8, i));
    put(6, dark(8, 7));
    put(7, dark(8, 8));
    put(8, dark(7, 8));
    for (int i = 9; i < 15; ++i)
        put(i, dark(14 - i, 8));
    return ((bits ^ 0x5412) >> 13) & 3;
}

TEST(QRCode, ScannersReadBackExactlyThePairingUrl) {
    const QString name = QString::fromUtf8("Bj\xC3\xB6rn\xE2\x80\x99s workstation & more = fun ") +
                         QString(120, QLatin1Char('x'));
    const QString url = makePairingURL(QStringLiteral("192.168.1.20"), 47810, name, QStringLiteral("0042"));
    const std::optional<QImage> image = QRCode::image(url, 220);
    ASSERT_TRUE(image);
    EXPECT_EQ(decodeWithZbar(*image), std::vector{url.toStdString()});
}

TEST(QRCode, StaysAtLevelMWhereBoostingWouldRaiseIt) {
    const QString text = QStringLiteral("sonvale");
    const QByteArray utf8 = text.toUtf8();
    const std::vector<std::uint8_t> bytes(utf8.begin(), utf8.end());
    const auto boosted = qrcodegen::QrCode::encodeSegments({qrcodegen::QrSegment::makeBytes(bytes)},
                                                           qrcodegen::QrCode::Ecc::MEDIUM);
    ASSERT_NE(boosted.getErrorCorrectionLevel(), qrcodegen::QrCode::Ecc::MEDIUM);  // the premise

    const std::optional<QImage> image = QRCode::image(text, 1);  // one pixel per module
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 21 + 2 * QRCode::kQuietZone);  // version 1
    EXPECT_EQ(formatLevelBits(*image), 0);                   // M
    EXPECT_EQ(decodeWithZbar(*QRCode::image(text, 200)), std::vector<std::string>{"sonvale"});
}

TEST(QRCode, NoImageForTooMuchTextOrAnImpossibleSize) {
    EXPECT_FALSE(QRCode::image(QString(3000, QLatin1Char('a')), 220));
    EXPECT_FALSE(QRCode::image(QStringLiteral("a"), 0));
    EXPECT_FALSE(QRCode::image(QStringLiteral("a"), std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace
