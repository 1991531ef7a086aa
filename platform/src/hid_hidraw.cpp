// The hidraw back end: interfaces from the hidraw class in sysfs, reports through the device node. The
// node may also be a SOCK_SEQPACKET Unix socket (one report per message), which is how tests stand in
// for a device.
#include "hid_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace plat {
namespace hidimpl {

namespace {

std::string sysfsRoot() {
    const char* root = std::getenv("KBR_HIDRAW_SYSFS");
    return root && *root ? root : "/sys";
}

std::string devRoot() {
    const char* root = std::getenv("KBR_HIDRAW_DEV");
    return root && *root ? root : "/dev";
}

bool readFile(const std::string& path, std::vector<uint8_t>& out, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(limit, 0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(limit));
    out.resize(size_t(in.gcount()));
    return true;
}

// "HID_ID=0003:0000047F:0000C00E" in the device's uevent.
bool readIds(const std::string& uevent, uint16_t& vendor, uint16_t& product) {
    std::ifstream in(uevent);
    std::string line;
    while (std::getline(in, line)) {
        unsigned bus = 0, v = 0, p = 0;
        if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &v, &p) == 3) {
            vendor = uint16_t(v);
            product = uint16_t(p);
            return true;
        }
    }
    return false;
}

DWORD errnoToWin32(int e) {
    switch (e) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENODEV:
    case ENXIO:
    case EPIPE:
    case ECONNRESET:
    case ECONNREFUSED:
    case ESHUTDOWN:
        return ERROR_DEVICE_NOT_CONNECTED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

int openNode(const std::string& node) {
    struct stat st;
    if (::stat(node.c_str(), &st) != 0)
        return -1;
    if (S_ISSOCK(st.st_mode)) {
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (node.size() >= sizeof addr.sun_path) {
            ::close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(addr.sun_path, node.c_str(), node.size() + 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            const int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
        return fd;
    }
    return ::open(node.c_str(), O_RDWR | O_CLOEXEC);
}

// _IOC(dir, 'H', nr, len) of the hidraw interface, written out.
unsigned long hidrawIoc(unsigned dir, unsigned nr, size_t len) {
    return (unsigned long)((dir << 30) | (uint32_t(len) << 16) | ('H' << 8) | nr);
}
constexpr unsigned kIocRead = 2, kIocWrite = 1;

class HidrawLink : public DeviceLink {
public:
    HidrawLink(int fd_, bool reportIds_, std::shared_ptr<ReadQueue> queue_,
               std::shared_ptr<const std::vector<TopLevel>> parsed_, int topLevel_)
        : fd(fd_), reportIds(reportIds_), queue(std::move(queue_)), parsed(std::move(parsed_)),
          topLevel(topLevel_) {
        stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~HidrawLink() override { close(); }

    DWORD write(const uint8_t* data, size_t length, bool& pending) override {
        pending = false;
        return send(data, length);
    }
    DWORD setOutputReport(const uint8_t* data, size_t length) override { return send(data, length); }
    DWORD getFeature(uint8_t* buffer, size_t length) override {
        // HIDIOCGFEATURE: the report number in buffer[0] in, the report with its number out.
        if (::ioctl(fd, hidrawIoc(kIocRead | kIocWrite, 0x07, length), buffer) < 0)
            return errnoToWin32(errno);
        return 0;
    }
    DWORD startingRead() override {
        std::call_once(started, [this] { reader = std::thread([this] { readLoop(); }); });
        return 0;
    }
    void close() override {
        std::call_once(closedOnce, [this] {
            if (stopFd >= 0) {
                const uint64_t one = 1;
                (void)!::write(stopFd, &one, sizeof one);
            }
            if (reader.joinable())
                reader.join();
            if (fd >= 0)
                ::close(fd);
            if (stopFd >= 0)
                ::close(stopFd);
            fd = stopFd = -1;
        });
    }

private:
    DWORD send(const uint8_t* data, size_t length) {
        // hidraw takes the report number first, 0 for a device without numbered reports: as given.
        ssize_t n;
        do {
            n = ::send(fd, data, length, MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK)
                n = ::write(fd, data, length);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return errnoToWin32(errno);
        return 0;
    }

    void readLoop() {
        // The longest report hidraw passes, and room for the report id 0 put in front.
        std::vector<uint8_t> buffer(kMaxReportBytes + 1);
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            const int r = ::poll(fds, 2, -1);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                queue->fail(errnoToWin32(errno));
                return;
            }
            if (fds[1].revents)
                return;
            if (fds[0].revents & (POLLIN)) {
                // With numbered reports hidraw gives the number first; without, the data alone, so the
                // report id 0 is put in front as the HID library shows it.
                uint8_t* into = reportIds ? buffer.data() : buffer.data() + 1;
                const size_t room = reportIds ? buffer.size() : buffer.size() - 1;
                const ssize_t n = ::read(fd, into, room);
                if (n < 0) {
                    if (errno == EINTR || errno == EAGAIN)
                        continue;
                    queue->fail(errnoToWin32(errno));
                    return;
                }
                if (n == 0) {
                    queue->fail(ERROR_DEVICE_NOT_CONNECTED);
                    return;
                }
                buffer[0] = reportIds ? buffer[0] : 0;
                const size_t total = reportIds ? size_t(n) : size_t(n) + 1;
                // Only the reports of this interface's collection reach its handle.
                if (parsed && parsed->size() > 1 &&
                    !(*parsed)[size_t(topLevel)].carriesReport(HidP_Input, buffer[0]))
                    continue;
                queue->deliver(buffer.data(), total);
                continue;
            }
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                queue->fail(ERROR_DEVICE_NOT_CONNECTED);
                return;
            }
        }
    }

    int fd;
    int stopFd = -1;
    bool reportIds;
    std::shared_ptr<ReadQueue> queue;
    std::shared_ptr<const std::vector<TopLevel>> parsed;
    int topLevel;
    std::once_flag started;
    std::once_flag closedOnce;
    std::thread reader;
};

// The node is the key between the second and the last '#' of an interface path; "" when there is none.
std::string nodeOf(const std::string& path) {
    const size_t first = path.find('#');
    if (first == std::string::npos)
        return "";
    const size_t second = path.find('#', first + 1);
    const size_t last = path.rfind('#');
    if (second == std::string::npos || last <= second)
        return "";
    return path.substr(second + 1, last - second - 1);
}

// The interfaces of one hidraw entry of the class folder; none when its ids or descriptor cannot be read.
std::vector<InterfaceInfo> interfacesOfNode(const std::string& classDir, const std::string& name) {
    const std::string deviceDir = classDir + "/" + name + "/device";
    uint16_t vendor = 0, product = 0;
    if (!readIds(deviceDir + "/uevent", vendor, product))
        return {};
    std::vector<uint8_t> descriptor;
    if (!readFile(deviceDir + "/report_descriptor", descriptor, 4097))
        return {};
    return interfacesOf(devRoot() + "/" + name, vendor, product, 0, descriptor, true);
}

class HidrawBackend : public Backend {
public:
    std::vector<InterfaceInfo> enumerate() override {
        std::vector<InterfaceInfo> out;
        const std::string classDir = sysfsRoot() + "/class/hidraw";
        DIR* dir = ::opendir(classDir.c_str());
        if (!dir)
            return out;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(dir)) {
            if (std::strncmp(e->d_name, "hidraw", 6) == 0)
                names.push_back(e->d_name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return std::atoi(a.c_str() + 6) < std::atoi(b.c_str() + 6);
        });
        for (const std::string& name : names) {
            for (InterfaceInfo& info : interfacesOfNode(classDir, name))
                out.push_back(std::move(info));
        }
        return out;
    }

    // Only the node the path names is read, not the whole class.
    bool lookup(const std::string& path, InterfaceInfo& out) override {
        const std::string node = nodeOf(path);
        const std::string prefix = devRoot() + "/";
        if (node.compare(0, prefix.size(), prefix) != 0)
            return false;
        const std::string name = node.substr(prefix.size());
        if (name.compare(0, 6, "hidraw") != 0 || name.find('/') != std::string::npos)
            return false;
        for (InterfaceInfo& info : interfacesOfNode(sysfsRoot() + "/class/hidraw", name)) {
            if (info.path == path) {
                out = std::move(info);
                return true;
            }
        }
        return false;
    }

    bool open(FileObject& file) override {
        const std::string node = nodeOf(file.info.path);
        if (node.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        const int fd = openNode(node);
        if (fd < 0) {
            SetLastError(errnoToWin32(errno));
            return false;
        }
        const bool ids = file.info.parsed && (*file.info.parsed)[size_t(file.info.topLevel)].hasReportIds;
        file.link.reset(new HidrawLink(fd, ids, file.queue, file.info.parsed, file.info.topLevel));
        return true;
    }
};

} // namespace

Backend& hidrawBackend() {
    static HidrawBackend* backend = new HidrawBackend;
    return *backend;
}

} // namespace hidimpl
} // namespace plat
