#pragma once
// What the event-path benchmarks of the window-side client programs share: the percentile
// counters, the main thread serving until a condition holds, the start and end of a program
// against the stand-in server, the timed wait for a channel's Play, and the physical reference
// (the same packet on plain loopback taken by a blocking recv). Each program keeps its own
// packet, its own channels and its own form.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "Forms.h"
#include "PosixPeer.h"
#include "TravoServer.h"
#include "TravoWindowClient.h"

namespace eventpath {

using Clock = std::chrono::steady_clock;

inline void ReportPercentiles(benchmark::State& state, std::vector<double>& seconds) {
    if (seconds.empty()) return;
    std::sort(seconds.begin(), seconds.end());
    state.counters["median_ms"] = seconds[seconds.size() / 2] * 1000.0;
    state.counters["p99_ms"] = seconds[std::min(seconds.size() - 1, seconds.size() * 99 / 100)] * 1000.0;
}

inline bool ServeUntil(const std::function<bool()>& condition) {
    const Clock::time_point start = Clock::now();
    while (!condition()) {
        if (Clock::now() - start > std::chrono::seconds(10)) return false;
        Application->ProcessMessages();
    }
    return true;
}

// The headless environment, the application with its socket pump, the sound devices and the
// stand-in server; false (with the benchmark skipped) when the stand-in cannot listen.
inline bool StartProgram(benchmark::State& state, travo::TTravoServer& server) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("DSOUND_OUTPUT", "null", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    Application->Initialize();
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
    InitializeCom();
    InitializeDeviceLists();
    if (!server.Start()) {
        state.SkipWithError("the stand-in cannot listen");
        return false;
    }
    return true;
}

// Connects the window to the stand-in through its own controls, as a user would.
inline bool ConnectWindow(benchmark::State& state, travo::TTravoServer& server, TTravoClientForm* form) {
    form->cbPort->SetText(std::to_string(server.Port()));
    form->btnConnect->Click();
    if (!ServeUntil([&] { return server.ClientCount() == 1 && server.Client(0).EndRequested; })) {
        state.SkipWithError("no connection");
        return false;
    }
    return true;
}

// One timed iteration: the stand-in's write of the packet until the channel plays.
inline double TimeToPlay(benchmark::State& state, travo::TTravoServer& server, const std::string& packet,
                         TDSMixerChannel* channel) {
    channel->Stop();
    const Clock::time_point written = Clock::now();
    server.Send(0, packet);
    while (!channel->Playing()) {
        if (Clock::now() - written > std::chrono::seconds(5)) {
            state.SkipWithError("the value change never played");
            break;
        }
        Application->ProcessMessages();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - written).count();
    state.SetIterationTime(seconds);
    return seconds;
}

inline void FinishProgram(travo::TTravoServer& server) {
    server.Stop();
    FinalizeDeviceLists();
    FinalizeCom();
}

inline void PlainLoopbackWriteToRecv(benchmark::State& state, const std::string& packet) {
    USHORT port = 0;
    const int listener = PosixPeer::Listener(&port);
    const int writer = PosixPeer::Connect(port);
    const int reader = PosixPeer::Accept(listener);
    std::vector<double> latencies;
    char buffer[64];
    for (auto _ : state) {
        const Clock::time_point written = Clock::now();
        PosixPeer::Write(writer, packet);
        std::size_t got = 0;
        while (got < packet.size()) {
            const long n = PosixPeer::Read(reader, buffer, sizeof buffer);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - written).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds);
    }
    ReportPercentiles(state, latencies);
    PosixPeer::Close(reader);
    PosixPeer::Close(writer);
    PosixPeer::Close(listener);
}

}  // namespace eventpath
