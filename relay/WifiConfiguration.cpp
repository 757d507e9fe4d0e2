#include "relay/WifiConfiguration.h"

#include <iostream>

// Placeholder until the unit link exists; replaced by the relay work.
int configureWifi(const std::string& ipAddress, const std::string& ssid,
                  const std::string& password) {
    std::cout << "MR>>Configuration of the MR unit @ IP <" << ipAddress << "> for SSID <" << ssid
              << "> and password <" << password << ">" << std::endl;
    std::cerr << "MR>Unable to initialize the MonitorRelay adapter. Leaving now!" << std::endl;
    return 1;
}
