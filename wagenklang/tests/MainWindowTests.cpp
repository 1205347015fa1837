// The window: its controls as declared, the connect button through connect, refusal,
// disconnect and reconnect, the port text, the sound switch, the info box, the sound files
// that cannot be loaded, and closing while connected.

#include "WagenklangTestSupport.h"

#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <fstream>

using namespace wagenklang_test;
using travo::TValue;

namespace {

using MainWindow = WagenklangTest;

void ExpectDisconnected() {
    EXPECT_FALSE(Connected);
    EXPECT_EQ(Main->Client, nullptr);
    EXPECT_EQ(Main->btnTCPConnection->Caption(), "&Verbinden");
    EXPECT_EQ(Main->laTCPConnectionState->Caption(), "getrennt");
}

void ExpectConnected() {
    EXPECT_TRUE(Connected);
    EXPECT_NE(Main->Client, nullptr);
    EXPECT_EQ(Main->btnTCPConnection->Caption(), "&Trennen");
    EXPECT_EQ(Main->laTCPConnectionState->Caption(), "verbunden");
}

void ExpectBounds(const TControl* control, const TWinControl* parent, int left, int top, int width, int height) {
    EXPECT_EQ(control->Parent(), parent) << control->Name();
    EXPECT_EQ(control->Left(), left) << control->Name();
    EXPECT_EQ(control->Top(), top) << control->Name();
    if (width >= 0) {
        EXPECT_EQ(control->Width(), width) << control->Name();
    }
    if (height >= 0) {
        EXPECT_EQ(control->Height(), height) << control->Name();
    }
}

TEST_F(MainWindow, OpensAsDeclared) {
    WriteTestSounds();
    CreateMain();
    EXPECT_EQ(Main->Caption(), "Wagenklang");
    EXPECT_EQ(Main->ClientWidth(), 273);
    EXPECT_EQ(Main->ClientHeight(), 305);
    EXPECT_EQ(Main->BorderStyle(), bsSingle);
    EXPECT_EQ(Main->BorderIcons(), biSystemMenu | biMinimize);
    EXPECT_EQ(Main->Position(), poScreenCenter);

    ExpectBounds(Main->gbTCP, Main, 8, 8, 257, 73);
    EXPECT_EQ(Main->gbTCP->Caption(), "TCP-Verbindung ");
    ExpectBounds(Main->laTCPServer, Main->gbTCP, 8, 20, -1, -1);
    EXPECT_EQ(Main->laTCPServer->Caption(), "Server:");
    ExpectBounds(Main->edTCPServer, Main->gbTCP, 56, 16, 97, 21);
    EXPECT_EQ(Main->edTCPServer->Text(), "localhost");
    ExpectBounds(Main->laTCPPort, Main->gbTCP, 8, 44, -1, -1);
    EXPECT_EQ(Main->laTCPPort->Caption(), "Port:");
    ExpectBounds(Main->edTCPPort, Main->gbTCP, 56, 40, 97, 21);
    ExpectBounds(Main->btnTCPConnection, Main->gbTCP, 160, 16, 89, 25);
    ExpectBounds(Main->laTCPConnectionStateCaption, Main->gbTCP, 160, 48, -1, -1);
    EXPECT_EQ(Main->laTCPConnectionStateCaption->Caption(), "Status:");
    ExpectBounds(Main->laTCPConnectionState, Main->gbTCP, 198, 48, 51, -1);
    EXPECT_EQ(Main->laTCPConnectionState->Alignment(), taCenter);
    EXPECT_FALSE(Main->laTCPConnectionState->AutoSize());

    ExpectBounds(Main->gbTuersound, Main, 8, 88, 257, 113);
    EXPECT_EQ(Main->gbTuersound->Caption(), "Türsound ");
    ExpectBounds(Main->rbTuerKeine, Main->gbTuersound, 8, 16, 129, 17);
    ExpectBounds(Main->rbTuerDrehfaltBn, Main->gbTuersound, 8, 40, 129, 17);
    ExpectBounds(Main->rbTuerDrehfaltBy, Main->gbTuersound, 8, 64, 129, 17);
    ExpectBounds(Main->rbTuerSchwenkschiebe, Main->gbTuersound, 8, 88, 129, 17);
    EXPECT_EQ(Main->rbTuerKeine->Caption(), "keine");
    EXPECT_EQ(Main->rbTuerDrehfaltBn->Caption(), "Drehfalttür");
    EXPECT_EQ(Main->rbTuerDrehfaltBy->Caption(), "Drehfalttür");
    EXPECT_EQ(Main->rbTuerSchwenkschiebe->Caption(), "Schwenkschiebetür");
    EXPECT_TRUE(Main->rbTuerDrehfaltBn->Checked());
    EXPECT_FALSE(Main->rbTuerKeine->Checked() || Main->rbTuerDrehfaltBy->Checked() ||
                 Main->rbTuerSchwenkschiebe->Checked());
    ExpectBounds(Main->laLok, Main->gbTuersound, 144, 17, -1, -1);
    ExpectBounds(Main->laBndzfBnrdzf, Main->gbTuersound, 144, 41, -1, -1);
    ExpectBounds(Main->laBybdzf, Main->gbTuersound, 144, 65, -1, -1);
    ExpectBounds(Main->laBnrbdzf, Main->gbTuersound, 144, 89, -1, -1);
    EXPECT_EQ(Main->laLok->Caption(), "Lok");
    EXPECT_EQ(Main->laBndzfBnrdzf->Caption(), "Bndzf, Bnrdzf");
    EXPECT_EQ(Main->laBybdzf->Caption(), "Bybdzf");
    EXPECT_EQ(Main->laBnrbdzf->Caption(), "Bnrbdzf");

    ExpectBounds(Main->gbAbfertigung, Main, 8, 208, 169, 89);
    EXPECT_EQ(Main->gbAbfertigung->Caption(), "Abfertigungsverfahren ");
    ExpectBounds(Main->rbAbfOhne, Main->gbAbfertigung, 8, 16, 57, 17);
    ExpectBounds(Main->rbAbfTB0, Main->gbAbfertigung, 8, 40, 57, 17);
    ExpectBounds(Main->rbAbfSAT, Main->gbAbfertigung, 8, 64, 57, 17);
    EXPECT_EQ(Main->rbAbfOhne->Caption(), "ohne");
    EXPECT_EQ(Main->rbAbfTB0->Caption(), "TB0");
    EXPECT_EQ(Main->rbAbfSAT->Caption(), "SAT");
    EXPECT_TRUE(Main->rbAbfTB0->Checked());
    EXPECT_FALSE(Main->rbAbfOhne->Checked() || Main->rbAbfSAT->Checked());

    ExpectBounds(Main->cbSound, Main, 192, 208, 73, 17);
    EXPECT_EQ(Main->cbSound->Caption(), "Sound an");
    EXPECT_TRUE(Main->cbSound->Checked());
    ExpectBounds(Main->btnInfo, Main, 192, 272, 75, 25);
    EXPECT_EQ(Main->btnInfo->Caption(), "&Info");

    EXPECT_EQ(Main->gbTCP->TabOrder(), 0);
    EXPECT_EQ(Main->gbTuersound->TabOrder(), 1);
    EXPECT_EQ(Main->gbAbfertigung->TabOrder(), 2);
    EXPECT_EQ(Main->cbSound->TabOrder(), 3);
    EXPECT_EQ(Main->btnInfo->TabOrder(), 4);

    ExpectDisconnected();
    EXPECT_EQ(Boxes->Count(), 0u) << "every sound file was there";
}

TEST_F(MainWindow, BuildsTwentyTwoChannelsWithTheirFilesAndTheDoorSoundsOfTheCheckedType) {
    WriteTestSounds();
    CreateMain();
    ASSERT_EQ(Boxes->Count(), 0u) << Boxes->Records()[0].Text;
    ASSERT_NE(Mixer, nullptr);
    EXPECT_EQ(Mixer->Owner(), Main);
    EXPECT_EQ(Mixer->Channels().size(), 22u);
    for (int n = 1; n <= ChannelCount; ++n) {
        ASSERT_NE(Channels[n], nullptr) << n;
        EXPECT_EQ(Mixer->Channels()[n - 1], Channels[n]) << "created in order";
        EXPECT_FALSE(Channels[n]->Looping()) << n;
        if (ChannelFiles[n]) {
            EXPECT_EQ(ExtractFileName(Channels[n]->FileName()), ChannelFiles[n]) << n;
        }
    }
    EXPECT_EQ(ExtractFileName(Channels[chTuerAuf]->FileName()), "Drehfalttuer_Bn_auf.wav");
    EXPECT_EQ(ExtractFileName(Channels[chTuerZu]->FileName()), "Drehfalttuer_Bn_zu.wav");

    Main->rbTuerDrehfaltBy->SetChecked(true);
    EXPECT_EQ(ExtractFileName(Channels[chTuerAuf]->FileName()), "Drehfalttuer_Bn_auf.wav");
    EXPECT_EQ(ExtractFileName(Channels[chTuerZu]->FileName()), "Drehfalttuer_By_zu.wav");
    Main->rbTuerSchwenkschiebe->SetChecked(true);
    EXPECT_EQ(ExtractFileName(Channels[chTuerAuf]->FileName()), "Schwenkschiebetuer_auf.wav");
    EXPECT_EQ(ExtractFileName(Channels[chTuerZu]->FileName()), "Schwenkschiebetuer_zu.wav");
    Main->rbTuerKeine->SetChecked(true);
    EXPECT_EQ(ExtractFileName(Channels[chTuerAuf]->FileName()), "Schwenkschiebetuer_auf.wav") << "kept";
    EXPECT_EQ(ExtractFileName(Channels[chTuerZu]->FileName()), "Schwenkschiebetuer_zu.wav") << "kept";
}

TEST_F(MainWindow, ConnectSendsGreetingAndRequestThenDisconnectAndReconnect) {
    WriteTestSounds();
    CreateMain();
    Connect();
    ExpectConnected();
    const std::string greeting = Bytes({0x0F, 0, 0, 0, 0, 1, 2, 2, 10}) + "Wagenklang";
    const std::string request =
        Bytes({0x0E, 0, 0, 0, 0, 3, 0, 10, 0x01, 0x33, 0x34, 0x35, 0x36, 0x3C, 0x40, 0x43, 0x4E, 0x56});
    const std::string endRequest = Bytes({4, 0, 0, 0, 0, 3, 0, 0});
    EXPECT_EQ(Server.Client(0).Bytes, greeting + request + endRequest);

    Disconnect();
    ExpectDisconnected();
    EXPECT_EQ(Boxes->Count(), 0u) << "the program's own disconnect shows no box";

    Connect();
    ExpectConnected();
    EXPECT_EQ(FClient, 1u);
    EXPECT_EQ(Server.Client(1).Bytes, greeting + request + endRequest);
    EXPECT_EQ(Step({{IdMasterController, 1}}), (std::set<int>{chFahrschalter0Ab})) << "the new client receives";
    Disconnect();
    ExpectDisconnected();
    EXPECT_EQ(Boxes->Count(), 0u);
}

// However the server ends the connection, the window shows it as after the user's disconnect,
// without a box, and one click connects again.
TEST_F(MainWindow, AConnectionThatTheServerEndsLeavesTheWindowDisconnectedAndOneClickConnects) {
    WriteTestSounds();
    CreateMain();
    const std::vector<std::pair<const char*, std::function<void()>>> endings = {
        {"close", [this] { Server.CloseClient(FClient); }},
        {"reset", [this] { Server.ResetClient(FClient); }},
        {"impossible length", [this] { Server.Send(FClient, Bytes({0xFF, 0xFF, 0xFF, 0xFF})); }},
    };
    for (const auto& [name, end] : endings) {
        SCOPED_TRACE(name);
        Connect();
        end();
        ASSERT_TRUE(ProcessUntil([] { return !Connected; })) << "the window still shows the connection";
        ExpectDisconnected();
    }
    EXPECT_EQ(Boxes->Count(), 0u);
    Connect();
    EXPECT_EQ(Step({{IdMasterController, 1}}), (std::set<int>{chFahrschalter0Ab}));
}

// A full accept queue drops the connect request: the click gives up when the handshake's 5 s
// have run out, as on a refused connect.
TEST_F(MainWindow, AConnectThatGetsNoAnswerFailsAsARefusedOne) {
    WriteTestSounds();
    CreateMain();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {inet_addr("127.0.0.1")}, {}};
    int length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    // The queue holds one connection more than its backlog.
    const SOCKET queued = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&address), length), 0);
    Main->edTCPPort->SetText(std::to_string(ntohs(address.sin_port)));
    {
        TWatchdog watchdog(60, "a click whose connect gets no answer");
        Main->btnTCPConnection->Click();
    }
    ExpectDisconnected();
    ASSERT_EQ(Boxes->Count(), 1u);
    EXPECT_EQ(Boxes->Records()[0].Text, "Die TCP-Verbindung konnte nicht hergestellt werden.");
    ULONG nonBlocking = 1;
    ioctlsocket(listener, FIONBIO, &nonBlocking);
    const SOCKET first = accept(listener, nullptr, nullptr);
    EXPECT_EQ(accept(listener, nullptr, nullptr), INVALID_SOCKET) << "the click's connect was answered";
    for (const SOCKET s : {first, queued, listener}) closesocket(s);
    WSACleanup();
}

