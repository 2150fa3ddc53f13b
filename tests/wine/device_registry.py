#!/usr/bin/env python3
"""Writes a device registry of the shapes Windows 10 writes, as .reg files for regedit (UTF-16LE
with a byte-order mark: regedit reads multi-strings only so):

  device_registry.py DIR     writes DIR/devices.reg     the devices below
                                    DIR/switch.txt      the links that change when the
                                                        application at hub port 3 comes back
                                                        there as its boot program (COM12)
                                    DIR/unplugged.reg   the USB-serial bridge's interfaces gone
                                    DIR/cleared.reg     everything devices.reg adds

The devices, under a root hub of a USB 3 controller:
  port 2  VID_7F3C&PID_0A10, composite (usbccgp): CDC functions MI_00 (COM3) and MI_02 (COM10)
  port 3  VID_7F3C&PID_1B30, an application with one port (usbser, COM5)
  port 4  VID_7F3C&PID_2C71, the boot program (usbser, COM8)
  port 1  VID_1A86&PID_7523, a USB-serial bridge of a known driver (KVSERIAL, COM4)
  port 5  VID_10C4&PID_EA60, another vendor's bridge and driver (silabser, COM6): not listed
  and COM1, the board's own serial port (ACPI PNP0501, Serial): not listed
Each node has its hardware IDs, location, parent (DEVPKEY_Device_Parent) and, for the ports,
PortName; the interfaces are linked under Control\\DeviceClasses as the system links them.
"""
import sys
from pathlib import Path

ENUM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum"
CLASSES = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses"
COMPORT = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"
USB_DEVICE = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
USB_HUB = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}"
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
USB_CLASS = "{36fc9e60-c465-11cf-8056-444553540000}"
PARENT_PROPERTY = r"Properties\{4340a6c5-93fa-4706-972c-7b648008a5a7}\0008"
DEVPROP_TYPE_STRING = 0x12

PCI = r"PCI\VEN_8086&DEV_A36D&SUBSYS_85561043&REV_10\3&11583659&0&A0"
ROOT_HUB = r"USB\ROOT_HUB30\4&2b5c8e1f&0&0"
ACPI_ROOT = r"ACPI\PNP0A08\0"
COMPOSITE = r"USB\VID_7F3C&PID_0A10\7F3C0A100042"
APPLICATION = r"USB\VID_7F3C&PID_1B30\7F3C1B300007"
BOOT = r"USB\VID_7F3C&PID_2C71\5&1a2b3c4d&0&4"
BOOT_SWITCHED = r"USB\VID_7F3C&PID_2C71\5&1a2b3c4d&0&3"
BRIDGE = r"USB\VID_1A86&PID_7523\5&1a2b3c4d&0&1"


def utf16(text):
    return text.encode("utf-16-le")


def hex_bytes(data):
    return ",".join(f"{b:02x}" for b in data)


def value(name, data):
    key = "@" if name is None else f'"{name}"'
    if isinstance(data, int):
        return f"{key}=dword:{data:08x}"
    if isinstance(data, list):  # REG_MULTI_SZ
        raw = b"".join(utf16(s) + b"\0\0" for s in data) + b"\0\0"
        return f"{key}=hex(7):{hex_bytes(raw)}"
    if isinstance(data, tuple):  # a device property: (DEVPROPTYPE, text)
        kind, text = data
        raw = utf16(text) + b"\0\0"
        return f"{key}=hex(ffff{kind:04x}):{hex_bytes(raw)}"
    escaped = data.replace("\\", "\\\\").replace('"', '\\"')
    return f'{key}="{escaped}"'


class Registry:
    def __init__(self):
        self.blocks = []

    def key(self, path, values=()):
        lines = [f"[{path}]"] + [value(n, d) for n, d in values]
        self.blocks.append("\n".join(lines))

    def delete(self, path):
        self.blocks.append(f"[-{path}]")

    def node(self, instance, parent, values, port=None):
        self.key(f"{ENUM}\\{instance}", values)
        self.key(f"{ENUM}\\{instance}\\{PARENT_PROPERTY}", [(None, (DEVPROP_TYPE_STRING, parent))])
        if port:
            self.key(f"{ENUM}\\{instance}\\Device Parameters", [("PortName", port)])

    def interface(self, instance, guid):
        link = "##?#" + instance.replace("\\", "#") + "#" + guid
        base = f"{CLASSES}\\{guid}\\{link}"
        self.key(base, [("DeviceInstance", instance)])
        self.key(f"{base}\\Control", [("ReferenceCount", 1), ("Linked", 1)])
        self.key(f"{base}\\#", [("SymbolicLink", "\\\\?\\" + link[4:])])
        self.key(f"{base}\\#\\Control", [("Linked", 1)])

    def remove_interface(self, instance, guid):
        link = "##?#" + instance.replace("\\", "#") + "#" + guid
        self.delete(f"{CLASSES}\\{guid}\\{link}")

    def write(self, path):
        text = "Windows Registry Editor Version 5.00\n\n" + "\n\n".join(self.blocks) + "\n"
        Path(path).write_bytes(b"\xff\xfe" + utf16(text.replace("\n", "\r\n")))


