// Shows the test form as a program would. With FORMS_DEMO_GRAB=path it writes a picture of
// the whole screen after a moment and closes; otherwise it runs until the window is closed.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdlib>

#include "Forms.h"
#include "TestForms.h"

TTestMain* Main = nullptr;

int main() {
    Application->Initialize();
    Application->SetTitle("Formtest");
    Application->CreateForm(&Main);
    if (const char* grab = std::getenv("FORMS_DEMO_GRAB")) {
        const QString path = QString::fromLocal8Bit(grab);
        QTimer::singleShot(1500, [path] {
            if (QScreen* screen = QGuiApplication::primaryScreen()) screen->grabWindow(0).save(path, "PNG");
            if (Main) Main->Close();
        });
    }
    Application->Run();
    return 0;
}