// Greeting and request are each answered 3 s after they were sent: each in time, both not. A
// SIGTERM meanwhile ends the program once the handshake has given up.
TEST_F(MainWindow, TheHandshakeHasFiveSecondsInAllAndASigtermMeanwhileEndsTheProgramAfterIt) {
    WriteTestSounds();
    CreateMain();
    Server.SetReplyWriteMode(travo::TWriteMode::Split, 3000);
    const auto terminate = [](LPVOID server) -> DWORD {
        if (static_cast<travo::TTravoServer*>(server)->WaitForPackets(0, 1, 20000)) kill(getpid(), SIGTERM);
        return 0;
    };
    const HANDLE terminator = CreateThread(nullptr, 0, terminate, &Server, 0, nullptr);
    QTimer::singleShot(0, [] { ClickWidget(Main->btnTCPConnection); });
    {
        TWatchdog watchdog(60, "the program after a SIGTERM during the handshake");
        Application->Run();
    }
    WaitForSingleObject(terminator, INFINITE);
    CloseHandle(terminator);
    EXPECT_EQ(Main, nullptr) << "the window was closed and freed";
    ASSERT_EQ(Boxes->Count(), 1u) << "the handshake succeeded";
    EXPECT_EQ(Boxes->Records()[0].Text, "Die TCP-Verbindung konnte nicht hergestellt werden.");
    EXPECT_TRUE(Server.WaitForClientClosed(0, 10000));
}

