#pragma once
// The toolkit side of the forms layer, shared by its sources.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <string>

#include "Controls.h"

class TForm;

struct TControlWidget {
    QPointer<QWidget> Widget;
};

template <class W>
W* WidgetAs(const TControl* control) {
    return static_cast<W*>(control->Widget().Widget.data());
}

inline QString ToQt(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
inline std::string FromQt(const QString& text) { return text.toUtf8().toStdString(); }

// Starts the toolkit if the program has not yet called Application->Initialize.
void EnsureToolkit();
// Controls live on the main thread; anywhere else this raises EComponentError.
void CheckGuiThread(const char* what);
bool OnGuiThread();

// Runs a handler from the toolkit's event loop: an exception must not pass through the
// toolkit, so it goes to the standard error box.
void RunHandler(const std::function<void()>& handler);

// The form whose window handle this is, or null.
TForm* FormOfHandle(HWND window);
void RegisterFormHandle(HWND window, TForm* form);
void UnregisterFormHandle(HWND window);

// The main thread's message queue: dispatches what is waiting and runs Synchronize calls.
void ServiceMessageQueue();
