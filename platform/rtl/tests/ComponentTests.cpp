// Ownership, names, state and notifications of components, streamed values and the registry.

#include "SysUtils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records its own destruction in a shared log, so a test can see who was freed, how often
// and in which order.
class TLoggedComponent : public TComponent {
public:
    TLoggedComponent(TComponent* owner, std::string tag, std::vector<std::string>& log)
        : TComponent(owner), FTag(std::move(tag)), FLog(log) {}
    ~TLoggedComponent() override {
        const bool ownerDestroying = Owner() && (Owner()->ComponentState() & csDestroying);
        FLog.push_back(FTag + (ownerDestroying ? " (owner destroying)" : ""));
        delete FAlsoFree;
    }
    TComponent* FAlsoFree = nullptr;  // a sibling this one frees from its destructor

private:
    std::string FTag;
    std::vector<std::string>& FLog;
};

class TWatchingComponent : public TComponent {
public:
    using TComponent::TComponent;
    void Notification(TComponent* component, TOperation operation) override {
        Seen.push_back({component, operation});
        TComponent::Notification(component, operation);
    }
    std::vector<std::pair<TComponent*, TOperation>> Seen;
};

TEST(ComponentOwnership, OwnerFreesItsComponentsOnceLastCreatedFirst) {
    std::vector<std::string> log;
    auto* owner = new TLoggedComponent(nullptr, "owner", log);
    new TLoggedComponent(owner, "a", log);
    new TLoggedComponent(owner, "b", log);
    new TLoggedComponent(owner, "c", log);
    EXPECT_EQ(owner->ComponentCount(), 3);
    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"owner", "c (owner destroying)", "b (owner destroying)",
                                             "a (owner destroying)"}));
}

TEST(ComponentOwnership, ComponentFreedBeforeItsOwnerLeavesTheList) {
    std::vector<std::string> log;
    auto* owner = new TComponent(nullptr);
    auto* a = new TLoggedComponent(owner, "a", log);
    auto* b = new TLoggedComponent(owner, "b", log);
    new TLoggedComponent(owner, "c", log);
    delete b;
    EXPECT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(owner->Components(0), a);
    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"b", "c (owner destroying)", "a (owner destroying)"}));
}

TEST(ComponentOwnership, ComponentFreeingASiblingWhileTheOwnerFreesThem) {
    std::vector<std::string> log;
    auto* owner = new TComponent(nullptr);
    auto* a = new TLoggedComponent(owner, "a", log);
    auto* b = new TLoggedComponent(owner, "b", log);
    b->FAlsoFree = a;
    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"b (owner destroying)", "a (owner destroying)"}));
}

TEST(ComponentOwnership, OwnedComponentsOwnTheirOwn) {
    std::vector<std::string> log;
    auto* owner = new TComponent(nullptr);
    auto* middle = new TLoggedComponent(owner, "middle", log);
    new TLoggedComponent(middle, "inner", log);
    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"middle (owner destroying)", "inner (owner destroying)"}));
}

TEST(ComponentNotification, OwnerIsToldOfInsertAndRemove) {
    TWatchingComponent owner(nullptr);
    auto* a = new TComponent(&owner);
    auto* b = new TComponent(&owner);
    delete a;
    ASSERT_EQ(owner.Seen.size(), 3u);
    EXPECT_EQ(owner.Seen[0], std::make_pair(a, opInsert));
    EXPECT_EQ(owner.Seen[1], std::make_pair(b, opInsert));
    EXPECT_EQ(owner.Seen[2], std::make_pair(a, opRemove));
}

TEST(ComponentNotification, SiblingsLearnOfARemoval) {
    TComponent owner(nullptr);
    auto* watcher = new TWatchingComponent(&owner);
    auto* other = new TComponent(&owner);
    watcher->Seen.clear();
    delete other;
    ASSERT_EQ(watcher->Seen.size(), 1u);
    EXPECT_EQ(watcher->Seen[0], std::make_pair(other, opRemove));
}

TEST(ComponentList, IndexOutOfRangeRaisesListError) {
    TComponent owner(nullptr);
    new TComponent(&owner);
    EXPECT_NO_THROW(owner.Components(0));
    try {
        owner.Components(1);
        FAIL() << "no EListError";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (1)");
    }
    EXPECT_THROW(owner.Components(-1), EListError);
}

TEST(ComponentNames, FoundWithoutCaseAndKeptUniquePerOwner) {
    TComponent owner(nullptr);
    auto* mixer = new TComponent(&owner);
    mixer->SetName("Mixer");
    auto* other = new TComponent(&owner);
    EXPECT_EQ(owner.FindComponent("mixer"), mixer);
    EXPECT_EQ(owner.FindComponent("Timer"), nullptr);
    EXPECT_EQ(owner.FindComponent(""), nullptr);
    EXPECT_THROW(other->SetName("MIXER"), EComponentError);
    EXPECT_EQ(other->Name(), "");
    mixer->SetName("Mixer");  // its own name again is no clash
    EXPECT_EQ(mixer->Name(), "Mixer");
}

