#include "RTPStream.h"

#include "QOSProvider.h"
#include "kmt/log.h"
#include "plat/dl.h"
#include "plat/qos.h"
#include "plat/sync.h"
#include "plat/time.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace rtp {

namespace {

// Numbers the packet-log pairs of all streams of the process: 0 to 9, then 0 again.
std::atomic<int> packetLogCounter{0};

// What any sender can cause with each datagram is logged under bounds of the process: a peer that
// sends a few stray datagrams in every call (linphone's zero packets at a stream's start) gives one
// line per interval over all calls, not one per call.
struct ProcessLogBounds {
    kmt::LogBound version, malformed, rtpRead, rtcpReceived, rtcpRead;
};
ProcessLogBounds& processLogBounds() {
    static ProcessLogBounds bounds;
    return bounds;
}

// Address family codes of the packet-log format.
constexpr uint8_t kLogFamilyIPv4 = 2;
constexpr uint8_t kLogFamilyIPv6 = 23;

void needBytes(size_t offset, size_t count, size_t length) {
    if (offset > length || count > length - offset)
        throw std::out_of_range("EndianBuffer overflow");
}

// Sets the task's multimedia class for the calling thread; the result is not checked.
class MmThreadCharacteristics {
public:
    explicit MmThreadCharacteristics(const char* task) {
        module = plat::LoadLibraryA("avrt.dll");
        if (!module)
            return;
        auto set = reinterpret_cast<plat::AvSetMmThreadCharacteristicsAFn>(
            plat::GetProcAddress(module, plat::kAvSetMmThreadCharacteristicsAName));
        revert = reinterpret_cast<plat::AvRevertMmThreadCharacteristicsFn>(
            plat::GetProcAddress(module, plat::kAvRevertMmThreadCharacteristicsName));
        plat::DWORD taskIndex = 0;
        if (set)
            handle = set(task, &taskIndex);
    }
    ~MmThreadCharacteristics() {
        if (handle && revert)
            revert(handle);
        if (module)
            plat::FreeLibrary(module);
    }
    MmThreadCharacteristics(const MmThreadCharacteristics&) = delete;
    MmThreadCharacteristics& operator=(const MmThreadCharacteristics&) = delete;

private:
    plat::HMODULE module = nullptr;
    plat::AvRevertMmThreadCharacteristicsFn revert = nullptr;
    plat::HANDLE handle = nullptr;
};

// The local address both sockets bind to. IPv4 only (the mode the engine runs in) needs no
// resolver: the wildcard address is known. Other modes leave it to the socket layer's lookup.
kmt::SocketAddress wildcardAddress() {
    if (kmt::ipMode != 1)
        return kmt::SocketAddress();
    plat::SOCKADDR_IN any{};
    any.sin_family = AF_INET;
    return kmt::SocketAddress(reinterpret_cast<const plat::SOCKADDR*>(&any), sizeof any);
}

} // namespace

namespace testing {
int packetLogCounter() {
    return rtp::packetLogCounter.load();
}
void resetProcessLogBounds() {
    ProcessLogBounds& b = processLogBounds();
    for (kmt::LogBound* bound : {&b.version, &b.malformed, &b.rtpRead, &b.rtcpReceived, &b.rtcpRead})
        bound->reset();
}
} // namespace testing

RTPStream::RTPStream()
    : scheduler(std::make_unique<kmt::EventScheduler>()), rtpReadableCallback(this, &RTPStream::onRtpReadable),
      rtcpReadableCallback(this, &RTPStream::onRtcpReadable) {
    const kmt::SocketAddress local = wildcardAddress();
    rtpSocket.bindUdp(local);
    rtcpSocket.bindUdp(local);
    rtpLocal = rtpSocket.localAddress();
    rtcpLocal = rtcpSocket.localAddress();
    qos.reset(kbrphone::QOSProvider::create());
    receiveBuffer.resize(kReceiveBufferSize);
}

RTPStream::~RTPStream() {
    release();
    awaitThreadEnd();
}

void RTPStream::release() {
    stop();
    {
        std::lock_guard<std::recursive_mutex> guard(socketLock);
        if (released)
            return;
        released = true;
        closePacketLogs();
        qos.reset();
        // An ending receive thread may still be in a handler, reading into the buffer, waiting on
        // the scheduler and the sockets: it closes them itself when it is done. Nothing here
        // waits for it (not even for the receive lock it holds).
        if (ending)
            return;
    }
    // No thread: the receive lock is only the loop's own.
    std::lock_guard<std::recursive_mutex> receiveGuard(receiveLock);
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    if (!ending)
        closeReleased();
}

