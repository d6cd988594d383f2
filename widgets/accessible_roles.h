#pragma once
// Roles for the screen reader of the window's own widgets that plain widgets do not say: the
// announcer is a notification, the status panels a status bar (Orca reads it on request).
namespace telkey {

// Once per process; later calls do nothing.
void InstallAccessibleRoles();

}  // namespace telkey
