#include "Controls.h"

#include <algorithm>

#include "QtSide.h"
#include "StreamValues.h"
#include "SysUtils.h"

TControl::TControl(TComponent* AOwner) : TComponent(AOwner), FWidget(std::make_unique<TControlWidget>()) {
    CheckGuiThread("a control");
    EnsureToolkit();
}

TControl::~TControl() {
    if (FParent) {
        auto& siblings = FParent->FControls;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    // A widget whose parent went first was deleted with it; the pointer is then null.
    delete FWidget->Widget.data();
}

void TControl::SetParent(TWinControl* parent) {
    if (parent == FParent) return;
    if (FParent) {
        auto& siblings = FParent->FControls;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    FParent = parent;
    QWidget* widget = FWidget->Widget;
    if (!widget) return;
    if (parent) {
        parent->FControls.push_back(this);
        widget->setParent(parent->Widget().Widget);
        ApplyBounds();
        widget->show();
    } else if (widget->parentWidget()) {
        widget->hide();
        widget->setParent(nullptr);
    }
}

void TControl::SetBounds(int left, int top, int width, int height) {
    FLeft = left;
    FTop = top;
    FWidth = std::max(0, width);
    FHeight = std::max(0, height);
    ApplyBounds();
}

void TControl::StoreSize(int width, int height) {
    FWidth = width;
    FHeight = height;
}

void TControl::ApplyBounds() {
    if (QWidget* widget = FWidget->Widget) widget->setGeometry(FLeft, FTop, FWidth, FHeight);
}

void TControl::DefinePublished(TPublishedTable& table) {
    TComponent::DefinePublished(table);
    table.Property("Left", [this](const TStreamValue& v) { SetLeft(IntValue(v)); });
    table.Property("Top", [this](const TStreamValue& v) { SetTop(IntValue(v)); });
    table.Property("Width", [this](const TStreamValue& v) { SetWidth(IntValue(v)); });
    table.Property("Height", [this](const TStreamValue& v) { SetHeight(IntValue(v)); });
}

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::~TWinControl() {
    for (TControl* child : FControls) child->FParent = nullptr;
}

TControl* TWinControl::Controls(int index) const {
    if (index < 0 || index >= ControlCount()) throw EListError(Format("List index out of bounds (%d)", index));
    return FControls[static_cast<std::size_t>(index)];
}

void TWinControl::DefinePublished(TPublishedTable& table) {
    TControl::DefinePublished(table);
    table.Property("TabOrder", [this](const TStreamValue& v) { SetTabOrder(IntValue(v)); });
}
