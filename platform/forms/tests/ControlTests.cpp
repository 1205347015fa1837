// The controls and the form as the user meets them: clicks, radio groups, check boxes,
// labels, the window's frame, font and place, the focus order, and a picture of the form.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>

#include <atomic>

#include "FormsTesting.h"
#include "SysUtils.h"
#include "TestSupport.h"

namespace {

void ClickWithMouse(TControl* control) {
    QWidget* widget = WidgetOf(control);
    // Near the left edge: check boxes and radio buttons take clicks on their mark and text only.
    const QPointF centre(8.0, widget->height() / 2.0);
    const QPointF global = widget->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

void Click(TControl* control) { static_cast<QAbstractButton*>(WidgetOf(control))->click(); }

using ControlTest = FormsTest;

}  // namespace

TEST_F(ControlTest, AMouseClickOnAButtonRunsItsHandler) {
    TTestMain* form = CreateTestMain();
    form->Show();
    ClickWithMouse(form->btnConnect);
    EXPECT_EQ(form->ConnectClicks, 1);
    ClickWithMouse(form->btnConnect);
    EXPECT_EQ(form->ConnectClicks, 2);
    EXPECT_EQ(form->InfoClicks, 0);
    // The caption keeps its accelerator; the widget shows it underlined.
    EXPECT_EQ(static_cast<QAbstractButton*>(WidgetOf(form->btnConnect))->text(), "&Verbinden");
    form->btnConnect->SetCaption("&Trennen");
    EXPECT_EQ(form->btnConnect->Caption(), "&Trennen");
}

TEST_F(ControlTest, RadioButtonsExcludeEachOtherWithinTheirParentOnly) {
    TTestMain* form = CreateTestMain();
    form->Show();
    ClickWithMouse(form->rbKeine);
    EXPECT_TRUE(form->rbKeine->Checked());
    EXPECT_FALSE(form->rbDrehfalt->Checked());
    EXPECT_FALSE(form->rbSchwenk->Checked());
    EXPECT_TRUE(form->rbDraussen->Checked());  // another parent
    ASSERT_EQ(form->DoorClicks.size(), 1u);
    EXPECT_EQ(form->DoorClicks[0], form->rbKeine);

    // A click on the checked one leaves it checked and is no change.
    ClickWithMouse(form->rbKeine);
    EXPECT_TRUE(form->rbKeine->Checked());
    EXPECT_TRUE(static_cast<QAbstractButton*>(WidgetOf(form->rbKeine))->isChecked());
    EXPECT_EQ(form->DoorClicks.size(), 1u);

    Click(form->rbSchwenk);
    EXPECT_TRUE(form->rbSchwenk->Checked());
    EXPECT_FALSE(form->rbKeine->Checked());
    EXPECT_FALSE(static_cast<QAbstractButton*>(WidgetOf(form->rbKeine))->isChecked());
    ASSERT_EQ(form->DoorClicks.size(), 2u);
    EXPECT_EQ(form->DoorClicks[1], form->rbSchwenk);

    // Unchecking in code clicks nothing and checks nothing else.
    form->rbSchwenk->SetChecked(false);
    EXPECT_EQ(form->DoorClicks.size(), 2u);
    EXPECT_FALSE(form->rbKeine->Checked() || form->rbDrehfalt->Checked() || form->rbSchwenk->Checked());
}

TEST_F(ControlTest, ACheckBoxClickTogglesAndAnotherThreadSeesTheState) {
    TTestMain* form = CreateTestMain();
    form->Show();
    Click(form->cbSound);
    EXPECT_FALSE(form->cbSound->Checked());
    EXPECT_EQ(form->SoundClicks, 1);

    struct TWatch {
        TCheckBox* box;
        std::atomic<bool> sawChecked{false};
    } watch{form->cbSound};
    HANDLE reader = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        auto* w = static_cast<TWatch*>(p);
        const DWORD start = GetTickCount();
        while (!w->box->Checked() && GetTickCount() - start < 10000) Sleep(1);
        w->sawChecked = w->box->Checked();
        return 0;
    }, &watch, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    Sleep(20);
    Click(form->cbSound);
    EXPECT_EQ(WaitForSingleObject(reader, 15000), WAIT_OBJECT_0);
    CloseHandle(reader);
    EXPECT_TRUE(watch.sawChecked);
    EXPECT_EQ(form->SoundClicks, 2);
}

TEST_F(ControlTest, LabelsSizeToTheirTextUnlessTheWidthIsFixed) {
    TTestMain* form = CreateTestMain();
    auto* server = static_cast<QLabel*>(WidgetOf(form->laServer));
    EXPECT_EQ(form->laServer->Width(), server->sizeHint().width());
    EXPECT_GT(form->laServer->Width(), 0);
    EXPECT_EQ(WidgetOf(form->laServer)->pos(), QPoint(8, 20));
    const int before = form->laServer->Width();
    form->laServer->SetCaption("Server des Simulators:");
    EXPECT_GT(form->laServer->Width(), before);

    auto* state = static_cast<QLabel*>(WidgetOf(form->laState));
    EXPECT_EQ(state->geometry(), QRect(160, 48, 89, 13));
    EXPECT_TRUE(state->alignment() & Qt::AlignHCenter);
    form->laState->SetCaption("verbunden");
    EXPECT_EQ(state->width(), 89);
    EXPECT_EQ(form->laState->Caption(), "verbunden");
}

