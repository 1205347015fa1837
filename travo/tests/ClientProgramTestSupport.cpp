#include "ClientProgramTestSupport.h"

namespace client_program_test {

void ClientProgramTest::SetUp() {
    program_test::ProgramTest::SetUp();
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
}

void ClientProgramTest::PointAtServer(TTravoClientForm* window) {
    window->cbPort->SetText(std::to_string(Server.Port()));
}

void ClientProgramTest::ConnectWindow(TTravoClientForm* window) {
    const std::size_t before = Server.ClientCount();
    window->btnConnect->Click();
    ASSERT_TRUE(Server.WaitForClients(before + 1, 10000));
    FClient = before;
    ASSERT_TRUE(ProcessUntil([this] { return Server.Client(FClient).EndRequested; })) << "no end of request";
    ASSERT_EQ(window->btnConnect->Caption(), "Trennen");
}

void ClientProgramTest::ExpectOneLoadErrorBox() {
    ASSERT_EQ(Boxes->Count(), 1u) << "the failed load is reported";
    EXPECT_EQ(Boxes->Records()[0].Icon(), static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(Boxes->Records()[0].Text.empty());
}

void ClientProgramTest::ExpectSocketUnbound(TTravoClientForm* window) {
    EXPECT_FALSE(window->CliSocket->OnDataAvailable);
    EXPECT_FALSE(window->CliSocket->OnSessionClosed);
    EXPECT_EQ(window->CliSocket->State(), wsClosed);
}

}  // namespace client_program_test
