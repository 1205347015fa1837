#include "StdCtrls.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionGroupBox>
#include <qdrawutil.h>

#include <mutex>

#include "FormResources.h"
#include "QtSide.h"
#include "StreamValues.h"
#include "SysUtils.h"

namespace {

// A label that tells its control when the font it inherits changes, so an auto-sized label
// follows the form's font.
class TLabelWidget : public QLabel {
public:
    explicit TLabelWidget(std::function<void()> fontChanged) : FFontChanged(std::move(fontChanged)) {}

protected:
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange && FFontChanged) FFontChanged();
    }

private:
    std::function<void()> FFontChanged;
};

Qt::Alignment ToQtAlignment(TAlignment alignment) {
    switch (alignment) {
    case taRightJustify: return Qt::AlignRight | Qt::AlignTop;
    case taCenter: return Qt::AlignHCenter | Qt::AlignTop;
    case taLeftJustify: break;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

std::string ButtonCaption(const TControl* control) { return FromQt(WidgetAs<QAbstractButton>(control)->text()); }
void SetButtonCaption(const TControl* control, const std::string& value) {
    WidgetAs<QAbstractButton>(control)->setText(ToQt(value));
}

// The sizes a control has until its resource or code gives it one.
void SetDefaultSize(TControl* control, int width, int height) { control->SetBounds(0, 0, width, height); }

// The combo box's list: kept here for reading, mirrored into the widget.
class TComboBoxItems : public TStrings {
public:
    explicit TComboBoxItems(TComboBox& owner) : FOwner(owner) {}
    int Add(const std::string& s) override {
        QComboBox* box = WidgetAs<QComboBox>(&FOwner);
        const QString text = box->currentText();
        box->addItem(ToQt(s));
        box->setEditText(text);
        return FItems.Add(s);
    }
    int Count() const override { return FItems.Count(); }
    const std::string& Get(int index) const override { return FItems.Get(index); }
    void Clear() override {
        QComboBox* box = WidgetAs<QComboBox>(&FOwner);
        const QString text = box->currentText();
        box->clear();
        box->setEditText(text);
        FItems.Clear();
    }

private:
    TComboBox& FOwner;
    TStringList FItems;
};

// The classic desktop's group box: an etched frame whose top line runs through the middle of
// the title, so that controls placed 16 pixels down from the top sit inside the frame as the
// windows were laid out. A style rather than a style sheet: a widget with a style sheet stops
// following its parent's font, and the box and its controls would miss the form's font.
class TGroupBoxStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || !box) return QProxyStyle::subControlRect(control, option, part, widget);
        const int titleHeight = option->fontMetrics.height();
        switch (part) {
        case SC_GroupBoxLabel: {
            if (box->text.isEmpty()) return {};
            const int textWidth = option->fontMetrics.size(Qt::TextShowMnemonic, box->text).width();
            const QRect label(TitleIndent, 0, textWidth + 2 * TitlePadding, titleHeight);
            return visualRect(option->direction, option->rect, label);
        }
        case SC_GroupBoxFrame: return option->rect.adjusted(0, titleHeight / 2, 0, 0);
        case SC_GroupBoxContents: return option->rect.adjusted(2, titleHeight, -2, -2);
        default: return {};
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || !box) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const QRect frame = subControlRect(CC_GroupBox, option, SC_GroupBoxFrame, widget);
        qDrawShadeRect(painter, frame, option->palette, true, 1, 0);
        const QRect label = subControlRect(CC_GroupBox, option, SC_GroupBoxLabel, widget);
        if (label.isEmpty()) return;
        painter->fillRect(label, option->palette.window());
        drawItemText(painter, label, Qt::AlignCenter | Qt::TextShowMnemonic, option->palette,
                     option->state & State_Enabled, box->text, QPalette::WindowText);
    }

private:
    static constexpr int TitleIndent = 7;
    static constexpr int TitlePadding = 1;
};

// A box does not own its style; this one lives as long as the process, as the toolkit does.
QStyle* GroupBoxStyle() {
    static auto* style = new TGroupBoxStyle;
    return style;
}

}  // namespace

