#!/usr/bin/env python3
"""A device that runs its application, on a pseudo-terminal: prints the terminal's path, answers
the request to enter the IAP boot program ("#K!Q%T&_BLD*907M") with "Enter?IAP?Mode", then
creates the file TRIGGER (the device leaves and comes back as its boot program) and ends.
  application_device.py TRIGGER
"""
import os
import select
import sys
import tty

REQUEST = b"#K!Q%T&_BLD*907M"
REPLY = b"Enter?IAP?Mode"

master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
received = b""
while REQUEST not in received:
    ready, _, _ = select.select([master], [], [], 120)
    if not ready:
        sys.exit("application_device: no request within 120 s")
    received += os.read(master, 256)
os.write(master, REPLY)
open(sys.argv[1], "w").close()
print("replied", flush=True)
select.select([], [], [], 1)  # the reply is read before the terminal goes