TEST_F(MainWindow, ARefusedGreetingOrAnAbsentServerShowsTheErrorBoxAndStaysDisconnected) {
    WriteTestSounds();
    CreateMain();
    Server.SetHelloResult(1);
    Main->btnTCPConnection->Click();
    ExpectDisconnected();
    ASSERT_EQ(Boxes->Count(), 1u);
    TMessageBoxRecord box = Boxes->Records()[0];
    EXPECT_EQ(box.Text, "Die TCP-Verbindung konnte nicht hergestellt werden.");
    EXPECT_EQ(box.Caption, "Fehler");
    EXPECT_EQ(box.Icon(), MB_ICONERROR);
    EXPECT_EQ(box.Type & 0x0F, MB_OK);
    EXPECT_EQ(box.Owner, Main->Handle());
    ASSERT_TRUE(Server.WaitForClientClosed(0, 10000)) << "the half-built client is freed";
    EXPECT_EQ(Server.Client(0).Requests, 0);

    // The same for a refused request and for a port where nobody listens.
    Server.SetHelloResult(0);
    Server.SetRequestResult(2);
    Main->btnTCPConnection->Click();
    ExpectDisconnected();
    EXPECT_EQ(Boxes->Count(), 2u);

    travo::TTravoServer gone;
    ASSERT_TRUE(gone.Start());
    Main->edTCPPort->SetText(std::to_string(gone.Port()));
    gone.Stop();
    Main->btnTCPConnection->Click();
    ExpectDisconnected();
    ASSERT_EQ(Boxes->Count(), 3u);
    EXPECT_EQ(Boxes->Records()[2].Text, "Die TCP-Verbindung konnte nicht hergestellt werden.");

    // After a refusal the next click connects.
    Server.SetRequestResult(0);
    Main->edTCPPort->SetText(std::to_string(Server.Port()));
    Connect();
    ExpectConnected();
}