TEST_F(ControlTest, TheComboBoxIsEditableAndKeepsItsTextWhenItemsChange) {
    TTestMain* form = CreateTestMain();
    auto* box = static_cast<QComboBox*>(WidgetOf(form->cbPort));
    EXPECT_TRUE(box->isEditable());
    EXPECT_EQ(box->count(), 2);
    EXPECT_EQ(form->cbPort->Text(), "1435");
    form->cbPort->SetText("2000");
    form->cbPort->Items().Add("1437");
    EXPECT_EQ(form->cbPort->Text(), "2000");
    EXPECT_EQ(box->count(), 3);
    box->setCurrentIndex(1);
    EXPECT_EQ(form->cbPort->Text(), "1436");
    form->edServer->SetText("travo.example");
    EXPECT_EQ(form->edServer->Text(), "travo.example");
}

TEST_F(ControlTest, TheFormHasAFixedFrameTheDesignedFontAndTheScreenCentre) {
    TTestMain* form = CreateTestMain();
    QWidget* window = WidgetOf(form);
    EXPECT_EQ(window->windowTitle(), "Formtest");
    EXPECT_EQ(window->minimumSize(), QSize(273, 233));
    EXPECT_EQ(window->maximumSize(), QSize(273, 233));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

    // "MS Sans Serif" at height -11 is the face chosen for it at 11 pixels; every control
    // inherits it, also those inside a group box, shown or not.
    const auto expectFont = [](const QWidget* widget, const char* family, int pixels) {
        const QFontInfo font(widget->font());
        EXPECT_EQ(font.family().toStdString(), family) << widget->metaObject()->className();
        EXPECT_EQ(font.pixelSize(), pixels) << widget->metaObject()->className();
    };
    const std::vector<TControl*> controls = {form, form->btnInfo, form->gbTCP, form->laState, form->rbSchwenk};
    for (TControl* control : controls) expectFont(WidgetOf(control), "Liberation Sans Narrow", 11);
    form->Show();
    Application->ProcessMessages();
    for (TControl* control : controls) expectFont(WidgetOf(control), "Liberation Sans Narrow", 11);
    // A size in points is the pixels it had at the designed 96 per inch; another face is taken
    // by its name.
    form->SetFontSize(8);
    expectFont(WidgetOf(form->rbSchwenk), "Liberation Sans Narrow", 11);
    form->SetFontSize(12);
    expectFont(WidgetOf(form->laState), "Liberation Sans Narrow", 16);
    form->SetFontName("DejaVu Serif");
    expectFont(WidgetOf(form->laState), "DejaVu Serif", 16);

    form->Show();
    EXPECT_TRUE(form->Visible());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(window->geometry().center().x() - screen.center().x()), 2);
    EXPECT_LE(std::abs(window->geometry().center().y() - screen.center().y()), 2);
    form->Close();
    EXPECT_FALSE(form->Visible());
}

TEST_F(ControlTest, TabOrderFollowsTheDeclaredNumbers) {
    TTestMain* form = CreateTestMain();
    std::vector<QWidget*> chain;
    QWidget* start = WidgetOf(form);
    for (QWidget* w = start->nextInFocusChain(); w != start && chain.size() < 100; w = w->nextInFocusChain())
        chain.push_back(w);
    const auto at = [&](TControl* c) {
        QWidget* widget = WidgetOf(c);
        QWidget* proxy = widget->focusProxy();
        for (std::size_t i = 0; i < chain.size(); ++i)
            if (chain[i] == widget || chain[i] == proxy) return static_cast<int>(i);
        return -1;
    };
    ASSERT_GE(at(form->rbKeine), 0);
    // gbTuer (0) before gbTCP (1); in gbTCP edServer, cbPort, btnConnect; then cbSound, btnInfo.
    EXPECT_LT(at(form->rbSchwenk), at(form->edServer));
    EXPECT_LT(at(form->edServer), at(form->cbPort));
    EXPECT_LT(at(form->cbPort), at(form->btnConnect));
    EXPECT_LT(at(form->btnConnect), at(form->cbSound));
    EXPECT_LT(at(form->cbSound), at(form->btnInfo));
}

TEST_F(ControlTest, APictureOfTheFormIsWritten) {
    TTestMain* form = CreateTestMain();
    form->Show();
    Application->ProcessMessages();
    const std::string path = ExeDir() + "screenshots/forms_test_form.png";
    ASSERT_TRUE(SaveFormImage(form, path));
    QImage image(ToQt(path));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size() / image.devicePixelRatio(), QSize(273, 233));
    // Not one flat colour: the controls were drawn.
    const QRgb corner = image.pixel(0, 0);
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; y += 3)
        for (int x = 0; x < image.width() && !drawn; x += 3) drawn = image.pixel(x, y) != corner;
    EXPECT_TRUE(drawn);
}
