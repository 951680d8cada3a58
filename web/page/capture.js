// Cuts the microphone into 20 ms mono chunks at 48 kHz (960 frames), whatever
// rate the audio context runs at (phones use 44.1 and 48 kHz).
export const CHUNK_FRAMES = 960;
const OUT_RATE = 48000;

// Linear interpolation: at 44.1 kHz and up its images of speech lie far below
// the signal, and it costs next to nothing on the audio thread. Each chunk goes
// out with its first sample's time on the source's clock (seconds), given the
// time of each block's first frame.
export class Resampler {
  constructor(fromRate, onChunk) {
    this.rate = fromRate;
    this.step = fromRate / OUT_RATE; // input frames per output frame
    this.at = 0; // the next output's place, in frames of the next block (-1: the last one's final frame)
    this.last = 0;
    this.onChunk = onChunk;
    this.chunk = new Float32Array(CHUNK_FRAMES);
    this.fill = 0;
  }

  push(block, time = 0) {
    const n = block.length;
    for (; this.at < n - 1; this.at += this.step) {
      const i = Math.floor(this.at);
      const before = i < 0 ? this.last : block[i];
      if (this.fill === 0) this.time = time + this.at / this.rate;
      this.emit(before + (block[i + 1] - before) * (this.at - i));
    }
    this.at -= n;
    this.last = block[n - 1];
  }

  emit(sample) {
    this.chunk[this.fill++] = sample;
    if (this.fill < CHUNK_FRAMES) return;
    this.onChunk(this.chunk, this.time);
    this.chunk = new Float32Array(CHUNK_FRAMES);
    this.fill = 0;
  }
}

// Maps a capture source's clock onto the page's: a chunk reaches the page at
// the earliest one chunk after its first sample, so the smallest lag seen
// (arrival minus source time, less a chunk) is the offset. The lag then grows
// only with what queues between the source and the page. Times in ms.
export class CaptureClock {
  offset = Infinity;
  toPage(sourceMs, arrivalMs) {
    this.offset = Math.min(this.offset, arrivalMs - sourceMs - (CHUNK_FRAMES * 1000) / OUT_RATE);
    return sourceMs + this.offset;
  }
}

// Reads a microphone track without an audio context (MediaStreamTrackProcessor,
// Chromium): 48 kHz mono chunks with their first sample's capture time (ms on
// the source's clock). The browser drops frames queued beyond maxBufferSize,
// so a page that falls behind catches up instead of lagging. stop() ends it.
export function readTrack(Processor, track, onChunk) {
  const reader = new Processor({ track, maxBufferSize: 4 }).readable.getReader();
  let resampler = null;
  let stopped = false;
  (async () => {
    for (;;) {
      const { value: data, done } = await reader.read();
      if (done || stopped) return data?.close();
      resampler ??= new Resampler(data.sampleRate, (samples, time) => onChunk(samples, time * 1000));
      const mono = new Float32Array(data.numberOfFrames);
      const plane = new Float32Array(data.numberOfFrames);
      for (let c = 0; c < data.numberOfChannels; c++) {
        data.copyTo(plane, { planeIndex: c, format: 'f32-planar' });
        for (let i = 0; i < plane.length; i++) mono[i] += plane[i] / data.numberOfChannels;
      }
      resampler.push(mono, data.timestamp / 1e6);
      data.close();
    }
  })().catch(() => {});
  return {
    stop() {
      stopped = true;
      reader.cancel().catch(() => {});
    },
  };
}

// Node's tests import the resampler alone.
if (typeof AudioWorkletProcessor === 'function') {
  class Capture extends AudioWorkletProcessor {
    constructor(options) {
      super();
      const rate = options.processorOptions?.rate ?? sampleRate;
      this.resampler = new Resampler(rate, (samples, time) => this.port.postMessage({ samples, time }, [samples.buffer]));
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
      this.resampler.push(this.mono, currentTime);
      return true;
    }
  }
  registerProcessor('capture', Capture);
}
