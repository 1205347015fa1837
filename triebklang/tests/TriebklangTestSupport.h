#pragma once
// Triebklang's window in-process: offscreen widgets, the real mixer with its eleven channels,
// the data-server stand-in over loopback. Rules are observed by the channels they leave
// playing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ClientProgramTestSupport.h"
#include "TravoServer.h"
#include "uMain.h"

namespace triebklang_test {

namespace fs = std::filesystem;

using travo::Bytes;
// A CAB_VALUES payload of 5-byte records of singles.
std::string ValuesPayload(const std::vector<std::pair<int, float>>& records);
// One id-50 record: the id and an 8-byte double.
std::string DateTimeRecord(double value);

// The sound names without their "610_" and ".wav", short for the tests' tables.
std::string ShortName(const char* fileName);
// The short names of the channels that play now.
std::set<std::string> PlayingSounds();
void StopAllSounds();

// The exact bytes of Triebklang's greeting, data request and end of request, framed.
extern const std::string Greeting;
extern const std::string Request;
extern const std::string EndOfRequest;

class TriebklangTest : public client_program_test::ClientProgramTest {
protected:
    TriebklangTest() : ClientProgramTest("triebklang") {}
    void SetUp() override;
    void TearDown() override;

    // Sound files for the tests, 3 s each so that a played channel still plays when it is looked
    // at; the files named in missing (full names) are left out.
    void WriteTestSounds(const std::set<std::string>& missing = {});
    void CreateMain();
    // Clicks "Verbinden" and waits until the stand-in has answered the end of the request.
    void Connect();
    // Stops every sound, hands the packet to the data handler and tells what plays then.
    std::set<std::string> Packet(const std::vector<std::pair<int, float>>& records);
    std::set<std::string> RawPacket(const std::string& payload);

};

}  // namespace triebklang_test
