// Switches one named privilege on or off in the token the program runs under.
#pragma once

// Adjusts the calling thread's own token if it has one, else the process
// token. Returns true only when the token opened, the name was found, the
// privilege was actually assigned and the token closed cleanly; false
// otherwise, with the token closed on every path after it was opened.
bool EnablePrivilege(const char* name, bool enable);
