// The desktop behind user32: real message boxes (also from other threads, also with the
// message queue running behind them), the recorder for tests, and always-in-front.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <atomic>

#include "Classes.h"
#include "FormsTesting.h"
#include "TestSupport.h"

namespace {

using DesktopTest = FormsTest;

QMessageBox* OpenBox() { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }

// Guards a test against a box that nobody answers.
void CloseBoxesAfter(int ms) {
    QTimer::singleShot(ms, [] {
        while (QMessageBox* box = OpenBox()) box->done(QMessageBox::Ok);
    });
}

struct TBoxCall {
    HWND owner = nullptr;
    std::atomic<int> answer{0};
    std::atomic<bool> returned{false};
};

DWORD BoxFromThread(LPVOID p) {
    auto* call = static_cast<TBoxCall*>(p);
    call->answer = MessageBoxA(call->owner, "Keine Antwort\r\nvom Server", "Aus dem Thread", MB_OK | MB_ICONERROR);
    call->returned = true;
    return 0;
}

}  // namespace

TEST_F(DesktopTest, ARealBoxShowsCaptionTextIconAndOwner) {
    TTestMain* form = CreateTestMain();
    form->Show();
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, [&] {
        if (QMessageBox* box = OpenBox()) {
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            parent = box->parentWidget();
            box->button(QMessageBox::Ok)->click();
        }
    });
    CloseBoxesAfter(10000);
    const int answer = MessageBoxA(form->Handle(), "eins\rzwei\r\ndrei\nvier", "Programminformation",
                                   MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(text, "eins\nzwei\ndrei\nvier");
    EXPECT_EQ(caption, "Programminformation");
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(parent, WidgetOf(form));

    QTimer::singleShot(0, [&] {
        parent = reinterpret_cast<QWidget*>(1);
        if (QMessageBox* box = OpenBox()) {
            icon = box->icon();
            parent = box->parentWidget();
            box->done(QMessageBox::Ok);
        }
    });
    EXPECT_EQ(MessageBoxA(nullptr, "ohne Besitzer", "Fehler", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(parent, nullptr);
}

TEST_F(DesktopTest, AMessagePostedFromAnotherThreadIsDispatchedWhileABoxIsOpen) {
    std::atomic<bool> boxOpenAtDispatch{false};
    std::atomic<WPARAM> received{0};
    TMessageSink sink([&](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message != WM_USER + 5) return 0;
        received = wParam;
        if (QMessageBox* box = OpenBox()) {
            boxOpenAtDispatch = box->text() == "Warten";
            box->done(QMessageBox::Ok);
        }
        return 0;
    });
    struct TPost {
        HWND window;
    } post{sink.Handle()};
    HANDLE poster = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        Sleep(100);
        PostMessageA(static_cast<TPost*>(p)->window, WM_USER + 5, 42, 0);
        return 0;
    }, &post, 0, nullptr);
    ASSERT_NE(poster, nullptr);
    CloseBoxesAfter(20000);
    EXPECT_EQ(MessageBoxA(nullptr, "Warten", "Test", MB_OK | MB_ICONINFORMATION), IDOK);
    WaitForSingleObject(poster, 10000);
    CloseHandle(poster);
    EXPECT_EQ(received.load(), 42u);
    EXPECT_TRUE(boxOpenAtDispatch);
}

TEST_F(DesktopTest, ABoxFromAnotherThreadAppearsAndBlocksThatThreadUntilAnswered) {
    TTestMain* form = CreateTestMain();
    form->Show();
    TBoxCall call;
    call.owner = form->Handle();

    // The box runs its modal loop inside the main thread's event handling, so the look at it
    // happens from a timer inside that loop.
    QString text, caption;
    QWidget* parent = nullptr;
    bool onGuiThread = false;
    bool callerWaited = false;
    int polls = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QMessageBox* box = OpenBox();
        if (!box) return;
        if (++polls == 1) {
            text = box->text();
            caption = box->windowTitle();
            parent = box->parentWidget();
            onGuiThread = box->thread() == qApp->thread();
        }
        if (polls == 10) {
            callerWaited = !call.returned;
            box->button(QMessageBox::Ok)->click();
        }
    });
    poll.start(20);
    HANDLE caller = CreateThread(nullptr, 0, BoxFromThread, &call, 0, nullptr);
    ASSERT_NE(caller, nullptr);
    EXPECT_TRUE(ProcessUntil([&] { return WaitForSingleObject(caller, 0) == WAIT_OBJECT_0; }, 20000));
    CloseHandle(caller);
    poll.stop();

    EXPECT_EQ(text, "Keine Antwort\nvom Server");
    EXPECT_EQ(caption, "Aus dem Thread");
    EXPECT_EQ(parent, WidgetOf(form));
    EXPECT_TRUE(onGuiThread);
    EXPECT_TRUE(callerWaited);
    EXPECT_TRUE(call.returned);
    EXPECT_EQ(call.answer.load(), IDOK);
}

