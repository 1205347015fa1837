#pragma once
// The form that the tests and the demo window load from TestMain.dfm.

#include <functional>
#include <vector>

#include "Forms.h"
#include "StdCtrls.h"

class TTestMain : public TForm {
public:
    using TForm::TForm;

    TGroupBox* gbTCP = nullptr;
    TLabel* laServer = nullptr;
    TEdit* edServer = nullptr;
    TLabel* laPort = nullptr;
    TComboBox* cbPort = nullptr;
    TButton* btnConnect = nullptr;
    TLabel* laState = nullptr;
    TGroupBox* gbTuer = nullptr;
    TRadioButton* rbKeine = nullptr;
    TRadioButton* rbDrehfalt = nullptr;
    TRadioButton* rbSchwenk = nullptr;
    TCheckBox* cbSound = nullptr;
    TRadioButton* rbDraussen = nullptr;
    TButton* btnInfo = nullptr;

    int ConnectClicks = 0;
    int SoundClicks = 0;
    int InfoClicks = 0;
    std::vector<TObject*> DoorClicks;
    std::function<void()> ConnectAction;  // runs inside btnConnectClick

    // Forms are made by CreateForm, so the tests steer creation and record destruction here.
    static std::function<void(TTestMain*)> CreateAction;
    static int Created;
    static int Destroyed;

    void DefinePublished(TPublishedTable& table) override;

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void btnConnectClick(TObject* Sender);
    void rbTuerClick(TObject* Sender);
    void cbSoundClick(TObject* Sender);
    void btnInfoClick(TObject* Sender);
};
