#pragma once
// Helpers shared by the tests of the forms layer.

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include <functional>

#include "Forms.h"
#include "FormsTesting.h"
#include "QtSide.h"
#include "TestForms.h"

inline QWidget* WidgetOf(const TControl* control) { return control->Widget().Widget; }

class FormsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application->Initialize();
        ResetApplicationTerminated();
        TTestMain::CreateAction = nullptr;
        TTestMain::Created = 0;
        TTestMain::Destroyed = 0;
    }
    void TearDown() override {
        if (Form) Form->Free();
        TTestMain::CreateAction = nullptr;
    }
    TTestMain* CreateTestMain() {
        Application->CreateForm(&Form);
        return Form;
    }
    TTestMain* Form = nullptr;
};

// A window of user32 whose procedure the test chooses.
class TMessageSink {
public:
    using TProc = std::function<LRESULT(UINT, WPARAM, LPARAM)>;
    explicit TMessageSink(TProc proc);
    ~TMessageSink();
    HWND Handle() const { return FHandle; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND FHandle = nullptr;
    TProc FProc;
};
