// WSAAsyncSelect against what it stands on: a loopback stream read through FD_READ messages
// against a plain blocking recv loop, the delay from a peer's write to the dispatch of its
// message against a thread woken by epoll, and the process's CPU time while 10,000 registered
// sockets are idle.

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "../tests/PosixPeer.h"
#include "user32.h"

namespace {

namespace peer = PosixPeer;
using Clock = std::chrono::steady_clock;

constexpr UINT kSocketMessage = WM_USER + 1;
constexpr long kBytesPerIteration = 16L << 20;
constexpr int kReceiveBuffer = 65536;

struct TStarted {
    TStarted() {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
    }
} gStarted;

// ---- a window on the calling thread whose socket messages go to a handler ----------------------

using THandler = void (*)(SOCKET s, WORD event, WORD error, void* context);
thread_local THandler tHandler = nullptr;
thread_local void* tContext = nullptr;

LRESULT SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kSocketMessage && tHandler) {
        tHandler(static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam), tContext);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND SocketWindow(THandler handler, void* context) {
    static constexpr char kClass[] = "BenchSocketWindow";
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(0x7200);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = SocketWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClass;
    WNDCLASSA known;
    if (!GetClassInfoA(instance, kClass, &known)) RegisterClassA(&windowClass);
    tHandler = handler;
    tContext = context;
    return CreateWindowExA(WS_EX_TOOLWINDOW, kClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                           nullptr);
}

void PumpOne() {
    MSG msg;
    if (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
}

// Dispatches what comes until done() holds or the time is up.
template <typename TDone>
bool PumpUntil(TDone done, std::chrono::seconds patience) {
    const auto deadline = Clock::now() + patience;
    while (!done() && Clock::now() < deadline) {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        } else {
            pollfd wake{User32QueueWakeDescriptor(), POLLIN, 0};
            ::poll(&wake, 1, 10);
        }
    }
    return done();
}

// A layer socket connected to a peer's socket; the peer's end in *peerFd.
SOCKET LayerConnection(int* peerFd) {
    USHORT port = 0;
    const int listener = peer::Listener(&port);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = peer::Loopback(port);
    connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    *peerFd = peer::Accept(listener);
    peer::Close(listener);
    return s;
}

// Two plain system sockets connected to each other.
void PeerConnection(int* a, int* b) {
    USHORT port = 0;
    const int listener = peer::Listener(&port);
    *a = peer::Connect(port);
    *b = peer::Accept(listener);
    peer::Close(listener);
}

// Writes as fast as the reader takes it until the connection goes.
std::thread Flood(int fd) {
    return std::thread([fd] {
        const std::string chunk(kReceiveBuffer, 's');
        while (peer::Write(fd, chunk) > 0) {
        }
    });
}

// ---- throughput --------------------------------------------------------------------------------

struct TReader {
    SOCKET Socket;
    long Received = 0;
    std::vector<char> Buffer = std::vector<char>(kReceiveBuffer);
};

// The socket component's receive loop: receive, then again while bytes are pending.
void ReadAvailable(SOCKET s, WORD event, WORD, void* context) {
    auto& reader = *static_cast<TReader*>(context);
    if (event != FD_READ || s != reader.Socket) return;
    for (;;) {
        const int got = recv(s, reader.Buffer.data(), kReceiveBuffer, 0);
        if (got <= 0) return;
        reader.Received += got;
        ULONG pending = 0;
        if (ioctlsocket(s, FIONREAD, &pending) != 0 || pending == 0) return;
    }
}

