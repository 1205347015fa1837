// The event path of a value change: from the stand-in server's write of a magnetic brake
// record to the return of the matching channel's Play in the main thread, through the socket
// component, the main thread's queue, the data handler and the rule. The physical reference,
// in the same run, is the same write on loopback taken by a plain blocking recv. Each reports
// its median and 99th percentile.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "AudioFileRead.h"
#include "EventSocketResolve.h"
#include "PosixPeer.h"
#include "TravoServer.h"
#include "uMain.h"

namespace {

using Clock = std::chrono::steady_clock;

void ReportPercentiles(benchmark::State& state, std::vector<double>& seconds) {
    if (seconds.empty()) return;
    std::sort(seconds.begin(), seconds.end());
    state.counters["median_ms"] = seconds[seconds.size() / 2] * 1000.0;
    state.counters["p99_ms"] = seconds[std::min(seconds.size() - 1, seconds.size() * 99 / 100)] * 1000.0;
}

std::string MagneticBrakePacket(float value) {
    return travo::CabValuesPacket({{IdMagneticBrake, value}});
}

bool ServeUntil(const std::function<bool()>& condition) {
    const Clock::time_point start = Clock::now();
    while (!condition()) {
        if (Clock::now() - start > std::chrono::seconds(10)) return false;
        Application->ProcessMessages();
    }
    return true;
}

void EventPathToPlay(benchmark::State& state) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("DSOUND_OUTPUT", "null", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    SetEventSocketNumberMode(TEventSocketNumberMode::Wrap);
    Application->Initialize();
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
    InitializeCom();
    InitializeDeviceLists();
    travo::TTravoServer server;
    if (!server.Start()) {
        state.SkipWithError("the stand-in cannot listen");
        return;
    }
    Application->CreateForm(&Main);
    Main->cbPort->SetText(std::to_string(server.Port()));
    Main->btnConnect->Click();
    if (!ServeUntil([&] { return server.ClientCount() == 1 && server.Client(0).EndRequested; })) {
        state.SkipWithError("no connection");
        return;
    }
    std::vector<double> latencies;
    float value = 0.0f;
    for (auto _ : state) {
        value = value == 0.0f ? 1.0f : 0.0f;
        TDSMixerChannel* channel = value != 0.0f ? Main->SndMGsRunter : Main->SndMGsRauf;
        channel->Stop();
        const Clock::time_point written = Clock::now();
        server.Send(0, MagneticBrakePacket(value));
        while (!channel->Playing()) Application->ProcessMessages();
        const double seconds = std::chrono::duration<double>(Clock::now() - written).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds);
    }
    ReportPercentiles(state, latencies);
    Main->Free();
    server.Stop();
    FinalizeDeviceLists();
    FinalizeCom();
}
BENCHMARK(EventPathToPlay)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void PlainLoopbackWriteToRecv(benchmark::State& state) {
    USHORT port = 0;
    const int listener = PosixPeer::Listener(&port);
    const int writer = PosixPeer::Connect(port);
    const int reader = PosixPeer::Accept(listener);
    const std::string packet = MagneticBrakePacket(1.0f);
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
BENCHMARK(PlainLoopbackWriteToRecv)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
