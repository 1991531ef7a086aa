// The call model: the phone, its lines and its signalling protocol.
#pragma once

#include "MediaChannel.h"
#include "MediaManager.h"
#include "PhoneDeviceInterface.h"
#include "kmt/scheduler.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class InputLeveler;

namespace rtp {
class RTPSession;
struct RTPHeader;
}

namespace kbrphone {

class EchoSuppressor;
class Line;
class Phone;
class SoundGenerator;

// The line state numbers that the SIP stack sets and the phone, the tones, the devices and Java read.
enum LineState : int {
    lineIdle = 0,
    lineDialing = 1,
    lineRingback = 2,
    lineBusy = 3,
    lineFailed = 4,
    lineOffered = 5,
    lineConnected = 6,
    lineRemoteEnded = 7,
    lineEnded = 8,
    lineEndedTonePlayed = 9,
    lineEarlyMedia = 10,
    lineFailedOther = 11,
};

// The end tone of these states plays locally and then the line is told toneFinished.
inline bool isEndToneState(int state) {
    return state == lineBusy || state == lineFailed || state == lineRemoteEnded || state == lineFailedOther;
}

// The phone's interface to the signalling stack. A protocol installs itself as its phone's protocol when it
// is constructed (replacing and deleting one installed before) and the phone owns it from then on.
class Protocol {
public:
    explicit Protocol(Phone* phone);
    virtual ~Protocol();
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    // Creates a line with a new id (named by the id when name is empty), adds it with Phone::addLine and
    // returns it.
    virtual Line* createLine(const std::string& name) = 0;
    // Runs the phone's event loop on the calling thread.
    virtual void processEvents() = 0;
    virtual void registerWithProxy(const std::string& user, const std::string& displayName,
                                   const std::string& authUser, const std::string& password,
                                   const std::string& host, int port) = 0;
    virtual void setProxy(const std::string& user, const std::string& displayName,
                          const std::string& authUser, const std::string& password, const std::string& host,
                          int port) = 0;
    virtual void cancelRegistration() = 0;

protected:
    Phone* phone;
};

// One call leg. Lines are made on the heap by the protocol; a line deletes itself on state 8.
class Line {
public:
    Line(Phone* phone, const std::string& lineId, const std::string& name);
    virtual ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    virtual void dial(const std::string& number, const std::string& displayName) = 0;
    virtual void hangup() = 0;
    virtual void toneFinished() = 0;
    virtual void putOnHold() = 0;
    virtual void activate() = 0;
    virtual void setRinging() = 0;
    virtual void answerIncoming() = 0;
    virtual void rejectIncoming() = 0;
    virtual void busyIncoming() = 0;
    virtual void blindTransfer(const std::string& target) = 0;
    virtual void transfer(Line* other) = 0;
    virtual std::string remoteName() = 0;
    virtual std::string remoteUri() = 0;
    virtual std::string localName() = 0;
    virtual std::string localUri() = 0;
    virtual std::string calledUri() = 0;
    virtual bool isInternal() = 0;
    virtual int wrapUpTime() = 0;
    virtual TransportChannel* transportChannel() = 0;
    virtual rtp::RTPSession* rtpSession() = 0;

    // Every state change, on the loop thread. After setState(8) the line no longer exists.
    void setState(int newState);

    int getState() const { return state.load(); }
    bool isInitiator() const { return initiator.load(); }
    const std::string& getLineId() const { return lineId; }
    const std::string& getName() const { return name; }
    bool isTransportChannelActive() const { return transportChannelActive.load(); }
    Phone* getPhone() const { return phone; }

    std::recursive_mutex& getLock() { return lineLock; }
    // The tone of the current state; read and advanced under getLock().
    SoundGenerator* getTone() { return tone.get(); }

protected:
    // Replaces the tone for a state change; nothing when the state stays.
    void updateTone(int newState, int oldState);

private:
    friend class Phone;

    std::recursive_mutex lineLock;
    std::atomic<int> state;
    std::atomic<bool> initiator;
    const std::string lineId;
    const std::string name;
    std::atomic<bool> transportChannelActive;
    std::unique_ptr<SoundGenerator> tone;
    Phone* phone;
    // toneFinished was posted for the current tone (the playback path posts it once per end tone).
    bool toneFinishedPosted = false;
};

class Phone : public kmt::EventScheduler, public MediaChannel {
public:
    // Takes the media manager (may be null: no local audio); the creator is used once, here.
    Phone(std::unique_ptr<MediaManager> mediaManager, PhoneDeviceCreatorBase& creator);
    ~Phone() override;

    void putFrame(uint32_t frameNumber, int16_t* samples, int count) override;
    bool getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) override;

    // Notifications, all on the loop thread.
    virtual void registrationStateChanged(int state, const std::string& text) = 0;
    virtual void lineStateChanged(Line* line, bool active) = 0;
    virtual void buttonPressed(int code) {}
    virtual void requestDialing(const std::string& number) {}
    virtual void muteStateChanged(bool muted);

    // Throws std::runtime_error "line id is not unique" when the id is taken; the map is then unchanged.
    void addLine(Line* line);
    // The line of that id or null, looked up under phoneLock.
    Line* findLine(const std::string& lineId);

