// Lists what PortAudio offers the Windows build, for the process-level tests that drive
// it under Wine: they pick a device of a given host API by its index, which only
// PortAudio knows.
// Usage: device_probe.exe; prints one line per host API and per device:
//   hostapi=I type=T devices=N defaultInput=D name=NAME
//   device=I hostapi=H type=T inputs=C rate=R name=NAME
#include <portaudio.h>

#include <cstdio>

int main() {
    if (Pa_Initialize() != paNoError) {
        std::printf("error=Pa_Initialize\n");
        return 1;
    }
    for (PaHostApiIndex i = 0; i < Pa_GetHostApiCount(); ++i) {
        const PaHostApiInfo* api = Pa_GetHostApiInfo(i);
        std::printf("hostapi=%d type=%d devices=%d defaultInput=%d name=%s\n", i, api->type, api->deviceCount,
                    api->defaultInputDevice, api->name);
    }
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* device = Pa_GetDeviceInfo(i);
        std::printf("device=%d hostapi=%d type=%d inputs=%d rate=%.0f name=%s\n", i, device->hostApi,
                    Pa_GetHostApiInfo(device->hostApi)->type, device->maxInputChannels, device->defaultSampleRate,
                    device->name);
    }
    Pa_Terminate();
    return 0;
}
