// travo-server: the simulator's data server stand-in, for demos.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DriveFile.h"
#include "TravoServer.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

const char* const kUsage =
    "usage: travo-server [--port N] [--drive FILE] [--loop | --hold MS] [--all-ids]\n"
    "                    [--hello-result N] [--request-result N]\n"
    "\n"
    "Serves the simulator protocol on 127.0.0.1: answers each client's greeting and data\n"
    "requests, and after its end-of-request packet sends the values of the drive file.\n"
    "\n"
    "  --port N            port to listen on (default 1435; 0 takes a free one)\n"
    "  --drive FILE        the values to send (format below)\n"
    "  --loop              play the drive file again and again\n"
    "  --hold MS           after the drive, send all last values every MS ms (default 1000;\n"
    "                      0 sends nothing more)\n"
    "  --all-ids           send every id of the drive file, not only those the client requested\n"
    "  --hello-result N    result byte of the greeting reply (default 0: accepted;\n"
    "                      1 too many connections, 2 simulator already connected)\n"
    "  --request-result N  result byte of the data request reply (default 0: accepted;\n"
    "                      1 unknown group, 2 refused)\n"
    "\n"
    "Drive file: one data packet a line, '#' starts a comment, blank lines are ignored.\n"
    "  <ms> <id>=<value> [<id>=<value> ...]\n"
    "<ms> counts milliseconds from the client's end-of-request and never goes back; <id> is 0\n"
    "to 255; <value> is a decimal number. Id 50 is sent as a double, 86 as an integer, every\n"
    "other id as a single. Example:\n"
    "  0     1=0 51=0 52=2 53=0 54=2 60=0 64=1 67=0 78=0 86=0\n"
    "  1000  51=1\n"
    "  2000  51=2 1=12.5\n"
    "  9000  86=1\n";

bool ParseInt(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return *text && end && *end == '\0' && value >= low && value <= high;
}

std::string Ids(const std::vector<std::uint8_t>& ids) {
    std::string text;
    for (std::uint8_t id : ids) text += (text.empty() ? "" : " ") + std::to_string(id);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 1435, hold = 1000, helloResult = 0, requestResult = 0;
    bool loop = false, allIds = false;
    std::string drivePath;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (option == "--loop") {
            loop = true;
        } else if (option == "--all-ids") {
            allIds = true;
        } else if (option == "--port" && hasValue && ParseInt(argv[i + 1], 0, 65535, port)) {
            ++i;
        } else if (option == "--hold" && hasValue && ParseInt(argv[i + 1], 0, 3600000, hold)) {
            ++i;
        } else if (option == "--hello-result" && hasValue && ParseInt(argv[i + 1], 0, 255, helloResult)) {
            ++i;
        } else if (option == "--request-result" && hasValue && ParseInt(argv[i + 1], 0, 255, requestResult)) {
            ++i;
        } else if (option == "--drive" && hasValue) {
            drivePath = argv[++i];
        } else {
            std::fprintf(stderr, "travo-server: bad option '%s'\n\n%s", option.c_str(), kUsage);
            return 2;
        }
    }

    std::vector<travo::TStep> steps;
    if (!drivePath.empty()) {
        std::ifstream file(drivePath);
        std::string error;
        if (!file) {
            std::fprintf(stderr, "travo-server: cannot open drive file '%s'\n", drivePath.c_str());
            return 1;
        }
        if (!travo::ParseDrive(file, steps, error)) {
            std::fprintf(stderr, "travo-server: %s: %s\n", drivePath.c_str(), error.c_str());
            return 1;
        }
    }

    travo::TTravoServer server;
    server.SetHelloResult(static_cast<std::uint8_t>(helloResult));
    server.SetRequestResult(static_cast<std::uint8_t>(requestResult));
    server.SetScript(steps);
    server.SetSendOnlyRequested(!allIds);
    server.SetRepeatScript(loop);
    server.SetHoldInterval(loop || steps.empty() ? 0 : static_cast<int>(hold));
    std::string error;
    if (!server.Start(static_cast<std::uint16_t>(port), &error)) {
        std::fprintf(stderr, "travo-server: port %ld: %s\n", port, error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("travo-server: listening on 127.0.0.1:%u, %zu drive lines\n", server.Port(), steps.size());
    std::fflush(stdout);

    // Tells what each client did, as it happens.
    std::vector<travo::TClientRecord> shown;
    while (!gStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (std::size_t i = 0; i < server.ClientCount(); ++i) {
            const travo::TClientRecord now = server.Client(i);
            if (i >= shown.size()) {
                shown.emplace_back();
                std::printf("client %zu: connected\n", i + 1);
            }
            travo::TClientRecord& before = shown[i];
            if (now.Name != before.Name) std::printf("client %zu: greeting from \"%s\"\n", i + 1, now.Name.c_str());
            if (now.Requests != before.Requests) {
                std::printf("client %zu: requests ids %s\n", i + 1, Ids(now.RequestedIds).c_str());
            }
            if (now.EndRequested && !before.EndRequested) std::printf("client %zu: sending data\n", i + 1);
            if (now.BadStream && !before.BadStream) std::printf("client %zu: sent a bad length\n", i + 1);
            if (now.Closed && !before.Closed) std::printf("client %zu: closed\n", i + 1);
            before = now;
        }
        std::fflush(stdout);
    }
    server.Stop();
    return 0;
}
