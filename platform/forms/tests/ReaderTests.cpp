// Reading form resources: values of every kind, nesting, bindings, and errors that name
// what is wrong.

#include <gtest/gtest.h>

#include <string>

#include "FormResources.h"
#include "FormsTesting.h"
#include "StdCtrls.h"
#include "SysUtils.h"
#include "TestSupport.h"

namespace {

enum TTestMode { tmSlow, tmFast };

// A non-visual component with a property of each kind, as the components of other folders
// publish theirs.
class TTestGadget : public TComponent {
public:
    using TComponent::TComponent;
    std::int64_t Number = 0;
    std::string Text;
    bool Flag = false;
    TTestMode Mode = tmSlow;
    std::vector<std::string> Options;
    std::vector<std::string> Lines;
    bool LoadingSeenBySetter = false;
    bool LoadedCalled = false;
    TNotifyEvent OnPing;
    std::function<void(TObject*, int)> OnCount;

    void DefinePublished(TPublishedTable& t) override {
        TComponent::DefinePublished(t);
        t.Property("Number", [this](const TStreamValue& v) {
            Number = v.AsInteger();
            LoadingSeenBySetter = ComponentState() & csLoading;
        });
        t.Property("Text", [this](const TStreamValue& v) { Text = v.AsString(); });
        t.Property("Flag", [this](const TStreamValue& v) { Flag = v.AsBoolean(); });
        t.Property("Mode", [this](const TStreamValue& v) {
            const std::string& name = v.AsIdentifier();
            if (name != "tmSlow" && name != "tmFast") throw EReadError("'" + name + "' is not a mode");
            Mode = name == "tmFast" ? tmFast : tmSlow;
        });
        t.Property("Options", [this](const TStreamValue& v) { Options = v.Items; });
        t.Property("Lines.Strings", [this](const TStreamValue& v) { Lines = v.Items; });
        t.Event("OnPing", OnPing);
        t.Event("OnCount", OnCount);
    }
    void Loaded() override {
        TComponent::Loaded();
        LoadedCalled = !(ComponentState() & csLoading);
    }
};

const bool gadgetRegistered = [] {
    RegisterComponentClass("TTestGadget", [](TComponent* owner) -> TComponent* { return new TTestGadget(owner); });
    return true;
}();

class TReaderForm : public TForm {
public:
    using TForm::TForm;
    TTestGadget* Gadget = nullptr;
    TButton* btnGo = nullptr;
    TGroupBox* gbBox = nullptr;
    TLabel* laInner = nullptr;
    int Pings = 0;
    int GoClicks = 0;
    void DefinePublished(TPublishedTable& t) override {
        TForm::DefinePublished(t);
        t.Field("Gadget", Gadget);
        t.Field("btnGo", btnGo);
        t.Field("gbBox", gbBox);
        t.Field("laInner", laInner);
        t.Handler<TNotifyEvent>("GadgetPing", [this](TObject*) { ++Pings; });
        t.Handler<TNotifyEvent>("btnGoClick", [this](TObject*) { ++GoClicks; });
    }
};

// No resource is registered for this class; CreateForm must say so.
class TUnregisteredForm : public TForm {
public:
    using TForm::TForm;
};

class TBrokenForm : public TForm {
public:
    using TForm::TForm;
};

const bool brokenRegistered = [] {
    RegisterFormResource("TBrokenForm", "object Broken: TBrokenForm\n  Colour = 5\nend\n");
    return true;
}();

class ReaderTest : public FormsTest {
protected:
    void TearDown() override {
        delete Reader;
        FormsTest::TearDown();
    }
    TReaderForm* Read(const std::string& body) {
        delete Reader;
        Reader = new TReaderForm(Application);
        ReadComponentResource(Reader, "object Reader: TReaderForm\n" + body + "end\n");
        return Reader;
    }
    // The message of the error that reading body raises.
    std::string ErrorOf(const std::string& body) {
        try {
            Read(body);
        } catch (const EReadError& e) {
            return e.Message();
        }
        ADD_FAILURE() << "no EReadError for:\n" << body;
        return {};
    }
    TReaderForm* Reader = nullptr;
};

}  // namespace

