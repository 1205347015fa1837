#include "Forms.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>
#include <vector>

#include "QtSide.h"
#include "StreamValues.h"
#include "SysUtils.h"

namespace {

const char* const FormWindowClass = "TFormWindow";

// The window of user32 behind a form answers a close request as the form's close button.
LRESULT FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        if (TForm* form = FormOfHandle(window)) form->Close();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateFormWindow() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = FormWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = FormWindowClass;
        RegisterClassA(&windowClass);
    });
    return CreateWindowExA(0, FormWindowClass, "", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0,
                           0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

class TFormWindow : public QWidget {
public:
    explicit TFormWindow(TForm* form) : FForm(form) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        RunHandler([this] { FForm->CloseRequested(); });
        event->accept();
    }

private:
    TForm* FForm;
};

QWidget* FormWidget(const TForm* form) { return form->Widget().Widget; }

// The windows were laid out at 96 pixels per inch: a size in points is the pixels it had there,
// whatever this screen's resolution, since the controls' places are pixels too.
constexpr int DesignedPixelsPerInch = 96;
constexpr int DefaultFontPoints = 8;

int DesignedPixels(int points) { return static_cast<int>(std::lround(points * DesignedPixelsPerInch / 72.0)); }

// The designed face, "MS Sans Serif", is a bitmap face of the classic desktop: its lines are
// 13 pixels high, and "verbunden" fits a label 51 pixels wide. At the designed pixel height
// Liberation Sans Narrow keeps both; Liberation Sans runs a pixel over that label and the
// desktop's DejaVu Sans several, so they only stand in when it is missing.
QStringList FontFamilies(const std::string& name) {
    if (!name.empty() && name != "MS Sans Serif") return {ToQt(name)};
    return {QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
}

// The windowed controls of parent and of their children, in keyboard focus order.
void CollectTabOrder(TWinControl* parent, std::vector<QWidget*>& order) {
    std::vector<TWinControl*> children;
    for (int i = 0; i < parent->ControlCount(); ++i)
        if (auto* child = dynamic_cast<TWinControl*>(parent->Controls(i))) children.push_back(child);
    const auto rank = [](const TWinControl* c) { return c->TabOrder() < 0 ? INT_MAX : c->TabOrder(); };
    std::stable_sort(children.begin(), children.end(),
                     [&](const TWinControl* a, const TWinControl* b) { return rank(a) < rank(b); });
    for (TWinControl* child : children) {
        // Group boxes take no focus; the order joins the controls inside them directly.
        QWidget* widget = child->Widget().Widget;
        if (widget && (widget->focusPolicy() & Qt::TabFocus)) order.push_back(widget);
        CollectTabOrder(child, order);
    }
}

}  // namespace

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner) {
    Widget().Widget = new TFormWindow(this);
    FHandle = CreateFormWindow();
    if (!FHandle) throw EComponentError("The window of the form cannot be created");
    RegisterFormHandle(FHandle, this);
    ApplyWindowFlags();
    SetBounds(0, 0, 320, 240);
}

TForm::~TForm() {
    if (Application->FMainForm == this) Application->FMainForm = nullptr;
    UnregisterFormHandle(FHandle);
    DestroyWindow(FHandle);
}

void TForm::Free() {
    try {
        DoDestroy();
    } catch (...) {
        Application->HandleException(this);
    }
    delete this;
}

std::string TForm::Caption() const { return FromQt(FormWidget(this)->windowTitle()); }
void TForm::SetCaption(const std::string& value) { FormWidget(this)->setWindowTitle(ToQt(value)); }

void TForm::SetBorderStyle(TFormBorderStyle value) {
    FBorderStyle = value;
    ApplyWindowFlags();
    ApplyBounds();
}

void TForm::SetBorderIcons(TBorderIcons value) {
    FBorderIcons = value;
    ApplyWindowFlags();
}

void TForm::SetTopmost(bool value) {
    if (FTopmost == value) return;
    FTopmost = value;
    ApplyWindowFlags();
}

