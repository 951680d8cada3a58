// Cuts the microphone into 20 ms mono chunks (960 frames at the context's 48 kHz).
class Capture extends AudioWorkletProcessor {
  constructor() {
    super();
    this.chunk = new Float32Array(960);
    this.fill = 0;
  }

  process(inputs) {
    const channels = inputs[0];
    if (channels.length === 0) return true;
    const [left, right] = channels;
    for (let i = 0; i < left.length; i++) {
      this.chunk[this.fill++] = right ? (left[i] + right[i]) * 0.5 : left[i];
      if (this.fill === this.chunk.length) {
        this.port.postMessage(this.chunk, [this.chunk.buffer]);
        this.chunk = new Float32Array(960);
        this.fill = 0;
      }
    }
    return true;
  }
}

registerProcessor('capture', Capture);
