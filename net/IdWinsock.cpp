#include "net/IdWinsock.h"

TSocketEntryPoints SocketEntryPoints;

bool LoadSocketLibrary()
{
    SocketEntryPoints.Loaded = true;
    return true;
}

void UnloadSocketLibrary()
{
    SocketEntryPoints.Loaded = false;
}
