#pragma once
// Calling the handler of an event field (a std::function that the owner assigns) so that the
// handler stored is the one that runs, with the state it keeps (a mutable lambda, a functor
// that counts), and so that a handler that assigns or clears its own event, or frees the object
// that holds it, does not free the closure it runs in. The socket's events and the packet
// buffer's received event are fired through it.

#include <functional>
#include <memory>
#include <utility>

// What an event field holds once its handler has run: the handler itself, owned in common by
// the field and by every call running. A copy of the field shares the handler and its state.
template <class TFunction>
struct TSharedHandler {
    std::shared_ptr<TFunction> Handler;
    template <class... TArgs>
    auto operator()(TArgs&&... Args) const {
        return (*Handler)(std::forward<TArgs>(Args)...);
    }
};

// Calls the handler of Event, which must be assigned. The first call moves the handler into a
// shared owner; the field keeps it there until it is assigned again.
template <class TFunction, class... TArgs>
auto CallStoredHandler(TFunction& Event, TArgs&&... Args) {
    auto* shared = Event.template target<TSharedHandler<TFunction>>();
    if (!shared) {
        Event = TSharedHandler<TFunction>{std::make_shared<TFunction>(std::move(Event))};
        shared = Event.template target<TSharedHandler<TFunction>>();
    }
    // Held for the length of the call: an assignment meanwhile releases only the field's share.
    const std::shared_ptr<TFunction> running = shared->Handler;
    return (*running)(std::forward<TArgs>(Args)...);
}