void RTPStream::closeReleased() {
    std::vector<uint8_t>().swap(receiveBuffer);
    thread.reset();
    scheduler.reset();
    // The RTCP socket first, then the RTP socket; a failing close is not worth ending the process.
    try {
        rtcpSocket.close();
    } catch (const kmt::SocketException&) {
    }
    try {
        rtpSocket.close();
    } catch (const kmt::SocketException&) {
    }
}

void RTPStream::awaitThreadEnd() {
    std::unique_lock<std::recursive_mutex> guard(socketLock);
    threadGone.wait(guard, [this] { return !ending; });
}

bool RTPStream::isReleased() {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    return released;
}

bool RTPStream::isAddressSet(const kmt::SocketAddress& address) {
    if (address.family() == 0)
        return false;
    const plat::SOCKADDR* sa = address.sockaddr();
    if (address.family() == AF_INET) {
        auto* in = reinterpret_cast<const plat::SOCKADDR_IN*>(sa);
        return in->sin_addr.s_addr != 0;
    }
    if (address.family() == AF_INET6) {
        auto* in6 = reinterpret_cast<const plat::SOCKADDR_IN6*>(sa);
        static const uint8_t zero[16] = {};
        return std::memcmp(&in6->sin6_addr, zero, 16) != 0;
    }
    return true;
}

void RTPStream::setPayloadHandler(PayloadHandler handler) {
    std::lock_guard<std::recursive_mutex> guard(receiveLock);
    payloadHandler = std::move(handler);
    // A released stream has given its buffer back and receives nothing more.
    if (!receiveBuffer.empty())
        receiveBuffer.resize(kReceiveBufferSize);
}

void RTPStream::start(const kmt::SocketAddress& rtpAddress, const kmt::SocketAddress& rtcpAddress) {
    KMT_LOG(kmt::logRtp, 2) << "Start session with " << rtpAddress << ":" << rtpAddress.port();
    // A thread stopped a moment ago may still be in the scheduler: one runs it at a time. Waited
    // for before the lock is taken, as the ending thread takes it last.
    awaitThreadEnd();
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    if (released) {
        KMT_LOG(kmt::logRtp, 2) << "not started: the call's media is over";
        return;
    }
    remoteRtp = rtpAddress;
    if (isAddressSet(rtcpAddress))
        remoteRtcp = rtcpAddress;
    else if (rtpAddress.family() == AF_INET || rtpAddress.family() == AF_INET6)
        remoteRtcp = rtpAddress.withPort(static_cast<uint16_t>(rtpAddress.port() + 1));
    else
        remoteRtcp = rtpAddress;
    qos->addSocketToFlow(rtpSocket.handle(), remoteRtp);
    openPacketLogs();
    if (!running) {
        // Here rather than on the thread, so that a call that cannot have its sockets watched
        // hears of it from start, as it does of a thread that cannot be started.
        registerSockets();
        thread.reset(new RTPThread(this));
        thread->start();
        running = true;
        threadFinished = false;
    }
}

void RTPStream::registerSockets() {
    if (socketsRegistered)
        return;
    scheduler->addSocket(rtpSocket, &rtpReadableCallback);
    scheduler->addSocket(rtcpSocket, &rtcpReadableCallback);
    socketsRegistered = true;
}

void RTPStream::stop() {
    std::unique_lock<std::recursive_mutex> guard(socketLock);
    if (!running || !thread)
        return;
    running = false;
    if (threadFinished) {
        // The body is over already; only the thread's last instructions may be left.
        std::unique_ptr<RTPThread> over = std::move(thread);
        guard.unlock();
        over->join();
        return;
    }
    scheduler->stop();
    // Nobody waits for the thread: it owns itself from here on and tells the stream when it is done
    // with it (threadEnded).
    ending = true;
    thread->detach();
    (void)thread.release();
}

bool RTPStream::isRunning() {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    return running;
}

bool RTPStream::hasRemoteRtp() {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    return isAddressSet(remoteRtp);
}

