// The window as a user sees it at first glance: every caption fits its control in the font the
// window is drawn with, at start, connected with every value line filled, and disconnected
// again; a picture of the connected window is written beside the tests.

#include "LokklangTestSupport.h"

using namespace lokklang_test;

namespace {

using Captions = LokklangTest;

TEST_F(Captions, FitTheirControlsInEveryStateOfTheConnection) {
    WriteTestSounds();
    CreateMain();
    const std::vector<TCaptionState> states = {
        {"at start", [] {}, "Verbinden", nullptr},
        {"connected, every value shown",
         [this] {
             Connect();
             // The widest values the lines can take in a drive.
             Packet({{IdSpeed, -188.88f}, {IdTractiveForce, -300.55f}, {IdNotch, -28.0f}, {IdMainSwitch, -1.0f},
                     {IdFanSwitch, 255.0f}});
             Main->ToggleLuefter();
             Main->tiLueftersteuerungTimer(Main->tiLueftersteuerung);
         },
         "Trennen", "lokklang.png"},
        {"disconnected again", [] { Main->btnConnect->Click(); }, "Verbinden", nullptr},
    };
    WalkCaptionStates(Main, states, [] {
        EXPECT_EQ(Main->Label4->Caption(), "Hauptschalter: 255");
        EXPECT_EQ(Main->Label6->Caption(), "Trennschütz: 0");
    });
    if (HasFatalFailure()) return;
    EXPECT_EQ(Main->Caption(), "Lokklang (TCP)");
    EXPECT_EQ(Main->gbVerbindung->Caption(), " TCP-Verbindung ");
    EXPECT_EQ(Main->cbPort->Items().Count(), 1);
    EXPECT_EQ(Main->cbPort->Items()[0], "1435");
    EXPECT_TRUE(Main->cbSound->Checked());
    EXPECT_FALSE(Main->cbOnTop->Checked());
    EXPECT_EQ(Boxes->Count(), 0u);
}

}  // namespace
