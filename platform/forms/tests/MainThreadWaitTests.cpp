// A worker's message box and window call are carried out on the main thread while the main
// thread waits for that worker: every kind of wait serves them, and the wait ends.

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Classes.h"
#include "TestSupport.h"

namespace {

struct TBoxJob {
    HWND form = nullptr;
    std::atomic<bool> entered{false};
    std::atomic<int> answer{0};
    std::atomic<BOOL> placed{FALSE};
};
TBoxJob* CurrentJob = nullptr;  // the worker keeps no state of its own: ~TThread may be its wait

class TBoxThread : public TThread {
public:
    TBoxThread() : TThread(true) {}

protected:
    void Execute() override {
        CurrentJob->entered = true;
        CurrentJob->answer = MessageBoxA(CurrentJob->form, "Warten auf den Hauptthread", "Aus dem Thread",
                                         MB_OK | MB_ICONWARNING);
        CurrentJob->placed = SetWindowPos(CurrentJob->form, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        ReturnValue = 7;
    }
};

// Without the serving, the main thread would wait for good: that is reported, not hung on.
class TWatchdog {
public:
    explicit TWatchdog(std::string what) : FWhat(std::move(what)), FDone(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        FThread = CreateThread(nullptr, 0, &TWatchdog::Watch, this, 0, nullptr);
    }
    ~TWatchdog() {
        SetEvent(FDone);
        WaitForSingleObject(FThread, INFINITE);
        CloseHandle(FThread);
        CloseHandle(FDone);
    }

private:
    static DWORD Watch(LPVOID self) {
        auto* watchdog = static_cast<TWatchdog*>(self);
        if (WaitForSingleObject(watchdog->FDone, 60000) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "The main thread's %s never served the worker's message box\n", watchdog->FWhat.c_str());
            std::abort();
        }
        return 0;
    }
    std::string FWhat;
    HANDLE FDone;
    HANDLE FThread = nullptr;
};

using TMainThreadWait = std::function<bool(TBoxThread*&)>;  // frees the thread when it is the wait

const std::vector<std::pair<std::string, TMainThreadWait>>& Waits() {
    static const std::vector<std::pair<std::string, TMainThreadWait>> waits = {
        {"TThread::WaitFor", [](TBoxThread*& thread) { return thread->WaitFor() == 7; }},
        {"~TThread",
         [](TBoxThread*& thread) {
             delete thread;
             thread = nullptr;
             return true;
         }},
        {"WaitForSingleObject", [](TBoxThread*& thread) { return WaitForSingleObject(thread->Handle(), INFINITE) == WAIT_OBJECT_0; }},
        {"WaitForMultipleObjects",
         [](TBoxThread*& thread) {
             const HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
             const HANDLE objects[] = {never, thread->Handle()};
             const DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
             CloseHandle(never);
             return result == WAIT_OBJECT_0 + 1;
         }},
        {"Sleep loop",
         [](TBoxThread*& thread) {
             while (!thread->Finished())
                 Sleep(5);
             return true;
         }},
    };
    return waits;
}

}  // namespace

using MainThreadWaitTest = FormsTest;

TEST_F(MainThreadWaitTest, EveryWaitOfTheMainThreadServesAWorkersBoxAndWindowCall) {
    TTestMain* form = CreateTestMain();
    form->Show();
    for (const auto& [name, wait] : Waits()) {
        SCOPED_TRACE(name);
        form->SetTopmost(false);
        TBoxJob job;
        job.form = form->Handle();
        CurrentJob = &job;

        // The box runs its modal loop inside the main thread's wait; a timer of that loop
        // answers it.
        QString shownText;
        bool shownOnGuiThread = false;
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shownText = box->text();
                shownOnGuiThread = box->thread() == qApp->thread();
                box->done(QMessageBox::Ok);
            }
        });
        answerer.start(20);

        bool waited = false;
        {
            TWatchdog watchdog(name);
            auto* thread = new TBoxThread;
            thread->Resume();
            // A thread freed before it has entered Execute would run the base class's (C++
            // takes the derived class down first). A plain spin serves nothing.
            while (!job.entered)
                std::this_thread::yield();
            waited = wait(thread);
            delete thread;
        }
        answerer.stop();
        EXPECT_TRUE(waited);
        EXPECT_EQ(job.answer, IDOK);
        EXPECT_EQ(shownText, "Warten auf den Hauptthread");
        EXPECT_TRUE(shownOnGuiThread);
        EXPECT_TRUE(job.placed);
        EXPECT_TRUE(form->Topmost());
        CurrentJob = nullptr;
    }
}
