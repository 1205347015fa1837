#pragma once
// Wagenklang's window in-process: offscreen widgets, the real mixer, the data-server stand-in
// over loopback. Rules are observed by the channels they leave playing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FormsTesting.h"
#include "TravoServer.h"
#include "TravoTcpConstants.h"
#include "uMain.h"

namespace wagenklang_test {

namespace fs = std::filesystem;

// The numbers of the channels that play now.
std::set<int> PlayingChannels();
void StopAllChannels();
using travo::Bytes;

// Ends a genuine hang: unless it is freed within the seconds given, the test program stops,
// saying what hung.
struct TWatchdog {
    TWatchdog(unsigned seconds, const char* what);
    ~TWatchdog();
};

class WagenklangTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sound files for the tests, 3 s each so that a played channel still plays when it is looked
    // at; the files named in missing are left out.
    void WriteTestSounds(const std::set<std::string>& missing = {});
    void CreateMain();
    // Clicks "Verbinden" and waits until the receive loop of the new client reads data.
    void Connect();
    void Disconnect();

    // Sends the values, then a sentinel step of the dynamic brake, and waits until the
    // sentinel's channel plays: the channels the values left playing, the sentinel's not
    // counted. stopFirst stops every channel before, so that each play is seen.
    std::set<int> Step(const std::vector<travo::TValue>& values, bool stopFirst = true);

    fs::path FDir;
    fs::path FSounds;
    travo::TTravoServer Server;
    std::unique_ptr<TMessageBoxRecorder> Boxes;
    std::size_t FClient = 0;  // the server's index of the current connection
    int FSentinel = 0;
};

}  // namespace wagenklang_test