TEST_F(ReaderTest, DeclaredControlsHaveTheirPlacesTextsAndFields) {
    TTestMain* form = CreateTestMain();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->Name(), "TestMain");
    EXPECT_EQ(form->Caption(), "Formtest");
    EXPECT_EQ(form->ClientWidth(), 273);
    EXPECT_EQ(form->ClientHeight(), 233);

    ASSERT_NE(form->edServer, nullptr);
    EXPECT_EQ(form->edServer->Parent(), form->gbTCP);
    EXPECT_EQ(form->edServer->Owner(), form);
    EXPECT_EQ(form->FindComponent("edServer"), form->edServer);
    EXPECT_EQ(form->edServer->Text(), "localhost");
    EXPECT_EQ(WidgetOf(form->edServer)->geometry(), QRect(56, 16, 97, 21));
    EXPECT_EQ(WidgetOf(form->edServer)->parentWidget(), WidgetOf(form->gbTCP));
    EXPECT_EQ(WidgetOf(form->gbTCP)->geometry(), QRect(8, 8, 257, 73));
    EXPECT_EQ(WidgetOf(form->gbTCP)->parentWidget(), WidgetOf(form));

    EXPECT_EQ(form->gbTCP->Caption(), "TCP-Verbindung ");
    EXPECT_EQ(form->gbTuer->Caption(), "Türsound ");            // #252 written as UTF-8
    EXPECT_EQ(form->rbDrehfalt->Caption(), "Drehfalttür");      // UTF-8 in the text itself
    EXPECT_EQ(form->rbSchwenk->Caption(), "Schwenkschiebetür");  // pieces joined with +
    EXPECT_EQ(form->rbDraussen->Caption(), "draußen");
    EXPECT_EQ(form->btnConnect->Caption(), "&Verbinden");
    EXPECT_EQ(form->laState->Caption(), "getrennt");
    EXPECT_EQ(form->cbPort->Text(), "1435");
    ASSERT_EQ(form->cbPort->Items().Count(), 2);
    EXPECT_EQ(form->cbPort->Items()[1], "1436");
    EXPECT_EQ(form->gbTCP->ControlCount(), 6);
    EXPECT_EQ(form->gbTCP->Controls(5), form->laState);

    // The events are bound to the handlers of the same name.
    EXPECT_EQ(TTestMain::Created, 1);
    EXPECT_TRUE(static_cast<bool>(form->btnConnect->OnClick));
    EXPECT_TRUE(static_cast<bool>(form->rbKeine->OnClick));
    EXPECT_FALSE(static_cast<bool>(form->rbDraussen->OnClick));
}