// ---- TLabel ---------------------------------------------------------------------------------
TLabel::TLabel(TComponent* AOwner) : TControl(AOwner) {
    auto* label = new TLabelWidget([this] { ApplyBounds(); });
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(ToQtAlignment(FAlignment));
    Widget().Widget = label;
    SetDefaultSize(this, 65, 17);
}

std::string TLabel::Caption() const { return FromQt(WidgetAs<QLabel>(this)->text()); }

void TLabel::SetCaption(const std::string& value) {
    WidgetAs<QLabel>(this)->setText(ToQt(value));
    ApplyBounds();
}

void TLabel::SetAlignment(TAlignment value) {
    FAlignment = value;
    WidgetAs<QLabel>(this)->setAlignment(ToQtAlignment(value));
}

void TLabel::SetAutoSize(bool value) {
    FAutoSize = value;
    ApplyBounds();
}

// While the resource is read, AutoSize may still come after the width it would override.
void TLabel::ApplyBounds() {
    if (FAutoSize && !(ComponentState() & csLoading)) {
        const QSize size = WidgetAs<QLabel>(this)->sizeHint();
        StoreSize(size.width(), size.height());
    }
    TControl::ApplyBounds();
}

void TLabel::Loaded() {
    TControl::Loaded();
    ApplyBounds();
}

void TLabel::DefinePublished(TPublishedTable& table) {
    TControl::DefinePublished(table);
    table.Property("Caption", [this](const TStreamValue& v) { SetCaption(StringValue(v)); });
    table.Property("Alignment", [this](const TStreamValue& v) {
        SetAlignment(static_cast<TAlignment>(EnumValue(
            v, {{"taLeftJustify", taLeftJustify}, {"taRightJustify", taRightJustify}, {"taCenter", taCenter}})));
    });
    table.Property("AutoSize", [this](const TStreamValue& v) { SetAutoSize(BoolValue(v)); });
}

// ---- TEdit ----------------------------------------------------------------------------------
TEdit::TEdit(TComponent* AOwner) : TWinControl(AOwner) {
    Widget().Widget = new QLineEdit;
    SetDefaultSize(this, 121, 21);
}

std::string TEdit::Text() const { return FromQt(WidgetAs<QLineEdit>(this)->text()); }
void TEdit::SetText(const std::string& value) { WidgetAs<QLineEdit>(this)->setText(ToQt(value)); }

void TEdit::DefinePublished(TPublishedTable& table) {
    TWinControl::DefinePublished(table);
    table.Property("Text", [this](const TStreamValue& v) { SetText(StringValue(v)); });
}

// ---- TComboBox ------------------------------------------------------------------------------
TComboBox::TComboBox(TComponent* AOwner) : TWinControl(AOwner) {
    auto* box = new QComboBox;
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    Widget().Widget = box;
    FItems = std::make_unique<TComboBoxItems>(*this);
    SetDefaultSize(this, 145, 21);
}

TComboBox::~TComboBox() = default;

std::string TComboBox::Text() const { return FromQt(WidgetAs<QComboBox>(this)->currentText()); }
void TComboBox::SetText(const std::string& value) { WidgetAs<QComboBox>(this)->setEditText(ToQt(value)); }

void TComboBox::DefinePublished(TPublishedTable& table) {
    TWinControl::DefinePublished(table);
    table.Property("Text", [this](const TStreamValue& v) { SetText(StringValue(v)); });
    table.Property("Items.Strings", [this](const TStreamValue& v) {
        if (v.Kind != TStreamValue::TKind::StringList) throw EReadError("a string list ('...' '...') is expected");
        FItems->Clear();
        for (const std::string& item : v.Items) FItems->Add(item);
    });
}

// ---- TButton --------------------------------------------------------------------------------
TButton::TButton(TComponent* AOwner) : TWinControl(AOwner) {
    auto* button = new QPushButton;
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, button, [this] { RunHandler([this] { Click(); }); });
    Widget().Widget = button;
    SetDefaultSize(this, 75, 25);
}

std::string TButton::Caption() const { return ButtonCaption(this); }
void TButton::SetCaption(const std::string& value) { SetButtonCaption(this, value); }

void TButton::Click() {
    if (OnClick) OnClick(this);
}

