#pragma once
// The application object and the forms: a program's windows, created from their form
// resources, and the event loop that also serves the main thread's message queue.

#include <exception>
#include <memory>
#include <string>
#include <type_traits>

#include "Classes.h"
#include "Controls.h"
#include "user32.h"

enum TFormBorderStyle { bsSizeable, bsSingle };

// Bits of TBorderIcons.
enum TBorderIcon : unsigned { biSystemMenu = 1u << 0, biMinimize = 1u << 1, biMaximize = 1u << 2 };
using TBorderIcons = unsigned;

enum TPosition { poDesigned, poScreenCenter };

class TApplication;

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;

    // Runs OnDestroy, then frees the form. A plain delete skips OnDestroy, because the
    // derived form (whose handler it is) is already gone by the time ~TForm runs.
    void Free();

    // A window of user32 that stands for the form: MessageBoxA and SetWindowPos accept it.
    HWND Handle() const { return FHandle; }

    std::string Caption() const;
    void SetCaption(const std::string& value);
    int ClientWidth() const { return Width(); }
    int ClientHeight() const { return Height(); }
    void SetClientWidth(int value) { SetWidth(value); }
    void SetClientHeight(int value) { SetHeight(value); }
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TFormBorderStyle value);
    TBorderIcons BorderIcons() const { return FBorderIcons; }
    void SetBorderIcons(TBorderIcons value);
    TPosition Position() const { return FPosition; }
    void SetPosition(TPosition value) { FPosition = value; }

    // "MS Sans Serif" (or no name) stands for a face of about its metrics, chosen by name so
    // that every desktop draws the same widths. A height below 0 is the character height in
    // pixels; a size is in points at the designed 96 per inch. Unset, the size is 8 points.
    const std::string& FontName() const { return FFontName; }
    void SetFontName(const std::string& value);
    void SetFontHeight(int value);
    void SetFontSize(int points);

    void Show();
    void Hide();
    // As the window's close button does: the main form ends Run, any other form hides.
    void Close();
    bool Visible() const;
    // Always in front of other windows, as SetWindowPos with HWND_TOPMOST sets it.
    bool Topmost() const { return FTopmost; }
    void SetTopmost(bool value);

    TNotifyEvent OnCreate;
    TNotifyEvent OnDestroy;

    // Published: Left, Top, Caption, ClientWidth, ClientHeight, BorderStyle (bsSingle,
    // bsSizeable), BorderIcons (set of biSystemMenu, biMinimize, biMaximize), Position
    // (poDesigned, poScreenCenter), Font.Name, Font.Height, Font.Size, OnCreate, OnDestroy.
    void DefinePublished(TPublishedTable& table) override;
    void Loaded() override;

    // Called by the window when the user asks it to close.
    void CloseRequested();

protected:
    void ApplyBounds() override;

private:
    friend class TApplication;
    void ApplyWindowFlags();
    void ApplyFont();
    void PlaceOnScreen();
    void ApplyTabOrder();
    void DoCreate();
    void DoDestroy();

    HWND FHandle = nullptr;
    TFormBorderStyle FBorderStyle = bsSizeable;
    TBorderIcons FBorderIcons = biSystemMenu | biMinimize | biMaximize;
    TPosition FPosition = poDesigned;
    std::string FFontName;
    int FFontPixels = 0;
    int FFontPoints = 0;
    bool FTopmost = false;
    bool FPlaced = false;
    bool FDestroyed = false;
};

struct TApplicationQt;  // the toolkit side, private to the forms layer

class TApplication : public TComponent {
public:
    explicit TApplication(TComponent* AOwner);
    ~TApplication() override;

    // Starts the toolkit, installs the desktop behind MessageBoxA and SetWindowPos, watches
    // the main thread's message queue and SIGINT / SIGTERM. Call it on the main thread;
    // calling it again does nothing.
    void Initialize();

    // The caption of the standard error box; the executable's name until set.
    std::string Title() const;
    void SetTitle(const std::string& value) { FTitle = value; }

    // Creates a form owned by the application, assigns *reference before the resource is
    // read (so OnCreate can use it), reads the form's resource and runs OnCreate; the first
    // form becomes the main form. An error in the resource is shown in the standard error
    // box and leaves *reference null; an exception from OnCreate is shown the same way and
    // the form stays.
    template <class T>
    void CreateForm(T** reference) {
        static_assert(std::is_base_of_v<TForm, T>, "CreateForm creates forms");
        T* form = new T(this);
        *reference = form;
        if (!InitializeForm(form)) *reference = nullptr;
    }

    TForm* MainForm() const { return FMainForm; }

    // Shows the main form and handles events until it closes or Terminate is called, then
    // frees the application's forms (their OnDestroy runs). Returns at once without a main
    // form.
    void Run();
    // Handles the events that are waiting, then returns.
    void ProcessMessages();
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // Call inside a catch block: shows the exception's message in the standard error box
    // (the title as caption, error icon, OK) and returns.
    void HandleException(TObject* Sender);

    void Notification(TComponent* AComponent, TOperation Operation) override;

    TApplicationQt& Qt() const { return *FQt; }  // for the forms layer itself

private:
    friend class TForm;
    friend void ResetApplicationTerminated();
    bool InitializeForm(TForm* form);
    void FreeForms();

    std::string FTitle;
    TForm* FMainForm = nullptr;
    bool FTerminated = false;
    std::unique_ptr<TApplicationQt> FQt;
};

// The program's application object; it lives as long as the process.
extern TApplication* Application;