TEST_F(ReaderTest, ValuesOfEveryKindReachTheComponent) {
    TReaderForm* form = Read(
        "  object Gadget: TTestGadget\n"
        "    Number = -42\n"
        "    Text = 'it''s'#13#10'two' + ' more'\n"
        "    Flag = True\n"
        "    Mode = tmFast\n"
        "    Options = [first, second]\n"
        "    Lines.Strings = (\n"
        "      'one'\n"
        "      'tw' + 'o'\n"
        "      '')\n"
        "    OnPing = GadgetPing\n"
        "  end\n");
    ASSERT_NE(form->Gadget, nullptr);
    EXPECT_EQ(form->Gadget->Owner(), form);
    EXPECT_EQ(form->Gadget->Number, -42);
    EXPECT_EQ(form->Gadget->Text, "it's\r\ntwo more");
    EXPECT_TRUE(form->Gadget->Flag);
    EXPECT_EQ(form->Gadget->Mode, tmFast);
    EXPECT_EQ(form->Gadget->Options, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(form->Gadget->Lines, (std::vector<std::string>{"one", "two", ""}));
    EXPECT_TRUE(form->Gadget->LoadingSeenBySetter);
    EXPECT_TRUE(form->Gadget->LoadedCalled);
    EXPECT_FALSE(form->Gadget->ComponentState() & csLoading);
    ASSERT_TRUE(static_cast<bool>(form->Gadget->OnPing));
    form->Gadget->OnPing(form->Gadget);
    EXPECT_EQ(form->Pings, 1);
}

TEST_F(ReaderTest, NonVisualComponentsMayBeDeclaredInsideControls) {
    TReaderForm* form = Read(
        "  object gbBox: TGroupBox\n"
        "    object Gadget: TTestGadget\n"
        "      Number = $1F\n"
        "    end\n"
        "    object laInner: TLabel\n"
        "      Caption = 'innen'\n"
        "    end\n"
        "  end\n");
    ASSERT_NE(form->Gadget, nullptr);
    EXPECT_EQ(form->Gadget->Number, 31);
    EXPECT_EQ(form->Gadget->Owner(), form);
    ASSERT_NE(form->laInner, nullptr);
    EXPECT_EQ(form->laInner->Parent(), form->gbBox);
    EXPECT_EQ(form->gbBox->ControlCount(), 1);
}

TEST_F(ReaderTest, ErrorsNameWhatIsWrongAndWhere) {
    struct TCase {
        std::string body;
        std::vector<std::string> named;
    };
    const TCase cases[] = {
        {"  object btnGo: TButton\n    Colour = 5\n  end\n", {"unknown property Colour", "btnGo", "line 3"}},
        {"  object Nobody: TNoSuchClass\n  end\n", {"unknown class TNoSuchClass", "Nobody", "line 2"}},
        {"  BorderStyle = bsWobbly\n", {"BorderStyle", "'bsWobbly'"}},
        {"  BorderIcons = [biSystemMenu, biHelp]\n", {"BorderIcons", "'biHelp'"}},
        {"  object btnGo: TButton\n    OnClick = btnMissingClick\n  end\n", {"unknown handler btnMissingClick", "btnGo.OnClick"}},
        {"  object Gadget: TTestGadget\n    OnCount = GadgetPing\n  end\n", {"GadgetPing does not fit", "Gadget.OnCount"}},
        {"  object btnGo: TLabel\n  end\n", {"field btnGo", "TLabel"}},
        {"  object btnGo: TButton\n    Caption = 12\n  end\n", {"btnGo.Caption"}},
        {"  object btnGo: TButton\n    Left = 'links'\n  end\n", {"btnGo.Left"}},
        {"  object btnGo: TButton\n    OnClick = 'btnGoClick'\n  end\n", {"btnGo.OnClick", "handler name"}},
        {"  Caption = 'open\n", {"not closed", "line 2"}},
        {"  object btnGo: TButton\n", {"'end' of Reader is missing"}},
        {"  object laInner: TLabel\n    object btnGo: TButton\n    end\n  end\n", {"laInner cannot hold the control btnGo"}},
        {"  Left = 99999999999\n", {"Left", "out of range"}},
        {"  Left = 12abc\n", {"'12a' is not a number"}},
        {"  Caption = #\n", {"character code"}},
        {"  Left 12\n", {"'=' is expected"}},
    };
    for (const TCase& c : cases) {
        const std::string message = ErrorOf(c.body);
        EXPECT_NE(message.find("TReaderForm"), std::string::npos) << message;
        for (const std::string& part : c.named) EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

TEST_F(ReaderTest, TheRootMustBeTheFormsOwnClassAndStandAlone) {
    auto* form = new TReaderForm(Application);
    try {
        ReadComponentResource(form, "object Other: TOtherForm\nend\n");
        ADD_FAILURE() << "a resource of another class was read";
    } catch (const EReadError& e) {
        EXPECT_NE(e.Message().find("TOtherForm"), std::string::npos) << e.Message();
    }
    try {
        ReadComponentResource(form, "object Reader: TReaderForm\nend\nobject More: TReaderForm\nend\n");
        ADD_FAILURE() << "text after the form was accepted";
    } catch (const EReadError& e) {
        EXPECT_NE(e.Message().find("after the end"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(form->ComponentState() & csLoading);
    delete form;
}

TEST_F(ReaderTest, CreateFormReportsAResourceErrorInTheStandardBox) {
    TMessageBoxRecorder boxes;
    Application->SetTitle("Lesetest");
    TBrokenForm* broken = nullptr;
    Application->CreateForm(&broken);
    EXPECT_EQ(broken, nullptr);
    TUnregisteredForm* missing = nullptr;
    Application->CreateForm(&missing);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(Application->MainForm(), nullptr);

    const auto records = boxes.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].Text.find("unknown property Colour of Broken"), std::string::npos) << records[0].Text;
    EXPECT_EQ(records[0].Caption, "Lesetest");
    EXPECT_EQ(records[0].Icon(), MB_ICONERROR);
    EXPECT_NE(records[1].Text.find("TUnregisteredForm"), std::string::npos) << records[1].Text;
}

TEST_F(ReaderTest, LoadingDoesNotClickButSettingInCodeDoes) {
    TTestMain* form = CreateTestMain();
    EXPECT_TRUE(form->cbSound->Checked());
    EXPECT_TRUE(form->rbDrehfalt->Checked());
    EXPECT_EQ(form->SoundClicks, 0);
    EXPECT_TRUE(form->DoorClicks.empty());

    form->cbSound->SetChecked(false);
    EXPECT_EQ(form->SoundClicks, 1);
    form->cbSound->SetChecked(false);  // no change, no click
    EXPECT_EQ(form->SoundClicks, 1);
    form->rbSchwenk->SetChecked(true);
    ASSERT_EQ(form->DoorClicks.size(), 1u);
    EXPECT_EQ(form->DoorClicks[0], form->rbSchwenk);
    EXPECT_FALSE(form->rbDrehfalt->Checked());
}
