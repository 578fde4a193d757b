#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "temp_dir.h"

// A private PulseAudio daemon with a null sink whose monitor is the default source, so
// that whatever is played into the sink can be captured as a microphone. Everything
// lives in a temporary directory that also serves as XDG_RUNTIME_DIR and HOME of the
// daemon and of the processes under test. All processes started here are ended by PID,
// and also die with the thread that made the VirtualMic (so make it on a thread that
// outlives it, normally the test's main thread).
class VirtualMic {
public:
    // Starts the daemon and waits (up to about 15 s) until it answers.
    // Throws std::runtime_error when it cannot be started or does not answer.
    VirtualMic();
    ~VirtualMic();
    VirtualMic(const VirtualMic&) = delete;
    VirtualMic& operator=(const VirtualMic&) = delete;

    // True when the pulseaudio binary is installed.
    static bool available();

    // "NAME=value" entries a child process needs to reach this daemon.
    std::vector<std::string> environment() const;
    // Sets the same variables in this process, for in-process PortAudio use.
    void exportToThisProcess() const;

    // Plays a float32 mono sine of the given length into the null sink (in the background),
    // or into another sink of this daemon.
    void playTone(double frequency, int sampleRate, double amplitude, double seconds,
                  const std::string& sink = "mic_sink");
    // A second microphone: a null sink "second_sink" whose monitor ALSA's pulse plugin
    // offers as the PCM "second_mic" (through the .asoundrc in the shared HOME), so that
    // PortAudio lists it as a device of its own. Its name is returned.
    std::string addSecondMicrophone();
    // Ends every player started by playTone.
    void stopTone();
    // Ends the daemon abruptly (SIGKILL), as if the device went away.
    void killDaemon();
    // A fresh daemon on the same socket after killDaemon(), as a sound server that was
    // restarted. Throws like the constructor.
    void restartDaemon();
    // Stops the daemon in its tracks (SIGSTOP), as a hung sound server. thawDaemon()
    // continues it; so does every way of ending it.
    void freezeDaemon();
    void thawDaemon();
    // Removes the null sink, and with it the source, as a microphone that is unplugged
    // (players lose their sink); addSource() puts it back as the default source.
    void removeSource();
    void addSource();
    pid_t daemonPid() const { return daemon; }

    const std::string& directory() const { return dir; }
    std::string logPath() const { return dir + "/pa.log"; }

private:
    pid_t spawn(const std::vector<std::string>& argv) const;
    bool answers() const;
    void startDaemon();
    void stopDaemon();
    void pactl(const std::vector<std::string>& arguments) const;

    const TempDir home{"virtual-mic"}; // the daemon's runtime folder, its log and the tones
    const std::string& dir = home.path;
    pid_t daemon = -1;
    bool frozen = false;
    std::vector<pid_t> players;
    int toneCount = 0;
};