TEST_F(DesktopTest, TheRecorderAnswersAtOnceAndKeepsEveryBox) {
    TTestMain* form = CreateTestMain();
    {
        TMessageBoxRecorder boxes;
        static_cast<QAbstractButton*>(WidgetOf(form->btnInfo))->click();
        TBoxCall call;
        HANDLE caller = CreateThread(nullptr, 0, BoxFromThread, &call, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(caller, 10000), WAIT_OBJECT_0);  // answered without the main thread
        CloseHandle(caller);
        EXPECT_EQ(call.answer.load(), IDOK);

        const auto records = boxes.Records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].Owner, form->Handle());
        EXPECT_EQ(records[0].Caption, "Programminformation");
        EXPECT_EQ(records[0].Text, "Formtest\r\rVersion 1");
        EXPECT_EQ(records[0].Icon(), MB_ICONINFORMATION);
        EXPECT_EQ(records[0].ThreadId, MainThreadID());
        EXPECT_EQ(records[1].Owner, nullptr);
        EXPECT_EQ(records[1].Icon(), MB_ICONERROR);
        EXPECT_NE(records[1].ThreadId, MainThreadID());
        boxes.Clear();
        EXPECT_EQ(boxes.Count(), 0u);
    }
    EXPECT_EQ(form->InfoClicks, 1);
}

TEST_F(DesktopTest, SetWindowPosKeepsTheFormInFrontOrNoLonger) {
    TTestMain* form = CreateTestMain();
    form->Show();
    QWidget* window = WidgetOf(form);
    const QPoint place = window->pos();
    const UINT flags = SWP_NOMOVE | SWP_NOSIZE | 0x0020;  // with the frame-changed bit the programs pass
    EXPECT_TRUE(SetWindowPos(form->Handle(), HWND_TOPMOST, 0, 0, 0, 0, flags));
    EXPECT_TRUE(form->Topmost());
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->pos(), place);
    EXPECT_EQ(window->size(), QSize(273, 233));

    EXPECT_TRUE(SetWindowPos(form->Handle(), HWND_NOTOPMOST, 0, 0, 0, 0, flags));
    EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window->isVisible());

    SetLastError(0);
    EXPECT_FALSE(SetWindowPos(reinterpret_cast<HWND>(0x7777), HWND_TOPMOST, 0, 0, 0, 0, flags));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(DesktopTest, ACloseRequestToTheFormsWindowClosesTheForm) {
    TTestMain* form = CreateTestMain();
    form->Show();
    ASSERT_TRUE(IsWindow(form->Handle()));
    PostMessageA(form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(ProcessUntil([&] { return !form->Visible(); }));
    EXPECT_TRUE(Application->Terminated());  // it is the main form
}

namespace {

class TBoxClosingThread : public TThread {
public:
    TBoxClosingThread() : TThread(true) {}
    std::atomic<bool> SawBox{false};

protected:
    void Execute() override {
        Sleep(100);
        Synchronize([this] {
            if (QMessageBox* box = OpenBox()) {
                SawBox = box->text() == "Anmeldung abgelehnt";
                box->done(QMessageBox::Ok);
            }
        });
    }
};

}  // namespace

// As a socket event whose handler shows a box: the queue keeps being served behind it.
TEST_F(DesktopTest, MessagesAndSynchronizeCallsRunBehindABoxOpenedByAMessageHandler) {
    std::vector<WPARAM> order;
    TBoxClosingThread closer;
    TMessageSink sink([&](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message != WM_USER + 9) return 0;
        order.push_back(wParam);
        if (wParam == 1) {
            closer.Resume();
            MessageBoxA(nullptr, "Anmeldung abgelehnt", "Fehler", MB_OK | MB_ICONERROR);
            order.push_back(100);
        }
        return 0;
    });
    PostMessageA(sink.Handle(), WM_USER + 9, 1, 0);
    PostMessageA(sink.Handle(), WM_USER + 9, 2, 0);
    CloseBoxesAfter(20000);
    EXPECT_TRUE(ProcessUntil([&] { return order.size() == 3; }, 20000));
    closer.WaitFor();
    EXPECT_TRUE(closer.SawBox);
    // The second message ran while the first one's box was open.
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 100}));
}

// The main thread may wait in a loop of its own over the message queue, as the socket
// component's waits do: a box of another thread still appears there.
TEST_F(DesktopTest, ABoxFromAnotherThreadAppearsInAPlainMessageLoop) {
    TBoxCall call;
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QMessageBox* box = OpenBox()) {
            seen = box->windowTitle() == "Aus dem Thread";
            box->done(QMessageBox::Ok);
        }
    });
    poll.start(20);
    HANDLE caller = CreateThread(nullptr, 0, BoxFromThread, &call, 0, nullptr);
    ASSERT_NE(caller, nullptr);
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(caller, 0) != WAIT_OBJECT_0 && GetTickCount() - start < 20000) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(1);
    }
    EXPECT_EQ(WaitForSingleObject(caller, 0), WAIT_OBJECT_0);
    CloseHandle(caller);
    EXPECT_TRUE(seen);
    EXPECT_EQ(call.answer.load(), IDOK);
}
