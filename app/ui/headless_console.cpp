#include "headless_console.h"

#include <unistd.h>

#include <QImage>
#include <QRegularExpression>

#include "app_delegate.h"
#include "audio_device.h"
#include "content_view.h"
#include "network_info.h"
#include "pairing.h"
#include "qr_code.h"
#include "sonvale_protocol.h"

HeadlessConsole::HeadlessConsole(AppDelegate& delegate, std::FILE* out, QObject* parent)
    : QObject(parent), delegate_(delegate), out_(out), terminal_(::isatty(::fileno(out)) == 1) {
    connect(&delegate_.engine(), &EngineController::stateChanged, this, &HeadlessConsole::showStatus);
    connect(&delegate_, &AppDelegate::browserStreamingChanged, this, &HeadlessConsole::showStatus);
    connect(&delegate_, &AppDelegate::pairingPausedChanged, this, &HeadlessConsole::showStatus);
    connect(&delegate_.diagnostics(), &StreamDiagnostics::changed, this, &HeadlessConsole::showStatus);
    // The sound server's device list sends no reliable change signal.
    connect(&poll_, &QTimer::timeout, this, &HeadlessConsole::showStatus);
    poll_.start(1000);
}

QString HeadlessConsole::halfBlocks(const QString& text) {
    // Size 1: one pixel a module, the quiet zone included.
    const std::optional<QImage> code = QRCode::image(text, 1);
    if (!code) return {};
    const QImage image = code->convertToFormat(QImage::Format_Grayscale8);
    const auto dark = [&](int x, int y) { return y < image.height() && qGray(image.pixel(x, y)) < 128; };
    QString lines;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); ++x) {
            const bool top = dark(x, y), bottom = dark(x, y + 1);
            lines += top && bottom ? QChar(0x2588)
                     : top         ? QChar(0x2580)
                     : bottom      ? QChar(0x2584)
                                   : QLatin1Char(' ');
        }
        lines += QLatin1Char('\n');
    }
    return lines;
}

// On a terminal the code is drawn black on white whatever the terminal's own
// colours: a light-on-dark code is read by few phone cameras.
QString HeadlessConsole::code(const QString& text) const {
    QString lines = halfBlocks(text);
    if (terminal_)
        lines.replace(QStringLiteral("\n"), QStringLiteral("\033[0m\n"))
            .replace(QRegularExpression(QStringLiteral("^"), QRegularExpression::MultilineOption),
                     QStringLiteral("\033[30;107m"));
    return lines;
}

void HeadlessConsole::printPairing() {
    const std::optional<QString> address = NetworkInfo::primaryIPv4();
    const QString pin = delegate_.engine().pin();
    QString text = tr("Address: %1\nPIN: %2\n").arg(address.value_or(tr("No network")), pin);
    if (address) {
        const QString phone = makePairingURL(*address, sonvale::kAudioPort, NetworkInfo::computerName(), pin);
        const QString browser = makeBrowserURL(*address, pin);
        text += tr("\nPhone app: %1\n").arg(phone) + code(phone);
        text += tr("\nBrowser: %1\n").arg(browser) + code(browser);
    }
    std::fputs(text.toUtf8().constData(), out_);
    std::fflush(out_);
    printed_ = true;
    showStatus();
}

void HeadlessConsole::showStatus() {
    if (!printed_) return;  // the status line comes after the codes
    QString line = ContentView::statusText(delegate_.engine().state()) + QStringLiteral(" · ") +
                   (AudioDevice::tarnwellDeviceID() ? tr("microphone ready") : tr("no microphone")) +
                   QStringLiteral(" · ") +
                   (delegate_.browserStreaming() ? tr("a browser is streaming") : tr("no browser streaming"));
    const QDateTime paused = delegate_.pairingPausedUntil();
    if (paused.isValid()) line += QStringLiteral(" · ") + ContentView::pairingPausedText(paused);
    const StreamFigures& figures = delegate_.diagnostics().figures();
    if (figures.streaming) line += QStringLiteral(" · ") + figures.compactLine();
    if (line == last_) return;
    last_ = line;
    if (terminal_)
        std::fprintf(out_, "\r\033[K%s", line.toUtf8().constData());
    else
        std::fprintf(out_, "%s\n", line.toUtf8().constData());
    std::fflush(out_);
}