void StreamThroughReadNotifications(benchmark::State& state) {
    int peerFd;
    TReader reader;
    const HWND window = SocketWindow(ReadAvailable, &reader);
    reader.Socket = LayerConnection(&peerFd);
    WSAAsyncSelect(reader.Socket, window, kSocketMessage, FD_READ | FD_CLOSE);
    std::thread writer = Flood(peerFd);
    for (auto _ : state) {
        const long until = reader.Received + kBytesPerIteration;
        while (reader.Received < until) PumpOne();
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    closesocket(reader.Socket);
    writer.join();
    peer::Close(peerFd);
    DestroyWindow(window);
    tHandler = nullptr;
}
BENCHMARK(StreamThroughReadNotifications)->UseRealTime();

void StreamThroughBlockingRecv(benchmark::State& state) {
    int writerFd, readerFd;
    PeerConnection(&writerFd, &readerFd);
    std::thread writer = Flood(writerFd);
    std::vector<char> buffer(kReceiveBuffer);
    for (auto _ : state) {
        long received = 0;
        while (received < kBytesPerIteration) received += peer::Read(readerFd, buffer.data(), buffer.size());
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    peer::Reset(readerFd);
    writer.join();
    peer::Close(writerFd);
}
BENCHMARK(StreamThroughBlockingRecv)->UseRealTime();

// ---- wake-up delay -----------------------------------------------------------------------------

// The peer writes a byte and waits for the answer; a responder on another thread answers when
// it has been woken. Both responders answer with the same plain send, so the difference of the
// round trips is the difference of the wake-ups.
template <typename TRespond>
void RoundTrips(benchmark::State& state, int peerFd, TRespond stopResponder) {
    std::vector<double> samples;
    char byte;
    for (auto _ : state) {
        const auto start = Clock::now();
        peer::Write(peerFd, "p");
        peer::Read(peerFd, &byte, 1);
        const std::chrono::duration<double, std::micro> took = Clock::now() - start;
        samples.push_back(took.count());
        state.SetIterationTime(took.count() / 1e6);
    }
    stopResponder();
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) state.counters["median_us"] = samples[samples.size() / 2];
}

struct TResponder {
    SOCKET Socket = INVALID_SOCKET;
    bool Stop = false;
};

void Answer(SOCKET s, WORD event, WORD, void* context) {
    auto& responder = *static_cast<TResponder*>(context);
    char byte;
    if (event != FD_READ || s != responder.Socket || recv(s, &byte, 1, 0) != 1) return;
    if (byte == 'q')
        responder.Stop = true;
    else
        send(s, &byte, 1, 0);
}

void WakeUpThroughReadMessage(benchmark::State& state) {
    int peerFd = -1;
    std::atomic<bool> ready{false};
    std::thread responder([&] {
        TResponder self;
        const HWND window = SocketWindow(Answer, &self);
        self.Socket = LayerConnection(&peerFd);
        WSAAsyncSelect(self.Socket, window, kSocketMessage, FD_READ | FD_CLOSE);
        ready = true;
        while (!self.Stop) PumpOne();
        closesocket(self.Socket);
        DestroyWindow(window);
    });
    while (!ready) std::this_thread::yield();
    RoundTrips(state, peerFd, [&] {
        peer::Write(peerFd, "q");
        responder.join();
        peer::Close(peerFd);
    });
}
BENCHMARK(WakeUpThroughReadMessage)->UseManualTime();

void WakeUpThroughEpoll(benchmark::State& state) {
    int peerFd, responderFd;
    PeerConnection(&peerFd, &responderFd);
    std::thread responder([responderFd] {
        const int poller = ::epoll_create1(0);
        epoll_event event{};
        event.events = EPOLLIN;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, responderFd, &event);
        char byte = 0;
        while (byte != 'q') {
            ::epoll_wait(poller, &event, 1, -1);
            if (peer::Read(responderFd, &byte, 1, peer::kMsgDontWait) == 1 && byte != 'q')
                peer::Write(responderFd, std::string(1, byte));
        }
        ::close(poller);
    });
    RoundTrips(state, peerFd, [&] {
        peer::Write(peerFd, "q");
        responder.join();
        peer::Close(peerFd);
        peer::Close(responderFd);
    });
}
BENCHMARK(WakeUpThroughEpoll)->UseManualTime();

// ---- the watcher at rest -----------------------------------------------------------------------

double ProcessCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// CPU time of the whole process over one second in which this thread only sleeps.
double IdleSecondCpuMs() {
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return ProcessCpuMs() - before;
}

struct TIdleSet {
    SOCKET Listener = INVALID_SOCKET;
    std::vector<SOCKET> Sockets;
    int Writable = 0;
};

void CountWritable(SOCKET s, WORD event, WORD, void* context) {
    auto& set = *static_cast<TIdleSet*>(context);
    if (event == FD_ACCEPT) {
        const SOCKET accepted = accept(s, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) set.Sockets.push_back(accepted);
    }
    if (event == FD_WRITE) ++set.Writable;
}

// Both ends of 5,000 loopback connections, registered (the accepted ends by inheritance),
// connected and told they may write; then nothing happens for a second. With argument 1 the
// window's queue is full and never read while every socket has an FD_READ for it.
void WatcherAtRestWithTenThousandSockets(benchmark::State& state) {
    constexpr int kConnections = 5000;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4 * kConnections + 100);
    ::setrlimit(RLIMIT_NOFILE, &files);

    TIdleSet set;
    const HWND window = SocketWindow(CountWritable, &set);
    set.Listener = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in any = peer::Loopback(0);
    bind(set.Listener, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    listen(set.Listener, 4096);
    sockaddr_in bound{};
    int length = sizeof bound;
    getsockname(set.Listener, reinterpret_cast<sockaddr*>(&bound), &length);
    const LONG mask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    WSAAsyncSelect(set.Listener, window, kSocketMessage, mask);
    for (int i = 0; i < kConnections; ++i) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        WSAAsyncSelect(s, window, kSocketMessage, mask);
        connect(s, reinterpret_cast<const sockaddr*>(&bound), sizeof bound);
        set.Sockets.push_back(s);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    if (!PumpUntil([&] { return set.Writable == 2 * kConnections; }, std::chrono::seconds(60)))
        state.SkipWithError("not every socket became writable");
    const bool fullQueue = state.range(0) != 0;
    if (fullQueue) {
        while (PostMessageA(window, WM_USER + 60, 0, 0)) {
        }
        for (const SOCKET s : set.Sockets) send(s, "r", 1, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the watcher meets the full queue
    }

    double loaded = 0;
    for (auto _ : state) loaded = IdleSecondCpuMs();
    state.counters["sockets"] = static_cast<double>(set.Sockets.size());
    state.counters["cpu_ms_per_idle_s"] = loaded;
    MSG msg;
    while (fullQueue && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    for (const SOCKET s : set.Sockets) closesocket(s);
    closesocket(set.Listener);
    DestroyWindow(window);
    tHandler = nullptr;
    state.counters["cpu_ms_per_idle_s_without_sockets"] = IdleSecondCpuMs();
}
BENCHMARK(WatcherAtRestWithTenThousandSockets)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
