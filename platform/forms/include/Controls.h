#pragma once
// The base classes of the window controls: a control with its place in its parent, and a
// windowed control that holds other controls.

#include <memory>
#include <string>
#include <vector>

#include "Classes.h"

class TWinControl;
struct TControlWidget;  // the toolkit side of a control, private to the forms layer

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

class TControl : public TComponent {
public:
    explicit TControl(TComponent* AOwner);
    ~TControl() override;

    TWinControl* Parent() const { return FParent; }
    void SetParent(TWinControl* parent);

    // Pixels, relative to the parent's client area.
    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetLeft(int value) { SetBounds(value, FTop, FWidth, FHeight); }
    void SetTop(int value) { SetBounds(FLeft, value, FWidth, FHeight); }
    void SetWidth(int value) { SetBounds(FLeft, FTop, value, FHeight); }
    void SetHeight(int value) { SetBounds(FLeft, FTop, FWidth, value); }
    void SetBounds(int left, int top, int width, int height);

    // Published: Left, Top, Width, Height.
    void DefinePublished(TPublishedTable& table) override;

    TControlWidget& Widget() const { return *FWidget; }  // for the forms layer itself

protected:
    // Moves the toolkit widget to the stored bounds; a control that sizes itself may change
    // them first.
    virtual void ApplyBounds();
    // For controls that size themselves: stores the size without applying it again.
    void StoreSize(int width, int height);

private:
    friend class TWinControl;
    TWinControl* FParent = nullptr;
    int FLeft = 0;
    int FTop = 0;
    int FWidth = 0;
    int FHeight = 0;
    std::unique_ptr<TControlWidget> FWidget;
};

class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* AOwner);
    ~TWinControl() override;

    int ControlCount() const { return static_cast<int>(FControls.size()); }
    TControl* Controls(int index) const;  // EListError when out of range

    // The position in the keyboard focus order among the parent's windowed controls;
    // -1 keeps the order of creation.
    int TabOrder() const { return FTabOrder; }
    void SetTabOrder(int value) { FTabOrder = value; }

    // Published: those of TControl and TabOrder.
    void DefinePublished(TPublishedTable& table) override;

private:
    friend class TControl;
    std::vector<TControl*> FControls;
    int FTabOrder = -1;
};