void TForm::ApplyWindowFlags() {
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (FBorderIcons & biSystemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (FBorderIcons & biMinimize) flags |= Qt::WindowMinimizeButtonHint;
    if ((FBorderIcons & biMaximize) && FBorderStyle == bsSizeable) flags |= Qt::WindowMaximizeButtonHint;
    if (FTopmost) flags |= Qt::WindowStaysOnTopHint;
    QWidget* widget = FormWidget(this);
    if (widget->windowFlags() == flags) return;
    // New flags hide the window; it comes back where it was.
    const bool visible = widget->isVisible();
    const QPoint position = widget->pos();
    widget->setWindowFlags(flags);
    if (visible) {
        widget->move(position);
        widget->show();
    }
}

void TForm::ApplyBounds() {
    QWidget* widget = FormWidget(this);
    if (FBorderStyle == bsSingle) {
        widget->setFixedSize(Width(), Height());
    } else {
        widget->setMinimumSize(0, 0);
        widget->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        widget->resize(Width(), Height());
    }
    if (FPosition == poDesigned) widget->move(Left(), Top());
}

void TForm::SetFontName(const std::string& value) {
    FFontName = value;
    ApplyFont();
}

void TForm::SetFontHeight(int value) {
    FFontPixels = std::abs(value);
    FFontPoints = 0;
    ApplyFont();
}

void TForm::SetFontSize(int points) {
    FFontPoints = std::abs(points);
    FFontPixels = 0;
    ApplyFont();
}

void TForm::ApplyFont() {
    QFont font;
    font.setFamilies(FontFamilies(FFontName));
    font.setStyleHint(QFont::SansSerif);
    // Widths without horizontal hinting: captions measure the same offscreen and on every X
    // desktop, whatever hinting its settings ask for.
    font.setHintingPreference(QFont::PreferVerticalHinting);
    font.setPixelSize(FFontPixels > 0 ? FFontPixels : DesignedPixels(FFontPoints > 0 ? FFontPoints : DefaultFontPoints));
    FormWidget(this)->setFont(font);
}

void TForm::PlaceOnScreen() {
    FPlaced = true;
    if (FPosition != poScreenCenter) return;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    QWidget* widget = FormWidget(this);
    widget->move(area.x() + (area.width() - Width()) / 2, area.y() + (area.height() - Height()) / 2);
}

void TForm::Show() {
    if (!FPlaced) PlaceOnScreen();
    QWidget* widget = FormWidget(this);
    widget->show();
    widget->raise();
    widget->activateWindow();
}

void TForm::Hide() { FormWidget(this)->hide(); }
bool TForm::Visible() const { return FormWidget(this)->isVisible(); }

void TForm::Close() { CloseRequested(); }

void TForm::CloseRequested() {
    Hide();
    if (Application->MainForm() == this) Application->Terminate();
}

void TForm::ApplyTabOrder() {
    std::vector<QWidget*> order;
    CollectTabOrder(this, order);
    for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm::Loaded() {
    TWinControl::Loaded();
    ApplyTabOrder();
}

void TForm::DoCreate() {
    if (OnCreate) OnCreate(this);
}

void TForm::DoDestroy() {
    if (FDestroyed) return;
    FDestroyed = true;
    if (OnDestroy) OnDestroy(this);
}

void TForm::DefinePublished(TPublishedTable& table) {
    TComponent::DefinePublished(table);
    table.Property("Left", [this](const TStreamValue& v) { SetLeft(IntValue(v)); });
    table.Property("Top", [this](const TStreamValue& v) { SetTop(IntValue(v)); });
    table.Property("Caption", [this](const TStreamValue& v) { SetCaption(StringValue(v)); });
    table.Property("ClientWidth", [this](const TStreamValue& v) { SetClientWidth(IntValue(v)); });
    table.Property("ClientHeight", [this](const TStreamValue& v) { SetClientHeight(IntValue(v)); });
    table.Property("BorderStyle", [this](const TStreamValue& v) {
        SetBorderStyle(static_cast<TFormBorderStyle>(EnumValue(v, {{"bsSizeable", bsSizeable}, {"bsSingle", bsSingle}})));
    });
    table.Property("BorderIcons", [this](const TStreamValue& v) {
        SetBorderIcons(SetValue(v, {{"biSystemMenu", biSystemMenu}, {"biMinimize", biMinimize}, {"biMaximize", biMaximize}}));
    });
    table.Property("Position", [this](const TStreamValue& v) {
        SetPosition(static_cast<TPosition>(EnumValue(v, {{"poDesigned", poDesigned}, {"poScreenCenter", poScreenCenter}})));
    });
    table.Property("Font.Name", [this](const TStreamValue& v) { SetFontName(StringValue(v)); });
    table.Property("Font.Height", [this](const TStreamValue& v) { SetFontHeight(IntValue(v)); });
    table.Property("Font.Size", [this](const TStreamValue& v) { SetFontSize(IntValue(v)); });
    table.Event("OnCreate", OnCreate);
    table.Event("OnDestroy", OnDestroy);
}
