// Binding of the platform socket library. On Linux the BSD calls are linked into the
// program, so loading cannot fail and every entry point is present.
#pragma once

struct TSocketEntryPoints {
    bool Loaded = false;
};

extern TSocketEntryPoints SocketEntryPoints;

// The library's file name, for messages.
constexpr const char* Id_SOCKET_LIBRARY = "wsock32.dll";

// Returns whether the library is usable.
bool LoadSocketLibrary();
void UnloadSocketLibrary();