def usb_port(vid_pid, rev, location, address, friendly, service, port, interface=None):
    """The values of a USB serial port's node, as its driver's INF leaves them."""
    ids = [f"USB\\{vid_pid}&REV_{rev}" + (f"&MI_{interface}" if interface else ""),
           f"USB\\{vid_pid}" + (f"&MI_{interface}" if interface else "")]
    compatible = ["USB\\Class_02&SubClass_02&Prot_01", "USB\\Class_02&SubClass_02", "USB\\Class_02"]
    values = [("DeviceDesc", "@usbser.inf,%usbser.devicedesc%;USB Serial Device"),
              ("LocationInformation", location), ("Capabilities", 0x84),
              ("HardwareID", ids), ("CompatibleIDs", compatible), ("ClassGUID", PORTS_CLASS),
              ("Class", "Ports"), ("Service", service), ("Mfg", "@usbser.inf,%mfgname%;Microsoft"),
              ("FriendlyName", f"{friendly} ({port})"), ("ConfigFlags", 0)]
    if address is not None:
        values.append(("Address", address))
    return values


def application(registry, instance, pid, hub_port, port, present=True):
    registry.node(instance, ROOT_HUB,
                  usb_port(f"VID_7F3C&PID_{pid}", "0200", f"Port_#{hub_port:04d}.Hub_#0001",
                           hub_port, "USB Serial Device", "usbser", port), port)
    if present:
        registry.interface(instance, COMPORT)
        registry.interface(instance, USB_DEVICE)


def link_name(instance, guid):
    return guid + "\\##?#" + instance.replace("\\", "#") + "#" + guid