kmt::SocketAddress RTPStream::remoteRtpAddress() {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    return remoteRtp;
}

kmt::SocketAddress RTPStream::remoteRtcpAddress() {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    return remoteRtcp;
}

void RTPStream::send(int tag, const void* data, size_t length) {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    if (released || !isAddressSet(remoteRtp))
        return;
    rtpSocket.sendTo(remoteRtp, data, static_cast<int>(length));
    if (outLog)
        writePacketRecord(outLog, 2, tag, remoteRtp, data, length);
}

bool RTPStream::sendControl(const void* data, size_t length) {
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    if (released || !isAddressSet(remoteRtcp))
        return false;
    KMT_LOG(kmt::logRtp, 2) << "send data on rtp ctl socket";
    rtcpSocket.sendTo(remoteRtcp, data, static_cast<int>(length));
    return true;
}

void RTPStream::RTPThread::run() {
    {
        plat::SetThreadPriority(plat::GetCurrentThread(), plat::THREAD_PRIORITY_TIME_CRITICAL);
        plat::SetThreadExecutionState(plat::ES_CONTINUOUS | plat::ES_SYSTEM_REQUIRED);
        MmThreadCharacteristics proAudio("Pro Audio");
        stream->runReceiveLoop();
    }
    // The stream may be gone from the moment threadEnded has returned: only this object is left.
    if (stream->threadEnded(this))
        delete this;
}

void RTPStream::runReceiveLoop() {
    try {
        scheduler->run();
    } catch (const kmt::SocketException& e) {
        KMT_LOG(kmt::logRtp, 1) << "caught socket exception in " << e.call() << ": " << e.code();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logRtp, 1) << "caught exception in rtp session: " << e.what();
    }
}

bool RTPStream::threadEnded(RTPThread* self) {
    std::unique_lock<std::recursive_mutex> receiveGuard(receiveLock);
    std::unique_lock<std::recursive_mutex> guard(socketLock);
    closePacketLogs();
    if (thread.get() == self) {
        // Not stopped: the loop failed. The stream still owns the thread; stop joins it.
        threadFinished = true;
        return false;
    }
    if (released)
        closeReleased();
    // The socket lock is the last thing of the stream this thread touches: a waiting destructor
    // goes on once it is free.
    receiveGuard.unlock();
    ending = false;
    threadGone.notify_all();
    guard.unlock();
    return true;
}

void RTPStream::onRtpReadable() {
    KMT_LOG(kmt::logRtp, 5) << "received data on rtp socket";
    std::lock_guard<std::recursive_mutex> receiveGuard(receiveLock);
    int received = 0;
    kmt::SocketAddress source;
    kmt::SocketAddress farEnd;
    try {
        std::lock_guard<std::recursive_mutex> socketGuard(socketLock);
        farEnd = remoteRtp;
        int sourceLength = kmt::SocketAddress::length();
        received =
            plat::recvfrom(rtpSocket.handle(), reinterpret_cast<char*>(receiveBuffer.data()),
                           static_cast<int>(receiveBuffer.size()), 0, source.sockaddr(), &sourceLength);
        if (received == plat::SOCKET_ERROR)
            throw kmt::SocketException("recvfrom", plat::WSAGetLastError());
        if (inLog)
            writePacketRecord(inLog, 1, 0, source, receiveBuffer.data(), static_cast<size_t>(received));
    } catch (const kmt::SocketException& e) {
        // A datagram longer than the buffer fails the read (WSAEMSGSIZE): any sender can cause it.
        KMT_LOG_BOUNDED(kmt::logRtp, 1, processLogBounds().rtpRead)
            << "caught socket exception in " << e.call() << "error: " << e.code();
        return;
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logRtp, 1) << "caught exception: " << e.what();
        return;
    }
    dispatch(receiveBuffer.data(), static_cast<size_t>(received), &source, farEnd, plat::processClockMs());
}

void RTPStream::deliverDatagram(const uint8_t* data, size_t length) {
    std::lock_guard<std::recursive_mutex> receiveGuard(receiveLock);
    dispatch(data, length);
}

kmt::SocketAddress RTPStream::followedSource() {
    std::lock_guard<std::recursive_mutex> receiveGuard(receiveLock);
    return sourceFilter.followed();
}

