/* Device messaging library: broadcasts request frames to the devices on the local network
   and hands their reply records back one at a time, announced by a posted notification.
   C ABI so that it can stand in for the device maker's library. */
#ifndef NDXL_H
#define NDXL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define NDXL_API __attribute__((visibility("default")))
#else
#define NDXL_API
#endif

/* Stands in for the window handle: where the library posts its notifications. post() is
   called from the library's receiver thread; it must only queue (never handle inline).
   wParam 1: one reply record was queued. wParam 2: lParam replies were lost before they
   could be queued (receive buffer or reply queue full); a window that only knows wParam 1
   ignores it. */
typedef struct NDXL_Window {
    void (*post)(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void* context;
} NDXL_Window;

/* Copies *window, opens the socket and starts the receiver. 0 = opened. */
NDXL_API int32_t NDXL_Init(const char* vendor, const NDXL_Window* window, uint32_t message, int32_t mode);
/* Sends one 832-byte request frame. 0 = sent to at least one destination; 2 = no
   broadcast-capable interface is up (nothing sent); 3 = every send failed. */
NDXL_API int32_t NDXL_SendData(const void* frame);
/* Writes one queued reply record (800 bytes, zero-filled past the received length). 0 = written. */
NDXL_API int32_t NDXL_GetData(void* buffer);
/* Stops the receiver, closes the socket, drops queued replies. Always safe. */
NDXL_API int32_t NDXL_Terminate(void);

/* One datagram the library sent or received, for a packet trace. Addresses and ports in host
   order; local address 0: the socket is bound to every address. */
typedef struct NDXL_Datagram {
    int32_t sent; /* 1 sent, 0 received */
    uint32_t localAddress;
    uint16_t localPort;
    uint32_t peerAddress;
    uint16_t peerPort;
    const void* bytes;
    uint32_t size;
} NDXL_Datagram;
typedef void (*NDXL_Observer)(void* context, const NDXL_Datagram* datagram);
/* Has seen() called for every datagram the library sends and receives (replies or not), on
   the thread that sent or received it; null: none. Taken by the next NDXL_Init. An extension
   of this library: the device maker's has no such call. */
NDXL_API void NDXL_SetObserver(NDXL_Observer seen, void* context);

#ifdef __cplusplus
}
#endif

#endif
