#include "Desktop.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "Forms.h"
#include "FormsTesting.h"
#include "QtSide.h"

namespace {

std::mutex HandlesLock;
std::map<HWND, TForm*> FormHandles;

std::mutex RecorderLock;
TMessageBoxRecorder* ActiveRecorder = nullptr;

std::vector<QPointer<QMessageBox>> OpenBoxes;

QString BoxText(LPCSTR text) {
    QString result = QString::fromUtf8(text ? text : "");
    result.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

QMessageBox::Icon BoxIcon(UINT type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

// A window of the main thread that runs calls of other threads: SendMessageA makes the caller
// wait until the main thread has run it, and the main thread runs it wherever it serves its
// message queue (its event loop, a message box's modal loop, a loop of PeekMessageA).
const UINT WM_RUN_ON_MAIN_THREAD = WM_USER + 0x100;
HWND MainThreadWindow = nullptr;

LRESULT DesktopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_RUN_ON_MAIN_THREAD) return DefWindowProcA(window, message, wParam, lParam);
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
}

void CreateMainThreadWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DesktopWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TFormsDesktop";
    RegisterClassA(&windowClass);
    MainThreadWindow = CreateWindowExA(0, windowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                       windowClass.hInstance, nullptr);
}

template <class TResult, class TCall>
TResult OnGuiThreadAndWait(TCall call, TResult failed) {
    if (OnGuiThread()) return call();
    TResult result = failed;
    const std::function<void()> run = [&result, &call] { result = call(); };
    SendMessageA(MainThreadWindow, WM_RUN_ON_MAIN_THREAD, 0, reinterpret_cast<LPARAM>(&run));
    return result;
}

// Every box has OK only, so every way of closing it answers IDOK.
int ShowMessageBox(HWND owner, const QString& text, const QString& caption, UINT type) {
    QWidget* parent = nullptr;
    if (TForm* form = FormOfHandle(owner)) parent = form->Widget().Widget;
    QMessageBox box(BoxIcon(type), caption, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    OpenBoxes.emplace_back(&box);
    box.exec();
    OpenBoxes.erase(std::remove(OpenBoxes.begin(), OpenBoxes.end(), QPointer<QMessageBox>(&box)), OpenBoxes.end());
    return IDOK;
}

BOOL PlaceWindow(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    TForm* form = FormOfHandle(window);
    if (!form) {
        if (IsWindow(window)) return TRUE;  // a window that shows nothing
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!(flags & SWP_NOZORDER)) {
        QWidget* widget = form->Widget().Widget;
        if (insertAfter == HWND_TOPMOST)
            form->SetTopmost(true);
        else if (insertAfter == HWND_NOTOPMOST)
            form->SetTopmost(false);
        else if (insertAfter == HWND_TOP)
            widget->raise();
        else if (insertAfter == HWND_BOTTOM)
            widget->lower();
    }
    if (!(flags & SWP_NOMOVE)) {
        form->SetPosition(poDesigned);
        form->SetBounds(x, y, form->Width(), form->Height());
    }
    if (!(flags & SWP_NOSIZE)) form->SetBounds(form->Left(), form->Top(), cx, cy);
    if (flags & SWP_SHOWWINDOW) form->Show();
    return TRUE;
}

class TQtDesktop : public TDesktopBackend {
public:
    int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override {
        bool recorded = false;
        TMessageBoxRecord record{owner, caption ? caption : "", text ? text : "", type, GetCurrentThreadId()};
        std::function<void(const TMessageBoxRecord&)> whileOpen;
        {
            std::lock_guard<std::mutex> guard(RecorderLock);
            if (ActiveRecorder) {
                ActiveRecorder->Add(record);
                whileOpen = ActiveRecorder->WhileOpen;
                recorded = true;
            }
        }
        if (recorded) {
            // Outside the lock: what runs meanwhile may show boxes of its own.
            if (whileOpen) whileOpen(record);
            return IDOK;
        }
        const QString boxText = BoxText(text);
        const QString boxCaption = QString::fromUtf8(caption ? caption : "Fehler");
        return OnGuiThreadAndWait([&] { return ShowMessageBox(owner, boxText, boxCaption, type); }, 0);
    }

    BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) override {
        return OnGuiThreadAndWait([&] { return PlaceWindow(window, insertAfter, x, y, cx, cy, flags); }, BOOL(FALSE));
    }
};

}  // namespace

void InstallDesktopBackend() {
    static TQtDesktop desktop;
    CreateMainThreadWindow();
    User32SetDesktopBackend(&desktop);
}

void CloseOpenMessageBoxes() {
    for (const QPointer<QMessageBox>& box : std::vector<QPointer<QMessageBox>>(OpenBoxes))
        if (box) box->done(QMessageBox::Ok);
}

TForm* FormOfHandle(HWND window) {
    std::lock_guard<std::mutex> guard(HandlesLock);
    auto it = FormHandles.find(window);
    return it == FormHandles.end() ? nullptr : it->second;
}

void RegisterFormHandle(HWND window, TForm* form) {
    std::lock_guard<std::mutex> guard(HandlesLock);
    FormHandles[window] = form;
}

void UnregisterFormHandle(HWND window) {
    std::lock_guard<std::mutex> guard(HandlesLock);
    FormHandles.erase(window);
}

// ---- test hooks -----------------------------------------------------------------------------
TMessageBoxRecorder::TMessageBoxRecorder() {
    std::lock_guard<std::mutex> guard(RecorderLock);
    ActiveRecorder = this;
}

TMessageBoxRecorder::~TMessageBoxRecorder() {
    std::lock_guard<std::mutex> guard(RecorderLock);
    if (ActiveRecorder == this) ActiveRecorder = nullptr;
}

std::vector<TMessageBoxRecord> TMessageBoxRecorder::Records() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FRecords;
}

std::size_t TMessageBoxRecorder::Count() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FRecords.size();
}

void TMessageBoxRecorder::Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FRecords.clear();
}

void TMessageBoxRecorder::Add(TMessageBoxRecord record) {
    std::lock_guard<std::mutex> guard(FLock);
    FRecords.push_back(std::move(record));
}

bool SaveFormImage(TForm* form, const std::string& pngPath) {
    if (!form || !OnGuiThread()) return false;
    QWidget* widget = form->Widget().Widget;
    const QFileInfo file(ToQt(pngPath));
    if (!QDir().mkpath(file.absolutePath())) return false;
    return widget->grab().save(file.absoluteFilePath(), "PNG");
}
