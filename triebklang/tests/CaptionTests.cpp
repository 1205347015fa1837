// The window as a user sees it at first glance: every caption fits its control in the font the
// window is drawn with, at start, connected and disconnected again; a picture of the connected
// window is written beside the tests.

#include "TriebklangTestSupport.h"

using namespace triebklang_test;

namespace {

using Captions = TriebklangTest;

TEST_F(Captions, FitTheirControlsInEveryStateOfTheConnection) {
    WriteTestSounds();
    CreateMain();
    Main->Show();
    Application->ProcessMessages();

    struct TState {
        const char* Name;
        std::function<void()> Reach;
        const char* ButtonCaption;
        const char* Picture;
    };
    const std::vector<TState> states = {
        {"at start", [] {}, "Verbinden", nullptr},
        {"connected", [this] { Connect(); }, "Trennen", "triebklang.png"},
        {"disconnected again", [] { Main->btnConnect->Click(); }, "Verbinden", nullptr},
    };
    for (const TState& state : states) {
        SCOPED_TRACE(state.Name);
        state.Reach();
        Application->ProcessMessages();
        ASSERT_EQ(Main->btnConnect->Caption(), state.ButtonCaption);
        const std::vector<std::string> problems = CaptionProblems(Main);
        EXPECT_TRUE(problems.empty()) << ProblemLines(problems);
        if (!state.Picture) continue;
        const std::string path = ExeDir() + "screenshots/" + state.Picture;
        EXPECT_TRUE(SaveFormImage(Main, path)) << path;
    }
    EXPECT_EQ(Main->Caption(), "Triebklang");
    EXPECT_EQ(Main->ClientWidth(), 337);
    EXPECT_EQ(Main->ClientHeight(), 105);
    ASSERT_NE(Main->GroupBox1, nullptr);
    EXPECT_EQ(Main->GroupBox1->Caption(), " TCP-Verbindung ");
    EXPECT_EQ(Main->cbOnTop->Parent(), Main->GroupBox1);
    EXPECT_EQ(Main->btnConnect->Parent(), Main->GroupBox1);
    EXPECT_EQ(Main->edServer->Text(), "localhost");
    EXPECT_EQ(Main->cbPort->Items().Count(), 1);
    EXPECT_EQ(Main->cbPort->Items()[0], "1435");
    EXPECT_FALSE(Main->cbOnTop->Checked());
    EXPECT_EQ(Boxes->Count(), 0u);
}

}  // namespace