    void connectMedia(Line* line);
    void disconnectMedia(Line* line);
    void onLineStateChanged(Line* line, bool active);
    // The channel that audio and DTMF may use now; null (and a log line) when none.
    TransportChannel* getActiveChannel();

    // Line actions, posted to the loop from any thread.
    void hangup(const char* lineId);
    void toneFinished(const char* lineId);
    void answerIncoming(const char* lineId);
    void rejectIncoming(const char* lineId);
    void putOnHold(const char* lineId);
    void activate(const char* lineId);
    // Stores the mute flag; a change posts a PhoneMuteAction.
    void setMute(bool muted);
    // Replaces the locally played sound under audioLock (which the audio thread holds while it
    // mixes it), deleting the one it replaces; callable from any thread.
    void setLocalSound(std::unique_ptr<SoundGenerator> sound);
    bool hasLocalSound();

    // Audio controls of the Java bridge; each runs under phoneLock.
    // A key on the active call: out of band when the call negotiated key events, else mixed into the
    // captured audio; the key is also played locally as feedback. Nothing without a usable channel.
    void sendDtmf(char key);
    // A null name leaves that side unchanged; a change restarts the audio of an active line.
    void setDevices(const char* input, const char* output);
    void setAutoInputLevel(bool enabled);
    bool getAutoInputLevel();
    // Levels from 0.0 to 1.0; values outside are bounded, NaN counts as 0.
    void setInputLevel(double level);
    double getInputLevel();
    void setOutputLevel(double level);
    double getOutputLevel();
    std::string getActualInputDevice();
    std::string getActualOutputDevice();
    std::string getInputDeviceName();
    std::string getOutputDeviceName();
    void enableRinger(bool enabled) { ringerEnabled = enabled; }
    // Replaces the sound played on the speaker (or sent to the twin call).
    void setLocalSound(SoundGenerator* sound);
    MediaManager* getMediaManager() const { return mediaManager.get(); }

    // The twin line: a second call that stands in for the microphone and speaker.
    // Creates the twin line through the protocol and returns it.
    Line* createTwinLine(const std::string& name);
    bool isTwinActive() const { return twinLine.load() != nullptr; }
    Line* getTwinLine() const { return twinLine.load(); }

    Protocol* getProtocol() const { return protocol.load(); }
    PhoneDeviceInterface* getPhoneDevice() const { return phoneDevice.get(); }
    // Replaces (and deletes) the device the creator made; only before processEvents starts it.
    void replacePhoneDevice(PhoneDeviceInterface* device);
    Line* getActiveLine() const { return activeLine.load(); }
    bool isMuted() const { return muted.load(); }
    bool isRingerEnabled() const { return ringerEnabled.load(); }
    std::recursive_mutex& getLock() { return phoneLock; }
    // Number of live lines (tests, diagnostics).
    size_t lineCount();

    // The audio run's state (tests, diagnostics).
    bool isAudioRunning();
    bool hasEchoSuppressor();
    bool hasInputLeveler();

protected:
    // Open and close the audio device; called with phoneLock held.
    void startAudio();
    void stopAudio();

private:
    friend class Line;
    friend class Protocol;

    void postLineAction(const char* lineId, void (Line::*operation)());
    void removeLine(Line* line);
    void restartAudio();
    void clearKeyTones();

    // Twin relay.
    // True when the twin rules have handled the change completely (nobody else is told).
    bool twinStateChanged(Line* line);
    void connectTwin(Line* twin);
    void disconnectTwin(Line* twin);
    void installRelayToTwin(Line* line);
    void relayFromTwin(rtp::RTPSession* twinSession, const rtp::RTPHeader& header, void* data, size_t length);
    void relayToTwin(Line* line, const rtp::RTPHeader& header, void* data, size_t length);
    // Called with phoneLock held; true when tones were sent to the twin call.
    bool sendTonesToTwin(size_t count);

    std::atomic<Protocol*> protocol;
    std::recursive_mutex phoneLock;
    std::map<std::string, Line*> lines;
    // Read without the lock by the audio thread.
    std::atomic<Line*> activeLine;
    std::atomic<TransportChannel*> activeChannel;
    std::atomic<Line*> twinLine;
    bool twinConnected;
    std::atomic<bool> muted;
    // The objects the audio thread works with are replaced and deleted only under audioLock, which the
    // audio thread holds while it uses them; audioLock comes after phoneLock and before any other lock.
    std::mutex audioLock;
    std::unique_ptr<SoundGenerator> inBandDtmf;
    std::unique_ptr<SoundGenerator> localSound;
    std::unique_ptr<EchoSuppressor> echoSuppressor;
    std::unique_ptr<InputLeveler> inputLeveler;
    std::string inputDevice;
    std::string outputDevice;
    bool autoInputLevel;
    std::atomic<bool> ringerEnabled;
    std::unique_ptr<MediaManager> mediaManager;
    std::unique_ptr<MediaDevice> audioStream;
    std::unique_ptr<PhoneDeviceInterface> phoneDevice;
};

} // namespace kbrphone
