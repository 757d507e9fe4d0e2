#pragma once

// The bridge's configuration in the benchmarks: the emulated unit on
// 127.0.0.2 and calibration tables that every SpO2 value and CO2 sample
// passes through, as in a calibrated installation.
inline const char* const kBenchConfiguration = R"(<?xml version="1.0" encoding="utf-8"?>
<MonitorRelay><IPAddress>127.0.0.2</IPAddress><IPRangeStart/><IPRangeEnd/><SerialID/>
<SPO2Scale>4</SPO2Scale>
<CO2Calibration><Entry key="0" value="1"/><Entry key="40" value="500"/></CO2Calibration>
<SPO2Calibration><Entry key="85" value="60"/><Entry key="100" value="30"/></SPO2Calibration>
</MonitorRelay>)";
