// Asynchronous host lookups through a real message queue: a message-only window on the test
// thread receives the replies while the test pumps.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "user32.h"
#include "wsock32.h"

namespace {

constexpr UINT kReply = WM_USER + 2;
constexpr char kFill = '\x5A';
constexpr int kBufferSize = MAXGETHOSTSTRUCT;

struct TReply {
    UINT_PTR Task;
    WORD Size;
    WORD Error;
};

std::vector<TReply>& Replies() {
    static std::vector<TReply> replies;
    return replies;
}

LRESULT ReplyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kReply) return DefWindowProcA(window, message, wParam, lParam);
    Replies().push_back({wParam, WSAGETASYNCBUFLEN(lParam), WSAGETASYNCERROR(lParam)});
    return 0;
}

// A buffer as the operator-new of a component member would give it, filled so that any write
// shows.
struct TBuffer {
    TBuffer() : Bytes(new char[kBufferSize]) { std::memset(Bytes.get(), kFill, kBufferSize); }
    std::unique_ptr<char[]> Bytes;
};

UINT_PTR AsTask(HANDLE handle) { return reinterpret_cast<UINT_PTR>(handle); }
HANDLE AsHandle(UINT_PTR task) { return reinterpret_cast<HANDLE>(task); }

std::uint32_t Address(const char* text) { return inet_addr(text); }

std::size_t ThreadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

class AsyncLookup : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = ReplyProc;
        windowClass.hInstance = Instance();
        windowClass.lpszClassName = "LookupReplies";
        WNDCLASSA existing;
        if (!GetClassInfoA(Instance(), windowClass.lpszClassName, &existing)) RegisterClassA(&windowClass);
        Window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, Instance(), nullptr);
        ASSERT_NE(Window, nullptr);
        Replies().clear();
    }
    void TearDown() override {
        DestroyWindow(Window);
        if (Started) WSACleanup();
    }

    static HINSTANCE Instance() { return reinterpret_cast<HINSTANCE>(0x5150); }

    HANDLE ByName(const char* name, char* buffer, int length = kBufferSize) {
        return WSAAsyncGetHostByName(Window, kReply, name, buffer, length);
    }
    HANDLE ByAddress(const char* text, char* buffer, int length = kBufferSize) {
        const std::uint32_t address = Address(text);
        return WSAAsyncGetHostByAddr(Window, kReply, reinterpret_cast<const char*>(&address), 4,
                                     PF_INET, buffer, length);
    }

    // Dispatches until count replies have come, or a generous while has passed.
    void PumpUntil(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (Replies().size() < count && std::chrono::steady_clock::now() < deadline) PumpFor(1);
    }
    static void PumpFor(int milliseconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        do {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } while (std::chrono::steady_clock::now() < until);
    }
    // What is queued right now, without waiting for more.
    static void PumpQueued() { PumpFor(0); }

    TReply Await(HANDLE task) {
        PumpUntil(1);
        EXPECT_EQ(Replies().size(), 1u);
        if (Replies().empty()) return {0, 0, 0xFFFF};
        const TReply reply = Replies().front();
        EXPECT_EQ(reply.Task, AsTask(task));
        Replies().clear();
        return reply;
    }

    HWND Window = nullptr;
    bool Started = true;
};

// Every pointer of the entry lies inside the used part of the buffer, aligned for its type.
void ExpectPackedInside(const char* buffer, std::size_t size) {
    const auto* entry = reinterpret_cast<const hostent*>(buffer);
    auto inside = [&](const void* p, std::size_t length, std::size_t alignment) {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        const auto start = reinterpret_cast<std::uintptr_t>(buffer);
        return at >= start && at + length <= start + size && at % alignment == 0;
    };
    EXPECT_TRUE(inside(entry->h_name, std::strlen(entry->h_name) + 1, 1));
    for (char** list : {entry->h_aliases, entry->h_addr_list}) {
        std::size_t count = 0;
        while (list[count]) ++count;
        EXPECT_TRUE(inside(list, (count + 1) * sizeof(char*), alignof(char*)));
    }
    for (char** address = entry->h_addr_list; *address; ++address)
        EXPECT_TRUE(inside(*address, 4, 4));
    for (char** alias = entry->h_aliases; *alias; ++alias)
        EXPECT_TRUE(inside(*alias, std::strlen(*alias) + 1, 1));
    for (std::size_t i = size; i < kBufferSize; ++i) ASSERT_EQ(buffer[i], kFill) << "written at " << i;
}