TEST_F(MainWindow, APortThatIsNoNumberShowsTheConversionErrorAndTheNextClickConnects) {
    WriteTestSounds();
    CreateMain();
    Main->edTCPPort->SetText("14x5");
    ClickWidget(Main->btnTCPConnection);
    ASSERT_EQ(Boxes->Count(), 1u);
    const TMessageBoxRecord box = Boxes->Records()[0];
    EXPECT_EQ(box.Text, "'14x5' ist kein gültiger Integerwert");
    EXPECT_EQ(box.Icon(), MB_ICONERROR);
    ExpectDisconnected();
    EXPECT_EQ(Server.ClientCount(), 0u);

    Main->edTCPPort->SetText(std::to_string(Server.Port()));
    Connect();
    ExpectConnected();
    EXPECT_EQ(Boxes->Count(), 1u);
}

TEST_F(MainWindow, ValuesAndTheDepartureBlockSurviveAReconnect) {
    WriteTestSounds();
    CreateMain();
    Connect();
    EXPECT_EQ(Step({{IdMasterController, 1}, {IdBrakeValve, 5}}), (std::set<int>{chFahrschalter0Ab, chFbVRaste, chFbVAnlegen}));
    EXPECT_EQ(Step({{IdDoorSwitch, 1}}), std::set<int>{}) << "blocks the departure signal";
    Disconnect();
    EXPECT_TRUE(TB0Blocked);

    Connect();
    EXPECT_EQ(Step({{IdMasterController, 1}, {IdBrakeValve, 5}}), std::set<int>{})
        << "the first values are compared with those of the connection before";
    EXPECT_EQ(Step({{IdSpeed, 40}}), std::set<int>{});
    EXPECT_EQ(Step({{IdSpeed, 20}}), std::set<int>{}) << "still blocked";
    EXPECT_EQ(Step({{IdMasterController, 2}}), (std::set<int>{chFahrschalterAbFahren}));
}

