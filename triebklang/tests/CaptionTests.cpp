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
    const std::vector<TCaptionState> states = {
        {"at start", [] {}, "Verbinden", nullptr},
        {"connected", [this] { Connect(); }, "Trennen", "triebklang.png"},
        {"disconnected again", [] { Main->btnConnect->Click(); }, "Verbinden", nullptr},
    };
    WalkCaptionStates(Main, states);
    if (HasFatalFailure()) return;
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
