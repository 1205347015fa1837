#include "TestForms.h"

std::function<void(TTestMain*)> TTestMain::CreateAction;
int TTestMain::Created = 0;
int TTestMain::Destroyed = 0;

void TTestMain::DefinePublished(TPublishedTable& t) {
    TForm::DefinePublished(t);
    t.Field("gbTCP", gbTCP);
    t.Field("laServer", laServer);
    t.Field("edServer", edServer);
    t.Field("laPort", laPort);
    t.Field("cbPort", cbPort);
    t.Field("btnConnect", btnConnect);
    t.Field("laState", laState);
    t.Field("gbTuer", gbTuer);
    t.Field("rbKeine", rbKeine);
    t.Field("rbDrehfalt", rbDrehfalt);
    t.Field("rbSchwenk", rbSchwenk);
    t.Field("cbSound", cbSound);
    t.Field("rbDraussen", rbDraussen);
    t.Field("btnInfo", btnInfo);
    t.Handler<TNotifyEvent>("FormCreate", [this](TObject* s) { FormCreate(s); });
    t.Handler<TNotifyEvent>("FormDestroy", [this](TObject* s) { FormDestroy(s); });
    t.Handler<TNotifyEvent>("btnConnectClick", [this](TObject* s) { btnConnectClick(s); });
    t.Handler<TNotifyEvent>("rbTuerClick", [this](TObject* s) { rbTuerClick(s); });
    t.Handler<TNotifyEvent>("cbSoundClick", [this](TObject* s) { cbSoundClick(s); });
    t.Handler<TNotifyEvent>("btnInfoClick", [this](TObject* s) { btnInfoClick(s); });
}

void TTestMain::FormCreate(TObject*) {
    ++Created;
    if (CreateAction) CreateAction(this);
}

void TTestMain::FormDestroy(TObject*) { ++Destroyed; }

void TTestMain::btnConnectClick(TObject*) {
    ++ConnectClicks;
    if (ConnectAction) ConnectAction();
}

void TTestMain::rbTuerClick(TObject* Sender) { DoorClicks.push_back(Sender); }
void TTestMain::cbSoundClick(TObject*) { ++SoundClicks; }

void TTestMain::btnInfoClick(TObject*) {
    ++InfoClicks;
    MessageBoxA(Handle(), "Formtest\r\rVersion 1", "Programminformation", MB_OK | MB_ICONINFORMATION);
}
