#pragma once
// The standard controls of the windows: label, edit box, combo box, button, check box, radio
// button and group box. Create, change and free them on the main thread only; Checked is the
// one value that other threads may read.

#include <atomic>
#include <memory>
#include <string>

#include "Classes.h"
#include "Controls.h"

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* AOwner);

    std::string Caption() const;
    void SetCaption(const std::string& value);
    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment value);
    // True: the label takes the size of its text. False: it keeps its width and height and
    // places the text in it by Alignment.
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool value);

    // Published: Caption, Alignment (taLeftJustify, taRightJustify, taCenter), AutoSize.
    void DefinePublished(TPublishedTable& table) override;
    void Loaded() override;

protected:
    void ApplyBounds() override;

private:
    TAlignment FAlignment = taLeftJustify;
    bool FAutoSize = true;
};

class TEdit : public TWinControl {
public:
    explicit TEdit(TComponent* AOwner);

    std::string Text() const;
    void SetText(const std::string& value);

    // Published: Text.
    void DefinePublished(TPublishedTable& table) override;
};

// An editable combo box: the text can be typed or picked from Items.
class TComboBox : public TWinControl {
public:
    explicit TComboBox(TComponent* AOwner);
    ~TComboBox() override;

    std::string Text() const;
    void SetText(const std::string& value);
    // Adding items leaves Text as it is.
    TStrings& Items() { return *FItems; }

    // Published: Text, Items.Strings (a string list).
    void DefinePublished(TPublishedTable& table) override;

private:
    std::unique_ptr<TStrings> FItems;
};

// Captions may carry an accelerator: "&Verbinden" underlines the V, "&&" is one ampersand.
class TButton : public TWinControl {
public:
    explicit TButton(TComponent* AOwner);

    std::string Caption() const;
    void SetCaption(const std::string& value);
    // Runs OnClick as a click with the mouse does; exceptions reach the caller.
    void Click();

    TNotifyEvent OnClick;

    // Published: Caption, OnClick.
    void DefinePublished(TPublishedTable& table) override;
};

// The common part of check box and radio button.
class TButtonControl : public TWinControl {
public:
    explicit TButtonControl(TComponent* AOwner);

    std::string Caption() const;
    void SetCaption(const std::string& value);
    // Safe to read from any thread.
    bool Checked() const { return FChecked.load(); }
    // A change of state runs OnClick as a click does (a radio button only when it becomes
    // checked), except while the form is read from its resource.
    void SetChecked(bool value);
    void Click();

    TNotifyEvent OnClick;

    // Published: Caption, Checked, OnClick.
    void DefinePublished(TPublishedTable& table) override;

protected:
    // The state as the user's click left it in the widget.
    virtual void Clicked() = 0;
    // Sets the state without a click (used for the siblings of a radio button).
    void StoreChecked(bool value);
    // After a change of state; true when OnClick follows.
    virtual bool CheckedChanged() { return true; }

private:
    std::atomic<bool> FChecked{false};
};

class TCheckBox : public TButtonControl {
public:
    explicit TCheckBox(TComponent* AOwner);

protected:
    void Clicked() override;
};

// Checking one radio button unchecks the other radio buttons of the same parent.
class TRadioButton : public TButtonControl {
public:
    explicit TRadioButton(TComponent* AOwner);

protected:
    void Clicked() override;
    bool CheckedChanged() override;
};

class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TComponent* AOwner);

    std::string Caption() const;
    void SetCaption(const std::string& value);

    // Published: Caption.
    void DefinePublished(TPublishedTable& table) override;
};

// Registers the classes above with the component registry (done by the resource reader).
void RegisterStandardControls();
