// The network half of a call's media: the RTP and RTCP sockets, the remote addresses, a scheduler
// of its own run by a receive thread, header decoding, the sender report and the packet logs.
#pragma once

#include "RTPHeader.h"
#include "RTPSourceFilter.h"
#include "kmt/scheduler.h"
#include "kmt/socket.h"
#include "kmt/thread.h"

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kbrphone {
class QOSProvider;
}

namespace rtp {

class RTPStream {
public:
    using PayloadHandler = std::function<void(RTPHeader, void*, size_t)>;
    static constexpr size_t kReceiveBufferSize = 4040;

    // Binds both sockets to the wildcard address on ports the system chooses, independently.
    RTPStream();
    ~RTPStream();
    RTPStream(const RTPStream&) = delete;
    RTPStream& operator=(const RTPStream&) = delete;

    // Replaces the handler; never while one is running (both hold the receive lock).
    void setPayloadHandler(PayloadHandler handler);

    // Sets the remote addresses (an unset RTCP address means the RTP port + 1) and starts the
    // receive thread unless it runs already.
    void start(const kmt::SocketAddress& remoteRtp, const kmt::SocketAddress& remoteRtcp);
    // Stops the receive thread at once and returns without waiting for it to end: the thread
    // finishes its last callback and its packet logs on its own. The sockets stay open. A later
    // start waits for that thread first.
    void stop();
    // Stops the stream for good and closes its sockets and its scheduler: a call that is over keeps
    // no descriptors while its dialog waits for its last transactions. When the receive thread is
    // still ending they are closed by that thread as its last act. Later starts and sends do
    // nothing; the scheduler's timers must have been removed first.
    void release();
    bool isReleased();
    bool isRunning();
    // Waits until a stopped receive thread is done with the stream (at once when it is): before
    // what its payload handler uses goes. The destructor waits the same way.
    void awaitThreadEnd();

    // Sends a datagram to the remote RTP address; nothing without one. Throws kmt::SocketException.
    void send(int tag, const void* data, size_t length);
    // Sends a datagram from the RTCP socket to the remote RTCP address; false without one.
    bool sendControl(const void* data, size_t length);

    bool hasRemoteRtp();
    kmt::SocketAddress remoteRtpAddress();
    kmt::SocketAddress remoteRtcpAddress();
    kmt::SocketAddress rtpLocalAddress() const { return rtpLocal; }
    kmt::SocketAddress rtcpLocalAddress() const { return rtcpLocal; }
    plat::SOCKET rtpSocketHandle() const { return rtpSocket.handle(); }

    // The receive thread's scheduler: the session's timers run on it. Gone after release.
    kmt::EventScheduler& getScheduler() { return *scheduler; }

    // Decodes the fixed header; throws std::out_of_range "EndianBuffer overflow" on a short
    // datagram and "decodeRTP illegal header extension" on a bad extension length.
    static RTPPacket decodeRTP(const uint8_t* data, size_t length);

    // Appends one 28-byte sender report: first word (length field patched by the caller), SSRC,
    // wall-clock NTP time, RTP timestamp and zero counts.
    static void buildSenderReport(EndianBuffer& out, uint32_t firstWord, uint32_t ssrc,
                                  uint32_t rtpTimestamp);

    // Decodes one datagram and hands it to the payload handler, as the receive thread does after
    // reading it from the far end. A bad datagram costs one log line.
    void deliverDatagram(const uint8_t* data, size_t length);
    // The sender whose packets are taken now; empty before the first one.
    kmt::SocketAddress followedSource();

    // True when an address is set: family not 0 and, for IPv4 and IPv6, not the all-zero address.
    static bool isAddressSet(const kmt::SocketAddress& address);

private:
    // The receive thread. Owned by its stream while it runs; a stopped thread owns itself and goes
    // when its body ends, so that nobody has to wait for it.
    class RTPThread : public kmt::Thread {
    public:
        explicit RTPThread(RTPStream* stream_) : stream(stream_) {}
        void run() override;

    private:
        RTPStream* stream;
    };

    void runReceiveLoop();
    // The receive thread's last act on the stream, under the socket lock; true when the thread owns
    // itself (it was stopped) and must delete itself.
    bool threadEnded(RTPThread* ending);
    // Closes what a released stream still held; the receive thread must be gone.
    void closeReleased();
    void registerSockets();
    void onRtpReadable();
    void onRtcpReadable();
    void dispatch(const uint8_t* data, size_t length, const kmt::SocketAddress* source = nullptr,
                  const kmt::SocketAddress& farEnd = kmt::SocketAddress(), int64_t nowMs = 0);
    void openPacketLogs();
    void closePacketLogs();
    void writeSessionRecord(FILE* file, int kind);
    static void writePacketRecord(FILE* file, int direction, int tag, const kmt::SocketAddress& address,
                                  const void* data, size_t length);

    std::recursive_mutex receiveLock;
    PayloadHandler payloadHandler;
    std::vector<uint8_t> receiveBuffer;
    std::unique_ptr<kmt::EventScheduler> scheduler;
    kmt::EventCallback<RTPStream> rtpReadableCallback;
    kmt::EventCallback<RTPStream> rtcpReadableCallback;
    std::recursive_mutex socketLock;
    kmt::Socket rtpSocket;
    kmt::SocketAddress rtpLocal;
    kmt::SocketAddress remoteRtp;
    kmt::Socket rtcpSocket;
    kmt::SocketAddress rtcpLocal;
    kmt::SocketAddress remoteRtcp;
    std::unique_ptr<kbrphone::QOSProvider> qos;
    std::unique_ptr<RTPThread> thread;
    bool running = false;
    // A stopped receive thread has not yet finished with the stream.
    bool ending = false;
    // The running thread's body has ended on its own (its loop failed): stop joins it.
    bool threadFinished = false;
    std::condition_variable_any threadGone;
    // The sockets join the scheduler once: its socket table has no removal.
    bool socketsRegistered = false;
    bool released = false;
    FILE* inLog = nullptr;
    FILE* outLog = nullptr;
    // Under the receive lock.
    RTPSourceFilter sourceFilter;
};

namespace testing {
// The number the next packet-log pair will carry (0-9).
int packetLogCounter();
// The process's bounds of the lines bad datagrams cost, as new: the next line of each kind is written.
void resetProcessLogBounds();
} // namespace testing

} // namespace rtp
