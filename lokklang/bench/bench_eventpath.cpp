// The event path of a value change: from the stand-in server's write of a main-switch record
// to the return of the matching channel's Play in the main thread, through the socket
// component, the main thread's queue and the rule. The physical reference, in the same run, is
// the same write on loopback taken by a plain blocking recv. Each reports its median and 99th
// percentile.

#include <cstring>
#include <string>
#include <vector>

#include "EventPathBench.h"
#include "uMain.h"

namespace {

using namespace eventpath;

std::string MainSwitchPacket(float value) {
    std::string payload("\x00\x0A", 2);
    payload.push_back(static_cast<char>(IdMainSwitch));
    char bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    payload.append(bytes, sizeof bytes);
    return travo::Frame(payload);
}

void EventPathToPlay(benchmark::State& state) {
    travo::TTravoServer server;
    if (!StartProgram(state, server)) return;
    Application->CreateForm(&Main);
    if (!ConnectWindow(state, server, Main)) return;
    std::vector<double> latencies;
    // The window starts with the main switch on: the first change is to off.
    float value = 1.0f;
    for (auto _ : state) {
        value = value == 0.0f ? 1.0f : 0.0f;
        TDSMixerChannel* channel = value != 0.0f ? Main->FSndHSein : Main->FSndHSaus;
        latencies.push_back(TimeToPlay(state, server, MainSwitchPacket(value), channel));
    }
    ReportPercentiles(state, latencies);
    Main->Free();
    FinishProgram(server);
}
BENCHMARK(EventPathToPlay)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void PlainLoopbackWriteToRecv(benchmark::State& state) { eventpath::PlainLoopbackWriteToRecv(state, MainSwitchPacket(1.0f)); }
BENCHMARK(PlainLoopbackWriteToRecv)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