void TButton::DefinePublished(TPublishedTable& table) {
    TWinControl::DefinePublished(table);
    table.Property("Caption", [this](const TStreamValue& v) { SetCaption(StringValue(v)); });
    table.Event("OnClick", OnClick);
}

// ---- check box and radio button -------------------------------------------------------------
TButtonControl::TButtonControl(TComponent* AOwner) : TWinControl(AOwner) {}

std::string TButtonControl::Caption() const { return ButtonCaption(this); }
void TButtonControl::SetCaption(const std::string& value) { SetButtonCaption(this, value); }

void TButtonControl::StoreChecked(bool value) {
    FChecked.store(value);
    WidgetAs<QAbstractButton>(this)->setChecked(value);
}

void TButtonControl::SetChecked(bool value) {
    if (FChecked.load() == value) {
        StoreChecked(value);  // the widget may have toggled on its own
        return;
    }
    StoreChecked(value);
    if (CheckedChanged() && !(ComponentState() & csLoading)) Click();
}

void TButtonControl::Click() {
    if (OnClick) OnClick(this);
}

void TButtonControl::DefinePublished(TPublishedTable& table) {
    TWinControl::DefinePublished(table);
    table.Property("Caption", [this](const TStreamValue& v) { SetCaption(StringValue(v)); });
    table.Property("Checked", [this](const TStreamValue& v) { SetChecked(BoolValue(v)); });
    table.Event("OnClick", OnClick);
}

TCheckBox::TCheckBox(TComponent* AOwner) : TButtonControl(AOwner) {
    auto* box = new QCheckBox;
    QObject::connect(box, &QCheckBox::clicked, box, [this] { RunHandler([this] { Clicked(); }); });
    Widget().Widget = box;
    SetDefaultSize(this, 97, 17);
}

void TCheckBox::Clicked() { SetChecked(WidgetAs<QCheckBox>(this)->isChecked()); }

TRadioButton::TRadioButton(TComponent* AOwner) : TButtonControl(AOwner) {
    auto* button = new QRadioButton;
    // The exclusion is ours, so that it holds for changes in code too and unchecks without
    // a click.
    button->setAutoExclusive(false);
    QObject::connect(button, &QRadioButton::clicked, button, [this] { RunHandler([this] { Clicked(); }); });
    Widget().Widget = button;
    SetDefaultSize(this, 113, 17);
}

// A click on a checked radio button leaves it checked.
void TRadioButton::Clicked() { SetChecked(true); }

bool TRadioButton::CheckedChanged() {
    if (!Checked()) return false;  // unchecking a radio button is no click
    if (!Parent()) return true;
    for (int i = 0; i < Parent()->ControlCount(); ++i) {
        auto* sibling = dynamic_cast<TRadioButton*>(Parent()->Controls(i));
        if (sibling && sibling != this) sibling->StoreChecked(false);
    }
    return true;
}

// ---- TGroupBox ------------------------------------------------------------------------------
TGroupBox::TGroupBox(TComponent* AOwner) : TWinControl(AOwner) {
    auto* box = new QGroupBox;
    box->setStyle(GroupBoxStyle());
    Widget().Widget = box;
    SetDefaultSize(this, 185, 105);
}

std::string TGroupBox::Caption() const { return FromQt(WidgetAs<QGroupBox>(this)->title()); }
void TGroupBox::SetCaption(const std::string& value) { WidgetAs<QGroupBox>(this)->setTitle(ToQt(value)); }

void TGroupBox::DefinePublished(TPublishedTable& table) {
    TWinControl::DefinePublished(table);
    table.Property("Caption", [this](const TStreamValue& v) { SetCaption(StringValue(v)); });
}

// ---- registration ---------------------------------------------------------------------------
namespace {
template <class T>
void RegisterControl(const char* name) {
    RegisterComponentClass(name, [](TComponent* owner) -> TComponent* { return new T(owner); });
}
}  // namespace

void RegisterStandardControls() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControl<TLabel>("TLabel");
        RegisterControl<TEdit>("TEdit");
        RegisterControl<TComboBox>("TComboBox");
        RegisterControl<TButton>("TButton");
        RegisterControl<TCheckBox>("TCheckBox");
        RegisterControl<TRadioButton>("TRadioButton");
        RegisterControl<TGroupBox>("TGroupBox");
    });
}
