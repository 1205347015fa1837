#pragma once
// Wagenklang's window in-process on the programs' one test base: offscreen widgets, the real
// mixer, the data-server stand-in over loopback. Rules are observed by the channels they leave
// playing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "TravoTcpConstants.h"
#include "uMain.h"

namespace wagenklang_test {

namespace fs = std::filesystem;

// The numbers of the channels that play now.
std::set<int> PlayingChannels();
void StopAllChannels();
using travo::Bytes;
using program_test::TWatchdog;

class WagenklangTest : public program_test::ProgramTest {
protected:
    WagenklangTest() : ProgramTest("wagenklang") {}
    void TearDown() override;

    // Sound files for the tests, 3 s each; the files named in missing are left out.
    void WriteTestSounds(const std::set<std::string>& missing = {});
    void CreateMain();
    // Clicks "Verbinden" and waits until the receive loop of the new client reads data.
    void Connect();
    void Disconnect();

    // Sends the values, then a sentinel step of the dynamic brake, and waits until the
    // sentinel's channel plays: the channels the values left playing, the sentinel's not
    // counted. Played channels loop, so that none ends before it is looked at. stopFirst stops
    // every channel before, so that each play is seen.
    std::set<int> Step(const std::vector<travo::TValue>& values, bool stopFirst = true);

    int FSentinel = 0;
};

}  // namespace wagenklang_test
