#pragma once
// Lokklang's window in-process: offscreen widgets, the real mixer with its channels, the
// data-server stand-in over loopback. Rules are observed by the channels they leave playing
// and by the labels.

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ClientProgramTestSupport.h"
#include "uMain.h"

namespace lokklang_test {

namespace fs = std::filesystem;

using travo::Bytes;
// A CAB_VALUES payload of singles, as Lokklang reads every id.
std::string ValuesPayload(const std::vector<std::pair<int, float>>& records);

// The eight channels by their file names, in table order.
std::vector<std::pair<std::string, TDSMixerChannel*>> NamedChannels();
// The file names of the channels that play now.
std::set<std::string> PlayingSounds();
void StopAllSounds();

class LokklangTest : public client_program_test::ClientProgramTest {
protected:
    LokklangTest() : ClientProgramTest("lokklang") {}
    void TearDown() override;

    // Sound files for the tests: 3 s each, the run-down FML_Ende.wav 0.4 s so that its end can
    // be waited for; the files named in missing are left out.
    void WriteTestSounds(const std::set<std::string>& missing = {});
    void CreateMain();
    // Clicks "Verbinden" and waits until the stand-in has answered the end of the request.
    void Connect();
    void Packet(const std::vector<std::pair<int, float>>& records) { Main->HandleDataPacket(ValuesPayload(records)); }

};

}  // namespace lokklang_test
