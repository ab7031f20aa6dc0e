"""Where the library's link goes, read from "ORMA_DLL_Log.ini" in the current folder as the
library reads it at ORMA_DLL_Init: [ORMA_LINK] Host, Port and ComPort, section and key names in
any case, a value that the library would not take replaced by its default."""
import os
import sys
from typing import Dict, Optional

INI_NAME = "ORMA_DLL_Log.ini"
DEFAULTS = {"host": "127.0.0.1", "port": "5002", "comport": "1"}


def _value(text: str) -> str:
    """The value after "=": quoted as written, else up to a comment character, stripped."""
    text = text.strip()
    for quote in "\"'":
        if text.startswith(quote):
            end = text.find(quote, 1)
            inner = text[1:] if end < 0 else text[1:end]
            if inner:
                return inner
    for comment in ";#":
        text = text.split(comment, 1)[0]
    text = text.strip()
    return "" if text in ('""', "''") else text


def _read_link_section(path: str) -> Optional[Dict[str, str]]:
    """The keys of [ORMA_LINK] in lower case; None when the file is missing or unreadable (a line
    that is neither a section, a comment nor "key = value" makes the library ignore the file)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as ini:
            lines = ini.read().splitlines()
    except OSError:
        return None
    section, found = "", {}
    for raw in lines:
        line = raw.strip()
        if not line or line[0] in ";#":
            continue
        if line[0] == "[" and line[-1] == "]":
            name = line[1:line.find("]")].strip()
            section = name.lower() if name else section
            continue
        key, eq, value = line.partition("=")
        if not eq or not key.strip():
            return None
        if section == "orma_link":
            found[key.strip().lower()] = _value(value)
    return found


def _valid(key: str, value: str) -> bool:
    if key == "port":
        return value.isdigit() and value.isascii() and 1 <= int(value) <= 65535
    return 1 <= len(value) <= 255 and not (key == "comport" and value.isdigit() and int(value) < 1)


def link_settings(folder: str = ".") -> Dict[str, str]:
    """host, port and comport as the library takes them from the INI in folder."""
    read = _read_link_section(os.path.join(folder, INI_NAME)) or {}
    return {key: read[key] if key in read and _valid(key, read[key]) else default
            for key, default in DEFAULTS.items()}


def tcp_address(settings: Dict[str, str]) -> str:
    host = settings["host"]
    return "%s:%s" % ("[%s]" % host if ":" in host else host, settings["port"])


def serial_port(settings: Dict[str, str]) -> str:
    """The port as the user named it, with the device a number stands for on this system."""
    port = settings["comport"]
    if not port.isdigit():
        return port
    number = int(port)
    if sys.platform == "win32":
        return "COM%d" % number
    device = os.environ.get("ORMA_COM%d" % number) or "/dev/COM%d" % number
    if device == "/dev/COM%d" % number and not os.path.exists(device):
        device = "/dev/ttyS%d" % (number - 1)
    return "%d (%s)" % (number, device)
