// Components: ownership, names, state, and the registry of classes a form resource creates.

#include "RtlInternal.h"
#include "SysUtils.h"

#include <algorithm>
#include <mutex>

namespace {

bool SameText(const std::string& a, const std::string& b) { return LowerCase(a) == LowerCase(b); }

bool IsIdentifier(const std::string& name) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (name.empty() || !letter(name[0]))
        return false;
    return std::all_of(name.begin() + 1, name.end(), [&](char c) { return letter(c) || digit(c); });
}

}  // namespace

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    FComponentState |= csDestroying;
    if (FOwner)
        FOwner->RemoveComponent(this);
    // Each owned component takes itself out of the list as it goes.
    while (!FComponents.empty())
        delete FComponents.back();
}

void TComponent::SetName(const std::string& name) {
    if (name == FName)
        return;
    if (!name.empty() && !IsIdentifier(name))
        throw EComponentError(Format("'%s' is not a valid component name", name.c_str()));
    if (!name.empty() && FOwner) {
        const TComponent* other = FOwner->FindComponent(name);
        if (other && other != this)
            throw EComponentError(Format("A component named %s already exists", name.c_str()));
    }
    FName = name;
}

TComponent* TComponent::Components(int index) const {
    if (index < 0 || index >= ComponentCount())
        RaiseListIndexError(index);
    return FComponents[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty())
        return nullptr;
    for (TComponent* component : FComponents)
        if (SameText(component->Name(), name))
            return component;
    return nullptr;
}

void TComponent::DefinePublished(TPublishedTable& table) {
    table.Property("Name", [this](const TStreamValue& value) { SetName(value.AsString()); });
}

void TComponent::Loaded() { FComponentState &= ~static_cast<TComponentState>(csLoading); }

void TComponent::SetLoading(bool loading) {
    if (loading)
        FComponentState |= csLoading;
    else
        FComponentState &= ~static_cast<TComponentState>(csLoading);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    // By index: a component told of a removal may free others of this list.
    for (std::size_t i = FComponents.size(); i-- > 0;) {
        if (i >= FComponents.size())
            continue;
        FComponents[i]->Notification(AComponent, Operation);
    }
}

void TComponent::InsertComponent(TComponent* component) {
    component->FOwner = this;
    FComponents.push_back(component);
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    const auto it = std::find(FComponents.begin(), FComponents.end(), component);
    if (it == FComponents.end())
        return;
    FComponents.erase(it);
    component->FOwner = nullptr;
    Notification(component, opRemove);
}

// ---- the class registry -----------------------------------------------------------------------
namespace {

struct TClassRegistry {
    std::mutex lock;
    std::map<std::string, TComponentFactory> factories;
};

// Built on first use: units register their classes from static initialisers.
TClassRegistry& Registry() {
    static TClassRegistry registry;
    return registry;
}

}  // namespace

void RegisterComponentClass(const std::string& className, TComponentFactory factory) {
    TClassRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    registry.factories[className] = std::move(factory);
}

TComponent* CreateComponentByClassName(const std::string& className, TComponent* AOwner) {
    TComponentFactory factory;
    {
        TClassRegistry& registry = Registry();
        std::lock_guard guard(registry.lock);
        const auto it = registry.factories.find(className);
        if (it == registry.factories.end() || !it->second)
            return nullptr;
        factory = it->second;
    }
    return factory(AOwner);
}

bool IsComponentClassRegistered(const std::string& className) {
    TClassRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    const auto it = registry.factories.find(className);
    return it != registry.factories.end() && it->second;
}

// ---- values of a form resource ---------------------------------------------------------------
namespace {

const char* KindName(TStreamValue::TKind kind) {
    switch (kind) {
    case TStreamValue::TKind::Integer: return "integer";
    case TStreamValue::TKind::String: return "string";
    case TStreamValue::TKind::Boolean: return "boolean";
    case TStreamValue::TKind::Identifier: return "identifier";
    case TStreamValue::TKind::Set: return "set";
    case TStreamValue::TKind::StringList: return "string list";
    }
    return "unknown";
}

void Expect(const TStreamValue& value, TStreamValue::TKind kind) {
    if (value.Kind != kind)
        throw EReadError(Format("Invalid property value: %s expected, %s found", KindName(kind), KindName(value.Kind)));
}

}  // namespace

std::int64_t TStreamValue::AsInteger() const {
    Expect(*this, TKind::Integer);
    return Integer;
}

const std::string& TStreamValue::AsString() const {
    Expect(*this, TKind::String);
    return Text;
}

bool TStreamValue::AsBoolean() const {
    Expect(*this, TKind::Boolean);
    return Boolean;
}

const std::string& TStreamValue::AsIdentifier() const {
    Expect(*this, TKind::Identifier);
    return Text;
}
