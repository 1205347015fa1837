// The window as a user sees it at first glance: every caption fits its control in the font the
// window is drawn with, disconnected, connected and disconnected again; pictures of the window
// are written beside the tests.

#include "WagenklangTestSupport.h"

using namespace wagenklang_test;

namespace {

using Captions = WagenklangTest;

TEST_F(Captions, FitTheirControlsInEveryStateOfTheConnection) {
    WriteTestSounds();
    CreateMain();
    const std::vector<TCaptionState> states = {
        {"at start", [] {}, "&Verbinden", "wagenklang.png", "getrennt"},
        {"connected", [this] { Connect(); }, "&Trennen", "wagenklang-verbunden.png", "verbunden"},
        {"disconnected again", [this] { Disconnect(); }, "&Verbinden", nullptr, "getrennt"},
    };
    WalkCaptionStates(Main, Main->btnTCPConnection, states, {}, Main->laTCPConnectionState);
    EXPECT_EQ(Boxes->Count(), 0u);
}

}  // namespace
