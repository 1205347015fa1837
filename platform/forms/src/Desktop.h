#pragma once
// The desktop behind MessageBoxA and SetWindowPos.

void InstallDesktopBackend();
// Ends the modal loops of the message boxes that are open, as OK would.
void CloseOpenMessageBoxes();
