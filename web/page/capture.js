// Cuts the microphone into 20 ms mono chunks at 48 kHz (960 frames), whatever
// rate the audio context runs at (phones use 44.1 and 48 kHz).
export const CHUNK_FRAMES = 960;
const OUT_RATE = 48000;

// Linear interpolation: at 44.1 kHz and up its images of speech lie far below
// the signal, and it costs next to nothing on the audio thread.
export class Resampler {
  constructor(fromRate, onChunk) {
    this.step = fromRate / OUT_RATE; // input frames per output frame
    this.at = 0; // the next output's place, in frames of the next block (-1: the last one's final frame)
    this.last = 0;
    this.onChunk = onChunk;
    this.chunk = new Float32Array(CHUNK_FRAMES);
    this.fill = 0;
  }

  push(block) {
    const n = block.length;
    for (; this.at < n - 1; this.at += this.step) {
      const i = Math.floor(this.at);
      const before = i < 0 ? this.last : block[i];
      this.emit(before + (block[i + 1] - before) * (this.at - i));
    }
    this.at -= n;
    this.last = block[n - 1];
  }

  emit(sample) {
    this.chunk[this.fill++] = sample;
    if (this.fill < CHUNK_FRAMES) return;
    this.onChunk(this.chunk);
    this.chunk = new Float32Array(CHUNK_FRAMES);
    this.fill = 0;
  }
}

// Node's tests import the resampler alone.
if (typeof AudioWorkletProcessor === 'function') {
  class Capture extends AudioWorkletProcessor {
    constructor(options) {
      super();
      const rate = options.processorOptions?.rate ?? sampleRate;
      this.resampler = new Resampler(rate, (chunk) => this.port.postMessage(chunk, [chunk.buffer]));
      this.mono = new Float32Array(128);
    }

    process(inputs) {
      const channels = inputs[0];
      if (channels.length === 0) return true;
      if (this.mono.length !== channels[0].length) this.mono = new Float32Array(channels[0].length);
      this.mono.fill(0);
      for (const channel of channels) {
        for (let i = 0; i < channel.length; i++) this.mono[i] += channel[i] / channels.length;
      }
      this.resampler.push(this.mono);
      return true;
    }
  }
  registerProcessor('capture', Capture);
}
