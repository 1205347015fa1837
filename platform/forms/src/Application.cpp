#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "Desktop.h"
#include "FormResources.h"
#include "Forms.h"
#include "FormsTesting.h"
#include "QtSide.h"
#include "SysUtils.h"

TApplication* Application = new TApplication(nullptr);

struct TApplicationQt {
    bool Initialized = false;
    QEventLoop* Loop = nullptr;
    QSocketNotifier* QueueNotifier = nullptr;
    QSocketNotifier* SignalNotifier = nullptr;
};

namespace {

int SignalPipe[2] = {-1, -1};

// Only what is safe in a signal handler: the event loop reads the pipe and closes the form.
void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
    errno = saved;
}

void TerminationRequested() {
    char buffer[64];
    while (read(SignalPipe[0], buffer, sizeof buffer) > 0) {
    }
    // A box that is open would keep the program in its modal loop.
    CloseOpenMessageBoxes();
    if (TForm* form = Application->MainForm())
        form->Close();
    else
        Application->Terminate();
}

void WatchTerminationSignals(QObject* context) {
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action{};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { RunHandler(TerminationRequested); });
    Application->Qt().SignalNotifier = notifier;
}

}  // namespace

// ---- services shared by the forms layer -----------------------------------------------------
bool OnGuiThread() {
    if (QCoreApplication* app = QCoreApplication::instance()) return QThread::currentThread() == app->thread();
    return GetCurrentThreadId() == MainThreadID();
}

void CheckGuiThread(const char* what) {
    if (!OnGuiThread()) throw EComponentError(std::string("Only the main thread may create ") + what);
}

void EnsureToolkit() { Application->Initialize(); }

void RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        Application->HandleException(nullptr);
    }
}

void ServiceMessageQueue() {
    // A bounded batch, by count and by time: the toolkit's own events (input, painting, the
    // termination signal) get their turn between batches, also while handlers post work for
    // themselves or take long, and the wake descriptor stays readable for the rest.
    constexpr int kBatchMessages = 256;
    constexpr auto kBatchTime = std::chrono::milliseconds(10);
    const auto start = std::chrono::steady_clock::now();
    MSG msg;
    for (int i = 0; i < kBatchMessages && std::chrono::steady_clock::now() - start < kBatchTime &&
                    PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
         ++i) {
        if (msg.message == WM_QUIT) {
            Application->Terminate();
            continue;
        }
        TranslateMessage(&msg);
        RunHandler([&msg] { DispatchMessageA(&msg); });
    }
    RunHandler([] { CheckSynchronize(); });
}

// ---- TApplication ---------------------------------------------------------------------------
TApplication::TApplication(TComponent* AOwner) : TComponent(AOwner), FQt(std::make_unique<TApplicationQt>()) {}

TApplication::~TApplication() = default;

void TApplication::Initialize() {
    if (FQt->Initialized) return;
    if (GetCurrentThreadId() != MainThreadID() && !QCoreApplication::instance())
        throw EComponentError("The application must be initialised on the main thread");
    FQt->Initialized = true;
    if (!QCoreApplication::instance()) {
        static std::string programName = ParamStr0();
        static char* argv[] = {programName.data(), nullptr};
        static int argc = 1;
        new QApplication(argc, argv);  // lives as long as the process
    }
    QApplication::setQuitOnLastWindowClosed(false);
    InstallDesktopBackend();
    auto* queue = new QSocketNotifier(User32QueueWakeDescriptor(), QSocketNotifier::Read, qApp);
    QObject::connect(queue, &QSocketNotifier::activated, queue, [] { ServiceMessageQueue(); });
    FQt->QueueNotifier = queue;
    WatchTerminationSignals(qApp);
}

std::string TApplication::Title() const {
    if (!FTitle.empty()) return FTitle;
    const std::string name = ExtractFileName(ParamStr0());
    return name.empty() ? std::string("Klang") : name;
}

bool TApplication::InitializeForm(TForm* form) {
    try {
        Initialize();
        const char* text = FindFormResource(form->ClassName());
        if (!text) throw EReadError("No form resource is registered for " + form->ClassName());
        ReadComponentResource(form, text);
    } catch (...) {
        form->FDestroyed = true;  // it was never created, so it is not destroyed either
        delete form;
        HandleException(nullptr);
        return false;
    }
    try {
        form->DoCreate();
    } catch (...) {
        HandleException(form);
    }
    if (!FMainForm) FMainForm = form;
    return true;
}

void TApplication::Run() {
    Initialize();
    if (FMainForm && !FTerminated) {
        FMainForm->Show();
        ServiceMessageQueue();
        if (!FTerminated) {
            QEventLoop loop;
            FQt->Loop = &loop;
            loop.exec();
            FQt->Loop = nullptr;
        }
    }
    FreeForms();
}

void TApplication::FreeForms() {
    while (ComponentCount() > 0) {
        TComponent* component = Components(ComponentCount() - 1);
        if (auto* form = dynamic_cast<TForm*>(component))
            form->Free();
        else
            delete component;
    }
}

void TApplication::ProcessMessages() {
    Initialize();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    ServiceMessageQueue();
}

void TApplication::Terminate() {
    FTerminated = true;
    if (FQt->Loop) FQt->Loop->quit();
}

void TApplication::HandleException(TObject*) {
    const std::exception_ptr current = std::current_exception();
    if (!current) return;
    std::string text;
    try {
        std::rethrow_exception(current);
    } catch (const Exception& e) {
        text = e.Message();
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "Unknown exception";
    }
    const HWND owner = FMainForm ? FMainForm->Handle() : nullptr;
    MessageBoxA(owner, text.c_str(), Title().c_str(), MB_OK | MB_ICONERROR);
}

void ResetApplicationTerminated() { Application->FTerminated = false; }

void TApplication::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FMainForm) FMainForm = nullptr;
}
