#include "relay/UnitList.h"

#include <iostream>

#include "relay/MonitorRelayAdaptor.h"
#include "relay/UnitEncoding.h"

int listUnits(const RelayTimings& timing) {
    MonitorRelayAdaptor adaptor(timing);
    const auto units = adaptor.discoverUnits();
    if (units.empty()) {
        std::cerr << "No MonitorRelay unit answered." << std::endl;
        return 1;
    }
    for (const auto& unit : units) {
        // The serial is the unit's own text: escaped, so that one unit is one line.
        std::cout << unit_encoding::printable(unit.serial) << " " << unit.address << std::endl;
    }
    return 0;
}
