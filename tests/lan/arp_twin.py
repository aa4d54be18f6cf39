#!/usr/bin/env python3
"""A second host that claims a device's address: it tells HOST every few milliseconds that
IP is at its own hardware address (unsolicited ARP replies), and counts the IPv4 frames that
reach it for that address (but the test's own probes to the discard port, 9). At SIGTERM it prints the count and exits.

usage: arp_twin.py IFACE IP HOST_IP HOST_MAC"""
import signal
import socket
import struct
import sys
import time

iface, ip, host_ip, host_mac = sys.argv[1:5]


def mac_bytes(text):
    return bytes(int(part, 16) for part in text.split(":"))


raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
raw.bind((iface, 0))
own = raw.getsockname()[4][:6]
target = mac_bytes(host_mac)
arp = (target + own + struct.pack("!H", 0x0806) +
       struct.pack("!HHBBH", 1, 0x0800, 6, 4, 2) + own + socket.inet_aton(ip) + target + socket.inet_aton(host_ip))

stop = False


def on_term(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, on_term)
raw.settimeout(0.005)
frames = 0
payload = 0
next_claim = 0.0
print("claiming", flush=True)
while not stop:
    now = time.monotonic()
    if now >= next_claim:
        raw.send(arp)
        next_claim = now + 0.01
    try:
        frame = raw.recv(65536)
    except (socket.timeout, InterruptedError):
        continue
    # IPv4 frames sent to this host's hardware address for the claimed address.
    probe = frame[23] == 17 and frame[36:38] == b"\x00\x09"
    if frame[:6] == own and frame[12:14] == b"\x08\x00" and frame[30:34] == socket.inet_aton(ip) and not probe:
        frames += 1
        payload += len(frame) - 14
print(f"frames {frames} bytes {payload}", flush=True)
