// Windows only: what every pipe of the system is made and opened with, so that no other user
// and no other machine reaches it, and no server may act as the user who opens it. Used by the
// platform's pipes and by the simulator's own.
#pragma once

#include <windows.h>

namespace halvern::platform::win32 {

// Security attributes that let only this user and the system open the pipe (and make further
// instances of it), or any other named object made with them; null when they cannot be made
// (the platform's pipes are then not created at all).
SECURITY_ATTRIBUTES* ownUserPipeSecurity();

// Added to every pipe mode: clients from other machines are refused.
constexpr DWORD kLocalClientsOnly = PIPE_REJECT_REMOTE_CLIENTS;
// Added to every client open's flags: the server may learn who we are, never act as us.
constexpr DWORD kIdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Whether the process serving the pipe `client` is open on runs as our user.
bool pipeServerIsOurUser(HANDLE client);

} // namespace halvern::platform::win32
