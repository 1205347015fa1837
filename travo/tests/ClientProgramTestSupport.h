#pragma once
// What the tests of the window-side client programs (Lokklang, Triebklang) add to the programs'
// one test base: the socket's pump, and the connect, the caption walk and the checks through the
// shared client's own controls. Each program's fixture derives from it and adds its channels and
// packets.

#include "ProgramTestSupport.h"
#include "TravoWindowClient.h"

namespace client_program_test {

class ClientProgramTest : public program_test::ProgramTest {
protected:
    using program_test::ProgramTest::ProgramTest;

    void SetUp() override;

    void PointAtServer(TTravoClientForm* window);
    // Clicks "Verbinden" and waits until the stand-in has answered the end of the request.
    void ConnectWindow(TTravoClientForm* window);
    using program_test::ProgramTest::WalkCaptionStates;
    static void WalkCaptionStates(TTravoClientForm* window, const std::vector<TCaptionState>& states,
                                  const std::function<void()>& pictured = {}) {
        WalkCaptionStates(window, window->btnConnect, states, pictured);
    }
    // The one message box of a sound file that failed to load: an error with a text.
    void ExpectOneLoadErrorBox();
    // After the destroy handler: the socket closed, its handlers unbound.
    static void ExpectSocketUnbound(TTravoClientForm* window);
};

}  // namespace client_program_test
