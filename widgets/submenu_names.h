#pragma once
// The item that opens a submenu is read by screen readers under its caption, blanks and all.
// Once installed, a submenu given an accessible name lends that name to the item that opens it,
// so the caption can keep the blanks that place it on screen.
namespace telkey {

// Once per process; later calls do nothing.
void InstallSubmenuItemNames();

}  // namespace telkey
