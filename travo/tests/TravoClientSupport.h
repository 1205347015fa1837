#pragma once
// The client against the data-server stand-in: a fixture with a started server, handlers that
// record what they get, and the receive loop on a thread of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "TravoServer.h"
#include "TravoTcpConstants.h"
#include "TravoTcpClient.h"
#include "kernel32.h"
#include "user32.h"

struct TRecordedValue {
    char Kind;  // 's' single, 'i' integer, 'd' double, 'h' double high, 'b' bytes
    WORD Group;
    BYTE Id;
    double Value;
    std::vector<BYTE> Data;
};

// What the handlers got; they are plain functions, so the record is one for the process.
struct TRecorder {
    std::mutex Lock;
    std::vector<TRecordedValue> Values;
    std::vector<std::string> RawPackets;

    static TRecorder& Instance() {
        static TRecorder recorder;
        return recorder;
    }
    void Add(TRecordedValue value) {
        std::lock_guard<std::mutex> lock(Lock);
        Values.push_back(std::move(value));
    }
    std::vector<TRecordedValue> TakeValues() {
        std::lock_guard<std::mutex> lock(Lock);
        return Values;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(Lock);
        Values.clear();
        RawPackets.clear();
    }
    static void Single(WORD g, BYTE id, float v) { Instance().Add({'s', g, id, v, {}}); }
    static void Integer(WORD g, BYTE id, LONG v) { Instance().Add({'i', g, id, static_cast<double>(v), {}}); }
    static void Double(WORD g, BYTE id, double v) { Instance().Add({'d', g, id, v, {}}); }
    static void DoubleHigh(WORD g, BYTE id, double v) { Instance().Add({'h', g, id, v, {}}); }
    static void Bytes(WORD g, BYTE id, const std::vector<BYTE>& data) { Instance().Add({'b', g, id, 0.0, data}); }
    static void Raw(const std::string& packet) {
        std::lock_guard<std::mutex> lock(Instance().Lock);
        Instance().RawPackets.push_back(packet);
    }
};

// Counts message boxes instead of showing them.
class TCountingDesktop : public TDesktopBackend {
public:
    int MessageBox(HWND, LPCSTR text, LPCSTR, UINT) override {
        ++Boxes;
        std::lock_guard<std::mutex> lock(FLock);
        LastText = text;
        return IDOK;
    }
    BOOL SetWindowPos(HWND, HWND, int, int, int, int, UINT) override { return TRUE; }
    std::atomic<int> Boxes{0};
    std::string LastText;

private:
    std::mutex FLock;
};

// ReceiveLoop on a thread made with CreateThread, as the program runs it.
class TLoopThread {
public:
    explicit TLoopThread(TTravoTCP& client) : FClient(client) {
        FThread = CreateThread(nullptr, 0, &TLoopThread::Run, this, 0, nullptr);
    }
    // The owner's way out: stop the loop, then wait for its thread.
    ~TLoopThread() {
        FClient.Disconnect();
        Wait(10000);
        CloseHandle(FThread);
    }
    // True when the loop ended within timeoutMs.
    bool Wait(DWORD timeoutMs) { return WaitForSingleObject(FThread, timeoutMs) == WAIT_OBJECT_0; }
    int Result() const { return FResult; }

private:
    static DWORD Run(LPVOID self) {
        auto* thread = static_cast<TLoopThread*>(self);
        thread->FResult = thread->FClient.ReceiveLoop();
        return 0;
    }
    TTravoTCP& FClient;
    HANDLE FThread = nullptr;
    std::atomic<int> FResult{99};
};

class TravoClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        TRecorder::Instance().Clear();
        ASSERT_TRUE(Server.Start());
        FPrevious = User32SetDesktopBackend(&Desktop);
    }
    void TearDown() override {
        User32SetDesktopBackend(FPrevious);
        Server.Stop();
    }

    static std::string Bytes(std::initializer_list<int> values) {
        std::string bytes;
        for (int v : values) bytes.push_back(static_cast<char>(v));
        return bytes;
    }

    void SetAllHandlers() {
        Client.OnSingle = &TRecorder::Single;
        Client.OnInteger = &TRecorder::Integer;
        Client.OnDouble = &TRecorder::Double;
        Client.OnDoubleHigh = &TRecorder::DoubleHigh;
        Client.OnBytes = &TRecorder::Bytes;
    }

    int Open() {
        if (int result = Client.Startup()) return result;
        return Client.Connect("localhost", Server.Port());
    }

    // Startup, Connect, SendHello and RequestData as Wagenklang runs them.
    void Register() {
        ASSERT_EQ(Open(), TravoOk);
        ASSERT_EQ(Client.SendHello("Wagenklang", 2), TravoOk);
        ASSERT_EQ(Client.RequestData(CAB_VALUES, {1, 51, 52, 53, 54, 60, 64, 67, 78, 86}), TravoOk);
    }

    // Waits until the handlers got count values.
    std::vector<TRecordedValue> WaitForValues(std::size_t count, DWORD timeoutMs = 10000) {
        const DWORD start = GetTickCount();
        std::vector<TRecordedValue> values = TRecorder::Instance().TakeValues();
        while (values.size() < count && GetTickCount() - start < timeoutMs) {
            Sleep(5);
            values = TRecorder::Instance().TakeValues();
        }
        return values;
    }

    travo::TTravoServer Server;
    TCountingDesktop Desktop;
    TTravoTCP Client;

private:
    TDesktopBackend* FPrevious = nullptr;
};