bool Untouched(const char* buffer) {
    for (int i = 0; i < kBufferSize; ++i)
        if (buffer[i] != kFill) return false;
    return true;
}

TEST_F(AsyncLookup, RepliesCarryTheEntryOrTheResolversError) {
    struct TCase {
        bool ByAddress;
        const char* Query;
        WORD Error;
        const char* FirstAddress;  // by name
        const char* Name;          // by address
    };
    const TCase cases[] = {
        {false, "localhost", 0, "127.0.0.1", nullptr},
        {false, "LocalHost", 0, "127.0.0.1", nullptr},
        {false, "127.0.0.2", 0, "127.0.0.2", nullptr},
        {false, "no-such-host.invalid", WSAHOST_NOT_FOUND, nullptr, nullptr},
        {false, "INVALID", WSAHOST_NOT_FOUND, nullptr, nullptr},
        {false, "with blank", WSAHOST_NOT_FOUND, nullptr, nullptr},
        {true, "127.0.0.1", 0, nullptr, "localhost"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Query);
        TBuffer buffer;
        const HANDLE task = test.ByAddress ? ByAddress(test.Query, buffer.Bytes.get())
                                           : ByName(test.Query, buffer.Bytes.get());
        ASSERT_NE(task, nullptr) << WSAGetLastError();
        const TReply reply = Await(task);
        EXPECT_EQ(reply.Error, test.Error);
        if (test.Error) {
            EXPECT_EQ(reply.Size, 0);
            EXPECT_TRUE(Untouched(buffer.Bytes.get()));
            continue;
        }
        ASSERT_GT(reply.Size, sizeof(hostent));
        ExpectPackedInside(buffer.Bytes.get(), reply.Size);
        const auto* entry = reinterpret_cast<const hostent*>(buffer.Bytes.get());
        EXPECT_EQ(entry->h_addrtype, AF_INET);
        EXPECT_EQ(entry->h_length, 4);
        ASSERT_NE(entry->h_addr_list[0], nullptr);
        in_addr first;
        std::memcpy(&first.s_addr, entry->h_addr_list[0], 4);
        if (test.FirstAddress) {
            EXPECT_STREQ(inet_ntoa(first), test.FirstAddress);
        }
        if (test.Name) {
            EXPECT_STREQ(entry->h_name, test.Name);
            EXPECT_STREQ(inet_ntoa(first), test.Query);
            EXPECT_EQ(entry->h_addr_list[1], nullptr);
        }
    }
}

TEST_F(AsyncLookup, SmallBufferGivesTheSizeNeeded) {
    TBuffer probe;
    const TReply tooSmall = Await(ByName("localhost", probe.Bytes.get(), 16));
    EXPECT_EQ(tooSmall.Error, WSAENOBUFS);
    EXPECT_TRUE(Untouched(probe.Bytes.get()));
    const int needed = tooSmall.Size;
    ASSERT_GT(needed, 16);

    const struct {
        int Length;
        WORD Error;
    } cases[] = {{needed - 1, WSAENOBUFS}, {needed, 0}, {needed + 1, 0}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Length);
        TBuffer buffer;
        const TReply reply = Await(ByName("localhost", buffer.Bytes.get(), test.Length));
        EXPECT_EQ(reply.Error, test.Error);
        EXPECT_EQ(reply.Size, needed);
        if (test.Error) {
            EXPECT_TRUE(Untouched(buffer.Bytes.get()));
        } else {
            ExpectPackedInside(buffer.Bytes.get(), static_cast<std::size_t>(needed));
        }
    }
}

