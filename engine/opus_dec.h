#pragma once

struct OpusDecState;

// Owns one libopus decoder. Keeps its history across calls, which concealment
// and the packet after a loss rely on; only a new stream resets it.
class OpusDec {
public:
    OpusDec();
    ~OpusDec();
    OpusDec(const OpusDec&) = delete;
    OpusDec& operator=(const OpusDec&) = delete;

    bool init(int sampleRate, int channels);

    // Decodes one packet into interleaved float PCM, at most maxFrames per channel.
    // Null data with length 0 conceals one lost packet (maxFrames frames).
    // Returns frames per channel, or -1 (no decoder, corrupt packet, packet longer
    // than maxFrames); the decoder stays usable after a failure.
    int decode(const unsigned char* data, int len, float* pcm, int maxFrames);

    // Forgets the history, as a freshly created decoder: nothing of an earlier
    // stream leaks into the next one. No effect without a decoder.
    void reset();

private:
    OpusDecState* state_;
};
