// The entry points that are bound by name: not built yet.
