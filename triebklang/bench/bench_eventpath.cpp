// The event path of a value change: from the stand-in server's write of a magnetic brake
// record to the return of the matching channel's Play in the main thread, through the socket
// component, the main thread's queue, the data handler and the rule. The physical reference,
// in the same run, is the same write on loopback taken by a plain blocking recv. Each reports
// its median and 99th percentile.

#include <string>
#include <vector>

#include "EventPathBench.h"
#include "EventSocketResolve.h"
#include "uMain.h"

namespace {

using namespace eventpath;

std::string MagneticBrakePacket(float value) {
    return travo::CabValuesPacket({{IdMagneticBrake, value}});
}

void EventPathToPlay(benchmark::State& state) {
    SetEventSocketNumberMode(TEventSocketNumberMode::Wrap);
    travo::TTravoServer server;
    if (!StartProgram(state, server)) return;
    Application->CreateForm(&Main);
    if (!ConnectWindow(state, server, Main)) return;
    std::vector<double> latencies;
    float value = 0.0f;
    for (auto _ : state) {
        value = value == 0.0f ? 1.0f : 0.0f;
        TDSMixerChannel* channel = value != 0.0f ? Main->SndMGsRunter : Main->SndMGsRauf;
        latencies.push_back(TimeToPlay(state, server, MagneticBrakePacket(value), channel));
    }
    ReportPercentiles(state, latencies);
    Main->Free();
    FinishProgram(server);
}
BENCHMARK(EventPathToPlay)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void PlainLoopbackWriteToRecv(benchmark::State& state) { eventpath::PlainLoopbackWriteToRecv(state, MagneticBrakePacket(1.0f)); }
BENCHMARK(PlainLoopbackWriteToRecv)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
