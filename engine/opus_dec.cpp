#include "opus_dec.h"

#include <opus.h>

struct OpusDecState {
    OpusDecoder* decoder = nullptr;
};

OpusDec::OpusDec() : state_(new OpusDecState) {}

OpusDec::~OpusDec() {
    if (state_->decoder != nullptr) opus_decoder_destroy(state_->decoder);
    delete state_;
}

bool OpusDec::init(int sampleRate, int channels) {
    if (state_->decoder != nullptr) {
        opus_decoder_destroy(state_->decoder);
        state_->decoder = nullptr;
    }
    int error = 0;
    state_->decoder = opus_decoder_create(sampleRate, channels, &error);
    return error == OPUS_OK && state_->decoder != nullptr;
}

int OpusDec::decode(const unsigned char* data, int len, float* pcm, int maxFrames) {
    if (state_->decoder == nullptr) return -1;
    const int n = opus_decode_float(state_->decoder, data, len, pcm, maxFrames, 0);
    return n < 0 ? -1 : n;
}

void OpusDec::reset() {
    if (state_->decoder != nullptr) opus_decoder_ctl(state_->decoder, OPUS_RESET_STATE);
}
