#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets from the golden bytes of the tests
(tests/client/protocols/WireTest.cpp, tests/config, tests/relay). Run it after a
layout changes; the output is kept in the repository."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(here, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def hexb(text):
    return bytes.fromhex(text)


def name_field(text):
    return text.encode().ljust(32, b"\0")[:32]


def frame(payload, kind=0):
    header = struct.pack(">IIII", 32 + len(payload), 32, kind, 0) + bytes(16)
    return header + payload


SIM = hexb("04 02 7F FF 00 00 00 00 00 7F")
APP = hexb("01 02 7F FF 00 00 00 00 00 7F")
LIST = hexb("01 01 7F FF 00 00 00 00 00 7F")
EVENT = hexb("01 03 7F FF 00 00 00 00 00 7F")

sim_update = SIM + hexb("00 03 00 00 00 00 00 00 00 00 00 00 00 03"
                        " 00 00 00 01 00 00 00 01 00 00 00 01"   # HW_PATSPEED = 1
                        " 00 00 00 02 00 00 00 01 00 00 00 01"   # calibration action 1
                        " 00 00 00 03 00 00 00 01 00 00 00 05")  # argument 5
sim_input_reply = SIM + hexb("01 01 00 01 00 00 00 00 00 01 00 00 00 01 AA AA AA AA"
                             " BB BB BB BB 00 00 00 01 00 00 00 01") + name_field("HW_PATSPEED")
sim_version = SIM + hexb("01 06 00 01 00 00") + b"SimServer 9"
sim_version = sim_version.ljust(144, b"\0") + hexb("00 00 00 03 00 00 00 01")

app_update = APP + hexb("00 08 00 00 00 00 00 00 00 02 00 00 00 04"
                        " 00 00 00 0B 42 A0 00 00"   # ARTLINE 80
                        " 00 00 00 10 42 B4 00 00"   # SAO2 90
                        " 00 00 00 14 42 90 00 00"   # HRPM 72
                        " 00 00 00 0E 41 A0 00 00")  # CAPNOGRAM 20
app_list = LIST + hexb("00 02 00 00 00 01 00 00 00 07 00 00 00 08 00 00 00 05 40 00 00 00")
app_event = EVENT + hexb("01 17 00 00 00 05 40 80 00 00 00 00 00 01")
app_input_reply = APP + hexb("01 06 00 00 00 07 00 00 00 01 00 00 00 14") + bytes(16) + \
    hexb("42 90 00 00") + name_field("HRPM")
app_run = APP + hexb("01 50 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 01")
flow = hexb("00 00 00 01")

put("fuzz_engine", "sim-update", b"\0" + frame(sim_update))
put("fuzz_engine", "sim-replies", b"\0" + frame(sim_input_reply) + frame(sim_version))
put("fuzz_engine", "app-updates", b"\1" + frame(app_list) + frame(app_update) + frame(app_update))
put("fuzz_engine", "app-events", b"\1" + frame(flow, 3) + frame(app_event) + frame(app_run)
    + frame(app_input_reply))

for name, payload in [("sim-update", sim_update), ("sim-input-reply", sim_input_reply),
                      ("sim-version", sim_version), ("app-update", app_update),
                      ("app-list", app_list), ("app-event", app_event),
                      ("app-input-reply", app_input_reply), ("app-run", app_run)]:
    put("fuzz_wire", name, payload)
put("fuzz_wire", "frame-header", frame(b"")[:32])

put("fuzz_unit_reply", "probe", "[ID]MonitorRelay v2.2:SN-0042@")
put("fuzz_unit_reply", "associated", "[ID]MonitorRelay v2.2 assoc:SN-0042@")
put("fuzz_unit_reply", "battery", "[GET_BATT]512,612@")

put("fuzz_unit_encoders", "waveform", struct.pack("<10f", 80, 81, 84, 90, 93, 0.5, -2, 1e9,
                                                  float("nan"), float("inf")))

put("fuzz_last_address", "address", "127.0.0.2")
put("fuzz_last_address", "broadcast", "192.168.255.255")

config = """<?xml version="1.0" encoding="utf-8"?>
<MonitorRelay>
    <IPAddress>127.0.0.2</IPAddress>
    <IPRangeStart>127.0.0.10</IPRangeStart>
    <IPRangeEnd>127.0.1.20</IPRangeEnd>
    <SerialID> MR-0042 </SerialID>
    <SPO2Scale> 7 </SPO2Scale>
    <CO2Calibration>
        <Entry key="0" value="0"/>
        <Entry key="40" value="38.5"/>
    </CO2Calibration>
    <SPO2Calibration>
        <!-- a comment counts as a point -->
        <Entry key="70" value="72"/>
        <Point key="100" value="100"/>
    </SPO2Calibration>
</MonitorRelay>
"""
put("fuzz_config", "full", config)
put("fuzz_config", "minimal", "<MonitorRelay><IPAddress/><SerialID>&#65;&amp;</SerialID>"
    "<SPO2Scale>5</SPO2Scale><CO2Calibration><E key='1' value='2'/></CO2Calibration>"
    "<SPO2Calibration><E key='1e3' value='-0'/></SPO2Calibration></MonitorRelay>")
# A quote in an element name once hid deep nesting from the depth limit (the
# real crash had 300 000 levels; the test builds that one).
put("fuzz_config", "quote-in-name",
    config.replace("<SerialID>", '<x">' + "<a>" * 120 + "\n    <SerialID>", 1))
# An administrator's file: declarations, comments and an unknown element kept
# around the elements a save writes, CRLF line ends, a table on one line.
put("fuzz_config", "edited",
    ("<?xml version='1.0'?>\n<!DOCTYPE MonitorRelay [<!ENTITY x '>'>]>\n<!-- ward 3 -->\n"
     "<MonitorRelay>\n  <IPAddress><![CDATA[10.0.0.9]]></IPAddress>\n  <Note a=\"b'\">x</Note>\n"
     "  <SerialID/>\n  <?pi x?><SPO2Scale>4</SPO2Scale>\n"
     "  <CO2Calibration><Entry key='0' value='1'/></CO2Calibration>\n"
     "  <SPO2Calibration>\n    <Entry key='85' value='60'/>\n  </SPO2Calibration>\n"
     "</MonitorRelay>\n<MonitorRelay/>\n").replace("\n", "\r\n"))