TEST(ComponentNames, OnlyIdentifiersOrEmpty) {
    TComponent c(nullptr);
    EXPECT_NO_THROW(c.SetName("btnConnect_2"));
    EXPECT_NO_THROW(c.SetName("_x"));
    EXPECT_NO_THROW(c.SetName(""));
    EXPECT_THROW(c.SetName("2btn"), EComponentError);
    EXPECT_THROW(c.SetName("btn Connect"), EComponentError);
    EXPECT_THROW(c.SetName("Tür"), EComponentError);
    EXPECT_EQ(c.Name(), "");
}

TEST(ComponentState, LoadingIsSetByTheReaderAndClearedByLoaded) {
    TComponent c(nullptr);
    EXPECT_EQ(c.ComponentState(), 0u);
    c.SetLoading(true);
    EXPECT_TRUE(c.ComponentState() & csLoading);
    EXPECT_FALSE(c.ComponentState() & csDesigning);
    c.Loaded();
    EXPECT_FALSE(c.ComponentState() & csLoading);
    c.SetLoading(true);
    c.SetLoading(false);
    EXPECT_EQ(c.ComponentState(), 0u);
}

TEST(ComponentStreaming, NameIsPublished) {
    TComponent c(nullptr);
    TPublishedTable table;
    c.DefinePublished(table);
    const TPublishedTable::TSetter* setter = table.FindProperty("Name");
    ASSERT_NE(setter, nullptr);
    TStreamValue value;
    value.Kind = TStreamValue::TKind::String;
    value.Text = "CliSocket";
    (*setter)(value);
    EXPECT_EQ(c.Name(), "CliSocket");
    value.Kind = TStreamValue::TKind::Integer;
    EXPECT_THROW((*setter)(value), EReadError);
}

TEST(StreamValue, EachAccessorRefusesAnotherKind) {
    TStreamValue integer;
    integer.Kind = TStreamValue::TKind::Integer;
    integer.Integer = -7;
    EXPECT_EQ(integer.AsInteger(), -7);
    EXPECT_THROW(integer.AsString(), EReadError);
    EXPECT_THROW(integer.AsBoolean(), EReadError);
    EXPECT_THROW(integer.AsIdentifier(), EReadError);

    TStreamValue identifier;
    identifier.Kind = TStreamValue::TKind::Identifier;
    identifier.Text = "tpHigher";
    EXPECT_EQ(identifier.AsIdentifier(), "tpHigher");
    EXPECT_THROW(identifier.AsString(), EReadError);
    EXPECT_THROW(identifier.AsInteger(), EReadError);

    TStreamValue boolean;
    boolean.Kind = TStreamValue::TKind::Boolean;
    boolean.Boolean = true;
    EXPECT_TRUE(boolean.AsBoolean());
    try {
        boolean.AsInteger();
        FAIL() << "no EReadError";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Invalid property value: integer expected, boolean found");
    }

    TStreamValue set;
    set.Kind = TStreamValue::TKind::Set;
    EXPECT_THROW(set.AsString(), EReadError);
}

class TRegisteredWidget : public TComponent {
public:
    using TComponent::TComponent;
};

TEST(ComponentRegistry, CreatesRegisteredClassesWithTheirOwner) {
    RegisterComponentClass("TRegisteredWidget", [](TComponent* owner) { return new TRegisteredWidget(owner); });
    EXPECT_TRUE(IsComponentClassRegistered("TRegisteredWidget"));
    EXPECT_FALSE(IsComponentClassRegistered("tregisteredwidget"));
    TComponent owner(nullptr);
    TComponent* created = CreateComponentByClassName("TRegisteredWidget", &owner);
    ASSERT_NE(created, nullptr);
    EXPECT_NE(dynamic_cast<TRegisteredWidget*>(created), nullptr);
    EXPECT_EQ(created->Owner(), &owner);
    EXPECT_EQ(owner.ComponentCount(), 1);
}

TEST(ComponentRegistry, UnknownClassGivesNull) {
    TComponent owner(nullptr);
    EXPECT_FALSE(IsComponentClassRegistered("TNoSuchClass"));
    EXPECT_EQ(CreateComponentByClassName("TNoSuchClass", &owner), nullptr);
    EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(ComponentRegistry, RegisteringAgainReplacesTheFactory) {
    int first = 0;
    int second = 0;
    RegisterComponentClass("TReplacedWidget", [&](TComponent* owner) { ++first; return new TComponent(owner); });
    RegisterComponentClass("TReplacedWidget", [&](TComponent* owner) { ++second; return new TComponent(owner); });
    TComponent owner(nullptr);
    CreateComponentByClassName("TReplacedWidget", &owner);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

}  // namespace
