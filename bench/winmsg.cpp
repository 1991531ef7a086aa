// Messages sent to a window of another process, and registry reads and durable writes.
#include "plat/registry.h"
#include "plat/winmsg.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

LRESULT echoProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) return static_cast<LRESULT>(reinterpret_cast<COPYDATASTRUCT*>(lParam)->cbData);
    return static_cast<LRESULT>(wParam) + lParam;
}

// A child process with one window that answers until it is killed.
struct Peer {
    pid_t pid = -1;
    HWND window = nullptr;
    Peer() {
        int p[2];
        if (::pipe(p) != 0) std::abort();
        pid = ::fork();
        if (pid == 0) {
            WNDCLASSEXA wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = echoProc;
            wc.lpszClassName = "BenchEcho";
            RegisterClassExA(&wc);
            const HWND w = CreateWindowExA(0, "BenchEcho", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
            (void)!::write(p[1], &w, sizeof w);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            }
            ::_exit(0);
        }
        ::close(p[1]);
        if (::read(p[0], &window, sizeof window) != sizeof window) std::abort();
        ::close(p[0]);
    }
    ~Peer() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

std::string tempDir(const char* what) {
    std::string pattern = std::string("/tmp/kbr-bench-") + what + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
}

void BM_SendMessageToAnotherProcess(benchmark::State& state) {
    const std::string dir = tempDir("winmsg");
    ::setenv("KBR_WINMSG_DIR", dir.c_str(), 1);
    {
        Peer peer;
        for (auto _ : state) {
            benchmark::DoNotOptimize(SendMessageA(peer.window, WM_USER, 1, 2));
        }
    }
    std::system(("rm -rf " + dir).c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendMessageToAnotherProcess);

void BM_CopyDataToAnotherProcess(benchmark::State& state) {
    const std::string dir = tempDir("winmsg");
    ::setenv("KBR_WINMSG_DIR", dir.c_str(), 1);
    std::string data(static_cast<size_t>(state.range(0)), 'x');
    {
        Peer peer;
        COPYDATASTRUCT cds{0, static_cast<DWORD>(data.size()), data.data()};
        for (auto _ : state) {
            benchmark::DoNotOptimize(SendMessageA(peer.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)));
        }
    }
    std::system(("rm -rf " + dir).c_str());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CopyDataToAnotherProcess)->Arg(64)->Arg(64 << 10)->Arg(1 << 20);

// A profile with range(0) further keys; range(1) 0 reads a value, 1 writes it (durably).
void BM_RegistryReadAndWrite(benchmark::State& state) {
    const std::string dir = tempDir("registry");
    ::setenv("KBR_REGISTRY_FILE", (dir + "/registry").c_str(), 1);
    for (int i = 0; i < state.range(0); ++i) {
        HKEY k = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\Bench\\k" + std::to_string(i)).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &k, nullptr);
        RegCloseKey(k);
    }
    HKEY k = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Brimel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    const char text[] = "Brimel Phone System Protocol";
    RegSetValueExA(k, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    const bool write = state.range(1) != 0;
    for (auto _ : state) {
        if (write) {
            RegSetValueExA(k, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
        } else {
            DWORD size = 0;
            RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, &size);
        }
    }
    RegCloseKey(k);
    std::system(("rm -rf " + dir).c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegistryReadAndWrite)->Args({10, 0})->Args({1000, 0})->Args({10, 1})->Args({1000, 1});

} // namespace

BENCHMARK_MAIN();
