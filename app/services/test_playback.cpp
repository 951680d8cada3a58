#include "test_playback.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>

namespace {

QString describe(QAudio::Error error) {
    switch (error) {
        case QAudio::NoError:
            return QStringLiteral("no error");
        case QAudio::OpenError:
            return QStringLiteral("the audio output could not be opened");
        case QAudio::IOError:
            return QStringLiteral("the audio output failed while writing");
        case QAudio::UnderrunError:
            return QStringLiteral("the audio output ran out of data");
        case QAudio::FatalError:
            return QStringLiteral("the audio output is not usable");
    }
    return QStringLiteral("unknown audio output error");
}

}  // namespace

TestPlayback::TestPlayback() = default;

TestPlayback::~TestPlayback() {
    stop();
}

std::optional<QString> TestPlayback::start() {
    if (isPlaying()) return std::nullopt;
    stop();
    const QAudioDevice output = QMediaDevices::defaultAudioOutput();
    if (output.isNull()) return QStringLiteral("no audio output device");

    QAudioFormat format;
    format.setSampleRate(kSampleRate);
    format.setChannelCount(kChannels);
    format.setSampleFormat(QAudioFormat::Float);
    if (!output.isFormatSupported(format))
        return QStringLiteral("the audio output does not take 48000 Hz stereo float audio");

    sink_ = std::make_unique<QAudioSink>(output, format);
    sink_->setBufferSize(format.bytesForDuration(qint64(kBufferMs) * 1000));
    sink_->setVolume(volume_);
    device_ = sink_->start();
    if (!device_ || sink_->error() != QAudio::NoError || sink_->state() == QAudio::StoppedState) {
        const QString reason =
            describe(sink_->error() == QAudio::NoError ? QAudio::OpenError : sink_->error());
        stop();
        return reason;
    }
    return std::nullopt;
}

void TestPlayback::stop() {
    if (sink_) sink_->stop();
    device_ = nullptr;
    sink_.reset();
}

bool TestPlayback::isPlaying() const {
    if (!sink_ || !device_) return false;
    const QAudio::State state = sink_->state();
    return state == QAudio::ActiveState || state == QAudio::IdleState;
}

void TestPlayback::setVolume(double volume) {
    volume_ = volume;
    if (sink_) sink_->setVolume(volume);
}

void TestPlayback::write(const float* frames, size_t count) {
    if (!isPlaying() || count == 0) return;
    device_->write(reinterpret_cast<const char*>(frames), qint64(count * kChannels * sizeof(float)));
}