// Runs with the receive lock held, so the handler cannot be replaced while it runs. With a source,
// only what the source filter takes reaches the handler.
void RTPStream::dispatch(const uint8_t* data, size_t length, const kmt::SocketAddress* source,
                         const kmt::SocketAddress& farEnd, int64_t nowMs) {
    ProcessLogBounds& bounds = processLogBounds();
    try {
        RTPPacket packet = decodeRTP(data, length);
        const RTPHeader& h = packet.header;
        const int version = data[0] >> 6;
        if (version != 2) {
            KMT_LOG_BOUNDED(kmt::logRtp, 1, bounds.version) << "dropped rtp datagram of version " << version;
            return;
        }
        if (source) {
            sourceFilter.expect(farEnd);
            if (!sourceFilter.accept(*source, h, nowMs))
                return;
        }
        KMT_LOG(kmt::logRtp, 5) << "Received rtp: nr=" << h.sequenceNumber << ", time=" << h.timestamp
                                << ", marker=" << h.marker << ", type=" << h.payloadType;
        if (payloadHandler)
            payloadHandler(h, const_cast<uint8_t*>(packet.payload), packet.payloadLength);
    } catch (const kmt::SocketException& e) {
        KMT_LOG(kmt::logRtp, 1) << "caught socket exception in " << e.call() << "error: " << e.code();
    } catch (const std::exception& e) {
        KMT_LOG_BOUNDED(kmt::logRtp, 1, bounds.malformed) << "caught exception: " << e.what();
    }
}

void RTPStream::onRtcpReadable() {
    // One line per datagram of any sender: bounded over the process, as the RTP lines are.
    KMT_LOG_BOUNDED(kmt::logRtp, 2, processLogBounds().rtcpReceived) << "received data on rtp ctl socket";
    try {
        std::lock_guard<std::recursive_mutex> receiveGuard(receiveLock);
        std::lock_guard<std::recursive_mutex> socketGuard(socketLock);
        kmt::SocketAddress source;
        int sourceLength = kmt::SocketAddress::length();
        int received =
            plat::recvfrom(rtcpSocket.handle(), reinterpret_cast<char*>(receiveBuffer.data()),
                           static_cast<int>(receiveBuffer.size()), 0, source.sockaddr(), &sourceLength);
        if (received == plat::SOCKET_ERROR)
            throw kmt::SocketException("recv", plat::WSAGetLastError());
    } catch (const kmt::SocketException& e) {
        KMT_LOG_BOUNDED(kmt::logRtp, 1, processLogBounds().rtcpRead)
            << "caught socket exception in " << e.call() << "error: " << e.code();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logRtp, 1) << "caught exception: " << e.what();
    }
}

RTPPacket RTPStream::decodeRTP(const uint8_t* data, size_t length) {
    RTPPacket packet;
    needBytes(0, 12, length);
    const int csrcCount = data[0] & 0x0F;
    const bool extension = (data[0] & 0x10) != 0;
    const bool padding = (data[0] & 0x20) != 0;
    packet.header.marker = (data[1] & 0x80) ? 1 : 0;
    packet.header.payloadType = data[1] & 0x7F;
    packet.header.sequenceNumber = loadBE16(data + 2);
    packet.header.timestamp = loadBE32(data + 4);
    packet.header.ssrc = loadBE32(data + 8);
    size_t offset = 12;
    if (csrcCount) {
        needBytes(offset, 4 * size_t(csrcCount), length);
        offset += 4 * size_t(csrcCount);
    }
    if (extension) {
        needBytes(offset, 4, length);
        const size_t words = loadBE16(data + offset + 2);
        offset += 4;
        if (words == 0 || words / 4 + 1 > length)
            throw std::out_of_range("decodeRTP illegal header extension");
        needBytes(offset, 4 * words, length);
        offset += 4 * words;
    }
    size_t payloadLength = length - offset;
    if (padding && payloadLength > 0) {
        const size_t pad = data[length - 1];
        payloadLength = pad > payloadLength ? 0 : payloadLength - pad;
    }
    packet.payload = data + offset;
    packet.payloadLength = payloadLength;
    return packet;
}

