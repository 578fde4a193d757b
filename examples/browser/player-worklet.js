// Plays the 44100 Hz stream through a small jitter buffer. Blocks of 512 samples come
// from the page in bursts every 50 ms; the audio clock takes 128 frames every 2.9 ms.
// Playback starts (and after an underrun, restarts) once `target` samples are
// buffered. Each underrun raises the target by 50 ms, up to 300 ms, so a machine or a
// network that delivers unevenly gets a deeper buffer. More than 200 ms beyond the
// target (a backlog at the start, or the sender's clock running ahead of ours), the
// oldest audio is dropped down to the target, so the delay stays bounded.

const capacity = 44100;     // one second
const firstTarget = 4410;   // 100 ms: two send cycles
const targetStep = 2205;    // 50 ms
const lastTarget = 13230;   // 300 ms
const headroom = 8820;      // 200 ms

class PlayerProcessor extends AudioWorkletProcessor {
    constructor() {
        super();
        this.ring = new Float32Array(capacity);
        this.read = 0;
        this.fill = 0;
        this.target = firstTarget;
        this.playing = false;
        // clean: samples played since the last underrun or drop, i.e. without a seam.
        this.stats = { received: 0, played: 0, underruns: 0, dropped: 0, clean: 0 };
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
        if (this.fill > this.target + headroom) {
            const drop = this.fill - this.target;
            this.read = (this.read + drop) % capacity;
            this.fill -= drop;
            this.stats.dropped += drop;
            this.stats.clean = 0;
        }
    }

    process(inputs, outputs) {
        const channels = outputs[0];
        const out = channels[0];
        if (!this.playing && this.fill >= this.target)
            this.playing = true;
        if (this.playing) {
            const n = Math.min(out.length, this.fill);
            for (let i = 0; i < n; ++i) {
                out[i] = this.ring[this.read];
                this.read = this.read + 1 === capacity ? 0 : this.read + 1;
            }
            this.fill -= n;
            this.stats.played += n;
            this.stats.clean += n;
            if (n < out.length) {
                // The rest of this quantum stays silent; wait for a deeper buffer.
                ++this.stats.underruns;
                this.stats.clean = 0;
                this.playing = false;
                this.target = Math.min(lastTarget, this.target + targetStep);
            }
        }
        for (let c = 1; c < channels.length; ++c)
            channels[c].set(out);
        // About ten reports a second.
        if (++this.quanta % 34 === 0)
            this.port.postMessage({ ...this.stats, fill: this.fill, target: this.target, playing: this.playing });
        return true;
    }
}

registerProcessor('sondrel-player', PlayerProcessor);
