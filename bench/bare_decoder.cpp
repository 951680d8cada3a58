#include "bare_decoder.h"

#include <opus.h>

BareDecoder::BareDecoder() : pcm_(2 * kFrames) {
    int error = OPUS_OK;
    decoder_ = opus_decoder_create(48000, 2, &error);
    if (error != OPUS_OK && decoder_ != nullptr) {
        opus_decoder_destroy(decoder_);
        decoder_ = nullptr;
    }
}

BareDecoder::~BareDecoder() {
    if (decoder_ != nullptr) opus_decoder_destroy(decoder_);
}

int BareDecoder::decode(const uint8_t* payload, size_t length) {
    return opus_decode_float(decoder_, payload, static_cast<opus_int32>(length), pcm_.data(), kFrames, 0);
}

void BareDecoder::reset() {
    opus_decoder_ctl(decoder_, OPUS_RESET_STATE);
}

int BareDecoder::conceal() {
    return opus_decode_float(decoder_, nullptr, 0, pcm_.data(), kFrames, 0);
}