TEST_F(MainWindow, TheSoundSwitchSilencesAllChannelsAlsoThroughADoorTypeChange) {
    WriteTestSounds();
    CreateMain();
    ClickWidget(Main->cbSound);
    ASSERT_FALSE(Main->cbSound->Checked());
    for (int n = 1; n <= ChannelCount; ++n) EXPECT_EQ(Channels[n]->Volume(), -10000) << n;

    ClickWidget(Main->rbTuerSchwenkschiebe);
    for (int n = 1; n <= ChannelCount; ++n) EXPECT_EQ(Channels[n]->Volume(), -10000) << "reloaded " << n;

    ClickWidget(Main->cbSound);
    ASSERT_TRUE(Main->cbSound->Checked());
    for (int n = 1; n <= ChannelCount; ++n) EXPECT_EQ(Channels[n]->Volume(), 0) << n;
}

TEST_F(MainWindow, TheInfoBoxTellsProgramAndVersionInLinesBrokenByCarriageReturns) {
    WriteTestSounds();
    CreateMain();
    ClickWidget(Main->btnInfo);
    ASSERT_EQ(Boxes->Count(), 1u);
    const TMessageBoxRecord box = Boxes->Records()[0];
    EXPECT_EQ(box.Text, "Wagenklang Steuerwagen\r\rVersion 1.1 vom 01. Mai 2008");
    EXPECT_EQ(box.Caption, "Programminformation");
    EXPECT_EQ(box.Icon(), MB_ICONINFORMATION);
    EXPECT_EQ(box.Type & 0x0F, MB_OK);
    EXPECT_EQ(box.Owner, Main->Handle());
}

