// Plays the 44100 Hz stream through a small jitter buffer. Blocks of 512 samples come
// from the page in bursts every 50 ms; the audio clock takes 128 frames every 2.9 ms.
// Playback starts (and after an underrun, restarts) once startFill samples are
// buffered; beyond maxFill the oldest audio is dropped, so the delay stays bounded
// when the sender's clock runs ahead of ours.

const capacity = 44100;  // one second
const startFill = 4410;  // 100 ms: two send cycles
const maxFill = 13230;   // 300 ms

class PlayerProcessor extends AudioWorkletProcessor {
    constructor() {
        super();
        this.ring = new Float32Array(capacity);
        this.read = 0;
        this.fill = 0;
        this.playing = false;
        this.stats = { received: 0, played: 0, underruns: 0, dropped: 0 };
        this.quanta = 0;
        this.port.onmessage = (event) => this.push(event.data);
    }

    push(samples) {
        this.stats.received += samples.length;
        let write = (this.read + this.fill) % capacity;
        for (let i = 0; i < samples.length; ++i) {
            this.ring[write] = samples[i];
            write = write + 1 === capacity ? 0 : write + 1;
        }
        this.fill += samples.length;
        if (this.fill > maxFill) {
            const drop = this.fill - startFill;
            this.read = (this.read + drop) % capacity;
            this.fill -= drop;
            this.stats.dropped += drop;
        }
    }

    process(inputs, outputs) {
        const channels = outputs[0];
        const out = channels[0];
        if (!this.playing && this.fill >= startFill)
            this.playing = true;
        if (this.playing) {
            const n = Math.min(out.length, this.fill);
            for (let i = 0; i < n; ++i) {
                out[i] = this.ring[this.read];
                this.read = this.read + 1 === capacity ? 0 : this.read + 1;
            }
            this.fill -= n;
            this.stats.played += n;
            if (n < out.length) {
                // The rest of this quantum stays silent; wait for the buffer to refill.
                ++this.stats.underruns;
                this.playing = false;
            }
        }
        for (let c = 1; c < channels.length; ++c)
            channels[c].set(out);
        // About ten reports a second.
        if (++this.quanta % 34 === 0)
            this.port.postMessage({ ...this.stats, fill: this.fill, playing: this.playing });
        return true;
    }
}

registerProcessor('sondrel-player', PlayerProcessor);