TEST_F(AsyncLookup, HandlesAndCancelResults) {
    TBuffer buffers[3];
    const HANDLE first = ByName("localhost", buffers[0].Bytes.get());
    const HANDLE second = ByAddress("127.0.0.1", buffers[1].Bytes.get());
    const HANDLE third = ByName("localhost", buffers[2].Bytes.get());
    std::set<UINT_PTR> tasks{AsTask(first), AsTask(second), AsTask(third)};
    EXPECT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks.count(0), 0u);
    EXPECT_LE(*tasks.rbegin(), 0x7FFFFFFFu);
    PumpUntil(3);
    ASSERT_EQ(Replies().size(), 3u);
    const UINT_PTR unused = *tasks.rbegin() + 1000;

    const struct {
        UINT_PTR Task;
        int Error;
    } cases[] = {{AsTask(first), WSAEALREADY}, {AsTask(third), WSAEALREADY}, {0, WSAEINVAL},
                 {unused, WSAEINVAL}, {~static_cast<UINT_PTR>(0), WSAEINVAL}};
    for (const auto& test : cases) {
        WSASetLastError(0);
        EXPECT_EQ(WSACancelAsyncRequest(AsHandle(test.Task)), SOCKET_ERROR) << test.Task;
        EXPECT_EQ(WSAGetLastError(), test.Error) << test.Task;
    }
}

