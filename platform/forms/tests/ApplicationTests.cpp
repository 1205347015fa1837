// The application object: the standard error box for exceptions of handlers, OnCreate
// failures, the run loop with its message queue, and ending on SIGTERM / SIGINT.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "FormsTesting.h"
#include "SysUtils.h"
#include "TestSupport.h"

namespace {

using ApplicationTest = FormsTest;

DWORD SendSignalLater(LPVOID signalNumber) {
    Sleep(50);
    kill(getpid(), static_cast<int>(reinterpret_cast<intptr_t>(signalNumber)));
    return 0;
}

HANDLE SignalFromAnotherThread(int signalNumber) {
    return CreateThread(nullptr, 0, SendSignalLater, reinterpret_cast<LPVOID>(static_cast<intptr_t>(signalNumber)), 0,
                        nullptr);
}

class TSyncThread : public TThread {
public:
    explicit TSyncThread(std::function<void()> method) : TThread(true), FMethod(std::move(method)) {}

protected:
    void Execute() override {
        Sleep(50);
        Synchronize(FMethod);
    }

private:
    std::function<void()> FMethod;
};

}  // namespace

TEST_F(ApplicationTest, AnExceptionFromAClickHandlerShowsTheStandardBoxAndTheProgramGoesOn) {
    TMessageBoxRecorder boxes;
    Application->SetTitle("Testprogramm");
    TTestMain* form = CreateTestMain();
    form->Show();
    auto* button = static_cast<QAbstractButton*>(WidgetOf(form->btnConnect));

    form->ConnectAction = [] { throw EConvertError("'x1' ist kein gültiger Integerwert"); };
    button->click();
    form->ConnectAction = [] { throw std::runtime_error("plain failure"); };
    button->click();
    form->ConnectAction = [] { throw 7; };
    button->click();
    form->ConnectAction = nullptr;
    button->click();

    EXPECT_EQ(form->ConnectClicks, 4);
    const auto records = boxes.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Text, "'x1' ist kein gültiger Integerwert");
    EXPECT_EQ(records[0].Caption, "Testprogramm");
    EXPECT_EQ(records[0].Type, MB_OK | MB_ICONERROR);
    EXPECT_EQ(records[0].Owner, form->Handle());
    EXPECT_EQ(records[1].Text, "plain failure");
    EXPECT_EQ(records[2].Text, "Unknown exception");
    EXPECT_TRUE(form->Visible());
}

TEST_F(ApplicationTest, HandleExceptionOutsideACatchBlockDoesNothing) {
    TMessageBoxRecorder boxes;
    Application->HandleException(nullptr);
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ApplicationTest, AnExceptionInOnCreateIsShownAndTheWindowStillOpens) {
    TMessageBoxRecorder boxes;
    Application->SetTitle("Testprogramm");
    TTestMain::CreateAction = [](TTestMain*) { throw Exception("Sounds/FML_Anfang.wav fehlt"); };
    TTestMain* form = CreateTestMain();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(Application->MainForm(), form);
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Records()[0].Text, "Sounds/FML_Anfang.wav fehlt");
    EXPECT_EQ(boxes.Records()[0].Icon(), MB_ICONERROR);

    bool shownDuringRun = false;
    QTimer::singleShot(20, [&] {
        shownDuringRun = form->Visible();
        form->Close();
    });
    Application->Run();
    Form = nullptr;  // Run freed it
    EXPECT_TRUE(shownDuringRun);
    EXPECT_TRUE(Application->Terminated());
    EXPECT_EQ(TTestMain::Destroyed, 1);
    EXPECT_EQ(Application->MainForm(), nullptr);
}

TEST_F(ApplicationTest, SigtermClosesTheMainFormAndRunsItsDestroyHandler) {
    TTestMain* form = CreateTestMain();
    ASSERT_NE(form, nullptr);
    HANDLE sender = SignalFromAnotherThread(SIGTERM);
    Application->Run();
    Form = nullptr;
    WaitForSingleObject(sender, 10000);
    CloseHandle(sender);
    EXPECT_EQ(TTestMain::Destroyed, 1);
    EXPECT_TRUE(Application->Terminated());
}

TEST_F(ApplicationTest, SigintEndsTheProgramEvenWhileAMessageBoxIsOpen) {
    TTestMain* form = CreateTestMain();
    ASSERT_NE(form, nullptr);
    int answer = 0;
    bool boxWasOpen = false;
    HANDLE sender = nullptr;
    QTimer::singleShot(10, [&] {
        QTimer::singleShot(0, [&] {
            boxWasOpen = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
            sender = SignalFromAnotherThread(SIGINT);
        });
        answer = MessageBoxA(form->Handle(), "Offen", "Test", MB_OK | MB_ICONINFORMATION);
    });
    Application->Run();
    Form = nullptr;
    EXPECT_TRUE(boxWasOpen);
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(TTestMain::Destroyed, 1);
    if (sender) {
        WaitForSingleObject(sender, 10000);
        CloseHandle(sender);
    }
}

TEST_F(ApplicationTest, TheLoopDispatchesPostedMessagesAndSynchronizeCalls) {
    TTestMain* form = CreateTestMain();
    std::vector<WPARAM> received;
    TMessageSink sink([&](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message == WM_USER + 1) received.push_back(wParam);
        if (message == WM_USER + 2) throw Exception("from a window procedure");
        return 0;
    });
    TMessageBoxRecorder boxes;
    PostMessageA(sink.Handle(), WM_USER + 1, 1, 0);
    PostMessageA(sink.Handle(), WM_USER + 2, 0, 0);
    PostMessageA(sink.Handle(), WM_USER + 1, 2, 0);
    Application->ProcessMessages();
    EXPECT_EQ(received, (std::vector<WPARAM>{1, 2}));
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Records()[0].Text, "from a window procedure");

    bool synchronized = false;
    DWORD synchronizedOn = 0;
    TSyncThread thread([&] {
        synchronized = true;
        synchronizedOn = GetCurrentThreadId();
        form->Close();
    });
    thread.Resume();
    Application->Run();
    Form = nullptr;
    thread.WaitFor();
    EXPECT_TRUE(synchronized);
    EXPECT_EQ(synchronizedOn, MainThreadID());
}

TEST_F(ApplicationTest, TerminateBeforeRunEndsRunAtOnceAndFreesTheForms) {
    CreateTestMain();
    Application->Terminate();
    Application->Run();
    Form = nullptr;
    EXPECT_EQ(TTestMain::Destroyed, 1);
    EXPECT_EQ(Application->ComponentCount(), 0);
}
