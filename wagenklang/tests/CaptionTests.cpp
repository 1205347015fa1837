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
    Main->Show();
    Application->ProcessMessages();

    struct TState {
        const char* Name;
        std::function<void()> Reach;
        const char* StateCaption;
        const char* ButtonCaption;
        const char* Picture;
    };
    const std::vector<TState> states = {
        {"at start", [] {}, "getrennt", "&Verbinden", "wagenklang.png"},
        {"connected", [this] { Connect(); }, "verbunden", "&Trennen", "wagenklang-verbunden.png"},
        {"disconnected again", [this] { Disconnect(); }, "getrennt", "&Verbinden", nullptr},
    };
    for (const TState& state : states) {
        SCOPED_TRACE(state.Name);
        state.Reach();
        Application->ProcessMessages();
        ASSERT_EQ(Main->laTCPConnectionState->Caption(), state.StateCaption);
        ASSERT_EQ(Main->btnTCPConnection->Caption(), state.ButtonCaption);
        const std::vector<std::string> problems = CaptionProblems(Main);
        EXPECT_TRUE(problems.empty()) << ProblemLines(problems);
        if (!state.Picture) continue;
        const std::string path = ExeDir() + "screenshots/" + state.Picture;
        EXPECT_TRUE(SaveFormImage(Main, path)) << path;
    }
    EXPECT_EQ(Boxes->Count(), 0u);
}

}  // namespace