void RTPStream::buildSenderReport(EndianBuffer& out, uint32_t firstWord, uint32_t ssrc,
                                  uint32_t rtpTimestamp) {
    plat::__timeb64 now{};
    plat::_ftime64_s(&now);
    const uint32_t ntpSeconds = static_cast<uint32_t>(static_cast<uint64_t>(now.time) + 2208988800ull);
    const uint32_t ntpFraction = static_cast<uint32_t>((uint64_t(now.millitm) << 32) / 1000);
    // Checked first so that a report that does not fit leaves nothing half written.
    if (out.available() < 28)
        throw std::out_of_range("EndianBuffer overflow");
    out.put8(static_cast<uint8_t>((firstWord & 0xFF) | 0x80));
    out.put8(static_cast<uint8_t>(firstWord >> 8));
    out.put16(static_cast<uint16_t>(firstWord >> 16));
    out.put32(ssrc);
    out.put32(ntpSeconds);
    out.put32(ntpFraction);
    out.put32(rtpTimestamp);
    out.put32(0);
    out.put32(0);
}

void RTPStream::openPacketLogs() {
    if (kmt::logRtp.effectiveLevel() <= 1)
        return;
    const char* dir = std::getenv("KBR_RTP_LOGDIR");
    if (!dir)
        return;
    std::lock_guard<std::recursive_mutex> guard(socketLock);
    int n = packetLogCounter.load();
    while (!packetLogCounter.compare_exchange_weak(n, (n + 1) % 10)) {
    }
    const std::string base = std::string(dir) + "/packets" + std::to_string(n);
    // A restart on a running stream replaces its files: close the old pair rather than leak it.
    closePacketLogs();
    inLog = std::fopen((base + "_in.log").c_str(), "wb");
    if (inLog)
        writeSessionRecord(inLog, 1);
    outLog = std::fopen((base + "_out.log").c_str(), "wb");
    if (outLog)
        writeSessionRecord(outLog, 2);
}

void RTPStream::closePacketLogs() {
    if (inLog)
        std::fclose(inLog);
    if (outLog)
        std::fclose(outLog);
    inLog = outLog = nullptr;
}

void RTPStream::writeSessionRecord(FILE* file, int kind) {
    kmt::SocketAddress local;
    try {
        local = rtcpSocket.localAddress();
    } catch (const kmt::SocketException&) {
        // Written with family 0: the record then ends after the family byte.
    }
    uint8_t record[40];
    EndianBuffer out(record, sizeof record);
    out.putBytes("\xE1\x1E\x00\x03", 4);
    out.put16(static_cast<uint16_t>(kind));
    const uint64_t ms = static_cast<uint64_t>(plat::wallClockMs());
    out.put32(static_cast<uint32_t>(ms >> 32));
    out.put32(static_cast<uint32_t>(ms));
    if (local.family() == AF_INET) {
        out.put8(kLogFamilyIPv4);
        out.putBytes(&reinterpret_cast<const plat::SOCKADDR_IN*>(local.sockaddr())->sin_addr, 4);
        out.put16(local.port());
    } else if (local.family() == AF_INET6) {
        out.put8(kLogFamilyIPv6);
        out.putBytes(&reinterpret_cast<const plat::SOCKADDR_IN6*>(local.sockaddr())->sin6_addr, 16);
        out.put16(local.port());
    } else {
        out.put8(static_cast<uint8_t>(local.family()));
    }
    std::fwrite(record, 1, out.size(), file);
}

void RTPStream::writePacketRecord(FILE* file, int direction, int tag, const kmt::SocketAddress& address,
                                  const void* data, size_t length) {
    uint8_t fixed[24];
    EndianBuffer out(fixed, sizeof fixed);
    out.put8(static_cast<uint8_t>(direction));
    out.put8(0);
    out.put16(static_cast<uint16_t>(tag));
    out.put32(static_cast<uint32_t>(plat::wallClockMs()));
    if (address.family() == AF_INET) {
        out.put8(kLogFamilyIPv4);
        out.putBytes(&reinterpret_cast<const plat::SOCKADDR_IN*>(address.sockaddr())->sin_addr, 4);
        out.put16(address.port());
    } else if (address.family() == AF_INET6) {
        out.put8(kLogFamilyIPv6);
        out.putBytes(&reinterpret_cast<const plat::SOCKADDR_IN6*>(address.sockaddr())->sin6_addr, 8);
        out.put16(address.port());
    }
    out.put32(static_cast<uint32_t>(length));
    std::fwrite(fixed, 1, out.size(), file);
    std::fwrite(data, 1, length, file);
}

} // namespace rtp