TEST_F(AsyncLookup, BadArgumentsFailAtOnce) {
    TBuffer buffer;
    char* buf = buffer.Bytes.get();
    const std::uint32_t loopback = Address("127.0.0.1");
    const char* address = reinterpret_cast<const char*>(&loopback);
    const struct {
        const char* What;
        std::function<HANDLE()> Start;
        int Error;
    } cases[] = {
        {"no buffer", [&] { return ByName("localhost", nullptr); }, WSAEFAULT},
        {"misaligned buffer", [&] { return ByName("localhost", buf + 1); }, WSAEFAULT},
        {"negative length", [&] { return ByName("localhost", buf, -1); }, WSAEFAULT},
        {"no name", [&] { return WSAAsyncGetHostByName(Window, kReply, nullptr, buf, kBufferSize); }, WSAEFAULT},
        {"short address", [&] { return WSAAsyncGetHostByAddr(Window, kReply, address, 2, PF_INET, buf, kBufferSize); }, WSAEFAULT},
        {"no address", [&] { return WSAAsyncGetHostByAddr(Window, kReply, nullptr, 4, PF_INET, buf, kBufferSize); }, WSAEFAULT},
        {"other family", [&] { return WSAAsyncGetHostByAddr(Window, kReply, address, 4, AF_UNSPEC, buf, kBufferSize); }, WSAEAFNOSUPPORT},
        {"not started", [&] { WSACleanup(); Started = false; return ByName("localhost", buf); }, WSANOTINITIALISED},
        {"not started, by address", [&] { return ByAddress("127.0.0.1", buf); }, WSANOTINITIALISED},
    };
    for (const auto& test : cases) {
        WSASetLastError(0);
        EXPECT_EQ(test.Start(), nullptr) << test.What;
        EXPECT_EQ(WSAGetLastError(), test.Error) << test.What;
    }
    EXPECT_EQ(WSACancelAsyncRequest(AsHandle(1)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    PumpFor(50);
    EXPECT_TRUE(Replies().empty());
    EXPECT_TRUE(Untouched(buf));
}

// Many lookups racing their cancels. A buffer is freed the moment its cancel succeeds, as the
// component does: under AddressSanitizer a late write into it is a use after free. What was
// not cancelled replies exactly once, a cancelled task never.
class AsyncLookupRace : public AsyncLookup {
protected:
    static constexpr int kTasks = 2000;

    // With cancelEarly, every other task is cancelled right after its start, while its worker
    // may just be taking it up. Returns how many cancels succeeded.
    int StartMany(bool cancelEarly) {
        int cancelled = 0;
        for (int i = 0; i < kTasks; ++i) {
            auto buffer = std::make_unique<TBuffer>();
            const HANDLE task = i % 3 == 2 ? ByAddress("127.0.0.1", buffer->Bytes.get())
                                           : ByName(i % 3 ? "LOCALHOST" : "localhost", buffer->Bytes.get());
            EXPECT_NE(task, nullptr) << WSAGetLastError();
            if (cancelEarly && i % 2 == 0 && Cancel(task)) {
                ++cancelled;
                continue;
            }
            EXPECT_TRUE(Buffers.emplace(AsTask(task), std::move(buffer)).second) << "handle reused";
        }
        return cancelled;
    }

    // A failed cancel leaves a task that must reply.
    static bool Cancel(HANDLE task) {
        if (WSACancelAsyncRequest(task) == 0) return true;
        EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
        return false;
    }

    // Every reply belongs to a live task, comes once and carries a packed entry.
    void CheckReplies(std::size_t expected) {
        std::set<UINT_PTR> seen;
        for (const TReply& reply : Replies()) {
            EXPECT_TRUE(seen.insert(reply.Task).second) << "second reply of " << reply.Task;
            const auto found = Buffers.find(reply.Task);
            ASSERT_NE(found, Buffers.end()) << "reply of a cancelled task " << reply.Task;
            EXPECT_EQ(reply.Error, 0);
            ExpectPackedInside(found->second->Bytes.get(), reply.Size);
        }
        EXPECT_EQ(seen.size(), expected);
    }

    std::map<UINT_PTR, std::unique_ptr<TBuffer>> Buffers;
};

TEST_F(AsyncLookupRace, SuccessfulCancelMeansNoWriteAndNoPost) {
    // One lookup first, so that threads a run-time library starts along with the first worker
    // (ThreadSanitizer's own) are there before the count.
    alignas(hostent) char warmUp[kBufferSize];
    Await(ByName("localhost", warmUp));
    const std::size_t threadsBefore = ThreadCount();
    int cancelled = StartMany(true);
    EXPECT_LE(ThreadCount(), threadsBefore + 4) << "the workers are a small pool";
    // The newest first, every other one: the rest race their workers to the end.
    std::vector<UINT_PTR> newestFirst;
    for (auto it = Buffers.rbegin(); it != Buffers.rend(); ++it) newestFirst.push_back(it->first);
    for (std::size_t i = 0; i < newestFirst.size(); i += 2) {
        if (Cancel(AsHandle(newestFirst[i]))) {
            Buffers.erase(newestFirst[i]);
            ++cancelled;
        }
    }
    EXPECT_GT(cancelled, 0);
    PumpUntil(kTasks - cancelled);
    // A cancelled task's worker may still be resolving: give a stray post the time to show.
    PumpFor(300);
    CheckReplies(static_cast<std::size_t>(kTasks - cancelled));
    for (const auto& [task, buffer] : Buffers) {
        EXPECT_EQ(WSACancelAsyncRequest(AsHandle(task)), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
    }
}

TEST_F(AsyncLookupRace, LastCleanupCancelsWhatIsPending) {
    // On a busy machine the workers may finish every lookup before the clean-up comes; then
    // nothing was pending, and the round is tried again.
    std::set<UINT_PTR> replied;
    for (int round = 0; round < 5; ++round) {
        WSADATA data;
        if (round > 0) {
            ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        }
        Buffers.clear();
        Replies().clear();
        StartMany(false);
        ASSERT_EQ(WSACleanup(), 0);
        Started = false;
        // Every reply posted before the clean-up returned is in the queue now; the rest is cancelled.
        PumpQueued();
        replied.clear();
        for (const TReply& reply : Replies()) replied.insert(reply.Task);
        if (replied.size() < static_cast<std::size_t>(kTasks)) break;
    }
    EXPECT_LT(replied.size(), static_cast<std::size_t>(kTasks));
    for (auto it = Buffers.begin(); it != Buffers.end();)
        it = replied.count(it->first) ? std::next(it) : Buffers.erase(it);
    PumpFor(300);
    CheckReplies(replied.size());
}

}  // namespace