TEST_F(MainWindow, MissingSoundFilesAreNamedOnceAndTheirRulesStaySilent) {
    WriteTestSounds({"FbV_SB.wav", "Drehfalttuer_Bn_zu.wav"});
    // One file that is there but is no sound.
    { std::ofstream((FSounds / "Rischa_0.wav").string()) << "no sound"; }
    CreateMain();
    ASSERT_EQ(Boxes->Count(), 1u);
    const TMessageBoxRecord box = Boxes->Records()[0];
    EXPECT_EQ(box.Caption, "Fehler");
    EXPECT_EQ(box.Icon(), MB_ICONERROR);
    EXPECT_NE(box.Text.find("FbV_SB.wav"), std::string::npos) << box.Text;
    EXPECT_NE(box.Text.find("Drehfalttuer_Bn_zu.wav"), std::string::npos) << box.Text;
    EXPECT_NE(box.Text.find("Rischa_0.wav"), std::string::npos) << box.Text;
    EXPECT_EQ(box.Text.find("FbV_Raste.wav"), std::string::npos) << box.Text;

    Connect();
    EXPECT_EQ(Step({{IdBrakeValve, 9}}), (std::set<int>{chFbVRaste}));
    EXPECT_EQ(Step({{IdDirectionSwitch, 1}}), std::set<int>{});
    EXPECT_EQ(Step({{IdDoorState, 4}}), (std::set<int>{chTB0})) << "the departure signal without the door";
    EXPECT_EQ(Step({{IdMasterController, 1}}), (std::set<int>{chFahrschalter0Ab}));
    ExpectConnected();
    EXPECT_EQ(Boxes->Count(), 1u);

    // Another door type with a missing file tells of it when it is chosen.
    fs::remove(FSounds / "Drehfalttuer_By_zu.wav");
    ClickWidget(Main->rbTuerDrehfaltBy);
    ASSERT_EQ(Boxes->Count(), 2u);
    EXPECT_NE(Boxes->Records()[1].Text.find("Drehfalttuer_By_zu.wav"), std::string::npos);
}

// A channel whose constructor raised in FormCreate stays null. Such a failure cannot be brought
// about here without taking every channel lock name from the other programs on the machine, so
// the test leaves the window in that state by freeing the channels.
TEST_F(MainWindow, ChannelsThatWereNotCreatedAreLeftOutByTheDoorChoiceTheSoundSwitchAndTheRules) {
    WriteTestSounds();
    CreateMain();
    for (int n : {chTuerAuf, chTuerZu, chFbVRaste}) {
        delete Channels[n];
        Channels[n] = nullptr;
    }
    ClickWidget(Main->rbTuerSchwenkschiebe);
    ClickWidget(Main->cbSound);
    EXPECT_EQ(Channels[chFbVAnlegen]->Volume(), -10000);
    ClickWidget(Main->cbSound);
    EXPECT_EQ(Channels[chFbVAnlegen]->Volume(), 0);
    EXPECT_EQ(Boxes->Count(), 0u) << "the missing channels were told of when they failed";

    Connect();
    EXPECT_EQ(Step({{IdBrakeValve, 5}}), (std::set<int>{chFbVAnlegen}));
    EXPECT_EQ(Step({{IdDoorState, 4}}), (std::set<int>{chTB0}));
    Main->Free();
    EXPECT_TRUE(Server.WaitForClientClosed(0, 10000));
}

TEST_F(MainWindow, ClosingTheWindowWhileConnectedEndsTheConnectionBeforeTheChannelsGo) {
    WriteTestSounds();
    CreateMain();
    Connect();
    EXPECT_EQ(Step({{IdMasterController, 1}}), (std::set<int>{chFahrschalter0Ab}));
    Main->Free();
    EXPECT_EQ(Main, nullptr);
    EXPECT_EQ(Mixer, nullptr);
    for (int n = 1; n <= ChannelCount; ++n) EXPECT_EQ(Channels[n], nullptr);
    EXPECT_FALSE(Connected);
    EXPECT_TRUE(Server.WaitForClientClosed(0, 10000));
    EXPECT_EQ(Boxes->Count(), 0u);
}

TEST_F(MainWindow, WithoutASoundOutputTheDeviceIsToldOnceAndEveryValueIsTaken) {
    WriteTestSounds();
    BrakeValve.Reset(7);
    ExpectNoSoundOutputToldOnce([this] { CreateMain(); }, [this] {
        EXPECT_EQ(BrakeValve.Current.load(), 2) << "the start values, whatever the window before left";
        Main->btnTCPConnection->Click();
        return ProcessUntil([this] { return Server.ClientCount() == 1 && Server.Client(0).EndRequested; }) &&
               Server.SendValues(0, {{IdSpeed, 47.25}, {IdDoorState, 6}}) &&
               ProcessUntil([] { return Speed.Current == 47.25f && DoorState.Current == 6; });
    });
}

}  // namespace
