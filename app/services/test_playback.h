#pragma once

#include <QString>

#include <cstddef>
#include <memory>
#include <optional>

class QAudioSink;
class QIODevice;

// Plays frames through the default audio output: a QAudioSink in push mode, 32-bit
// float, 48000 Hz, 2 interleaved channels, with about 200 ms of buffer. Main
// thread only; the sound server renders on its own thread.
class TestPlayback {
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr int kBufferMs = 200;

    TestPlayback();
    ~TestPlayback();
    TestPlayback(const TestPlayback&) = delete;
    TestPlayback& operator=(const TestPlayback&) = delete;

    // Opens the current default output and starts playing (silence until frames
    // come). Returns the reason when the output cannot be started. Harmless while
    // playing.
    std::optional<QString> start();
    // Stops and releases the output.
    void stop();
    // True while the output is started and has not failed.
    bool isPlaying() const;
    // 0.0 to 1.0; kept across start() and stop().
    void setVolume(double volume);
    double volume() const { return volume_; }
    // Queues count interleaved stereo frames after those queued before. What does
    // not fit into the output's buffer is dropped.
    void write(const float* frames, size_t count);

private:
    std::unique_ptr<QAudioSink> sink_;
    QIODevice* device_ = nullptr;  // owned by sink_
    double volume_ = 1.0;
};
