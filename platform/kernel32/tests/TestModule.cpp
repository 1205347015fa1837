// A module for the LoadLibraryA tests.
extern "C" int K32TestModuleAnswer() { return 42; }