def devices():
    r = Registry()
    r.node(PCI, r"PCI\VEN_8086&DEV_A36D", [
        ("DeviceDesc", "@usbxhci.inf,%pci\\cc_0c0330.devicedesc%;USB xHCI Compliant Host Controller"),
        ("LocationInformation", "PCI bus 0, device 20, function 0"),
        ("HardwareID", ["PCI\\VEN_8086&DEV_A36D&SUBSYS_85561043&REV_10", "PCI\\VEN_8086&DEV_A36D"]),
        ("ClassGUID", USB_CLASS), ("Class", "USB"), ("Service", "USBXHCI")])
    r.node(ROOT_HUB, PCI, [
        ("DeviceDesc", "@usbhub3.inf,%usbhub3.roothubdevicedesc%;USB Root Hub (USB 3.0)"),
        ("HardwareID", ["USB\\ROOT_HUB30&VID8086&PID8086&REV0010", "USB\\ROOT_HUB30"]),
        ("ClassGUID", USB_CLASS), ("Class", "USB"), ("Service", "USBHUB3")])
    r.interface(ROOT_HUB, USB_HUB)

    r.node(COMPOSITE, ROOT_HUB, [
        ("DeviceDesc", "@usb.inf,%usb\\composite.devicedesc%;USB Composite Device"),
        ("LocationInformation", "Port_#0002.Hub_#0001"), ("Address", 2),
        ("HardwareID", ["USB\\VID_7F3C&PID_0A10&REV_0100", "USB\\VID_7F3C&PID_0A10"]),
        ("CompatibleIDs", ["USB\\DevClass_EF&SubClass_02&Prot_01", "USB\\DevClass_EF&SubClass_02",
                           "USB\\DevClass_EF", "USB\\COMPOSITE"]),
        ("ClassGUID", USB_CLASS), ("Class", "USB"), ("Service", "usbccgp")])
    r.interface(COMPOSITE, USB_DEVICE)
    for interface, port, suffix in (("00", "COM3", "0000"), ("02", "COM10", "0002")):
        instance = f"USB\\VID_7F3C&PID_0A10&MI_{interface}\\6&2c1f7e3a&0&{suffix}"
        r.node(instance, COMPOSITE,
               usb_port("VID_7F3C&PID_0A10", "0100", "0000.0014.0000.002.000.000.000.000.000",
                        None, "USB Serial Device", "usbser", port, interface), port)
        r.interface(instance, COMPORT)

    application(r, APPLICATION, "1B30", 3, "COM5")
    application(r, BOOT, "2C71", 4, "COM8")
    # Seen at hub port 3 before, not present now: the system keeps its node.
    application(r, BOOT_SWITCHED, "2C71", 3, "COM12", present=False)

    r.node(BRIDGE, ROOT_HUB, usb_port("VID_1A86&PID_7523", "0264", "Port_#0001.Hub_#0001", 1,
                                      "USB-SERIAL CH340", "KVSERIAL", "COM4"), "COM4")
    r.interface(BRIDGE, COMPORT)
    r.interface(BRIDGE, USB_DEVICE)

    other = r"USB\VID_10C4&PID_EA60\0001"
    r.node(other, ROOT_HUB, usb_port("VID_10C4&PID_EA60", "0100", "Port_#0005.Hub_#0001", 5,
                                     "Silicon Labs CP210x USB to UART Bridge", "silabser", "COM6"),
           "COM6")
    r.interface(other, COMPORT)
    r.interface(other, USB_DEVICE)

    com1 = r"ACPI\PNP0501\1"
    r.node(ACPI_ROOT, r"ROOT\ACPI_HAL\0000", [
        ("DeviceDesc", "PCI Express Root Complex"), ("HardwareID", ["ACPI\\PNP0A08", "*PNP0A08"]),
        ("Service", "pci")])
    r.node(com1, ACPI_ROOT, [
        ("DeviceDesc", "@msports.inf,%*pnp0501.devicedesc%;Communications Port"),
        ("FriendlyName", "Communications Port (COM1)"),
        ("HardwareID", ["ACPI\\VEN_PNP&DEV_0501", "ACPI\\PNP0501", "*PNP0501"]),
        ("ClassGUID", PORTS_CLASS), ("Class", "Ports"), ("Service", "Serial")], "COM1")
    r.interface(com1, COMPORT)
    return r


def switch():
    """The interfaces that change when the application at hub port 3 leaves and comes back there
    as its boot program: "-LINK" goes, "+LINK INSTANCE" comes (LINK under
    Control\\DeviceClasses), one a line, for tests/wine/registry_switch.cpp."""
    lines = [f"-{link_name(APPLICATION, guid)}" for guid in (COMPORT, USB_DEVICE)]
    lines += [f"+{link_name(BOOT_SWITCHED, guid)} {BOOT_SWITCHED}" for guid in (COMPORT, USB_DEVICE)]
    return "\n".join(lines) + "\n"


def unplugged():
    r = Registry()
    r.remove_interface(BRIDGE, COMPORT)
    r.remove_interface(BRIDGE, USB_DEVICE)
    return r


def cleared():
    r = Registry()
    for guid in (COMPORT, USB_DEVICE, USB_HUB):
        for instance in (ROOT_HUB, COMPOSITE, APPLICATION, BOOT, BOOT_SWITCHED, BRIDGE,
                         r"USB\VID_10C4&PID_EA60\0001", r"ACPI\PNP0501\1",
                         r"USB\VID_7F3C&PID_0A10&MI_00\6&2c1f7e3a&0&0000",
                         r"USB\VID_7F3C&PID_0A10&MI_02\6&2c1f7e3a&0&0002"):
            r.remove_interface(instance, guid)
    for instance in (PCI, ROOT_HUB, ACPI_ROOT, r"ACPI\PNP0501\1", COMPOSITE, APPLICATION, BOOT,
                     BOOT_SWITCHED, BRIDGE, r"USB\VID_10C4&PID_EA60\0001",
                     r"USB\VID_7F3C&PID_0A10&MI_00\6&2c1f7e3a&0&0000",
                     r"USB\VID_7F3C&PID_0A10&MI_02\6&2c1f7e3a&0&0002"):
        r.delete(f"{ENUM}\\{instance}")
    return r


if __name__ == "__main__":
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    devices().write(out / "devices.reg")
    (out / "switch.txt").write_text(switch())
    unplugged().write(out / "unplugged.reg")
    cleared().write(out / "cleared.reg")
