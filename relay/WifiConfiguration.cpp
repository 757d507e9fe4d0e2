#include "relay/WifiConfiguration.h"

#include <iostream>

#include "relay/MonitorRelayAdaptor.h"

int configureWifi(const std::string& ipAddress, const std::string& ssid,
                  const std::string& password) {
    return configureWifi(ipAddress, ssid, password, RelayTimings());
}

int configureWifi(const std::string& ipAddress, const std::string& ssid,
                  const std::string& password, const RelayTimings& timing) {
    std::cout << "MR>>Configuration of the MR unit @ IP <" << ipAddress << "> for SSID <" << ssid
              << "> and password <" << password << ">" << std::endl;
    MonitorRelayAdaptor adaptor(timing);
    if (!adaptor.initialize("", ipAddress, "", "", false)) {
        std::cerr << "MR>Unable to initialize the MonitorRelay adapter. Leaving now!" << std::endl;
        return 1;
    }
    adaptor.enable();
    std::cout << "Enabling config mode..." << std::endl;
    if (!adaptor.enableConfigMode()) {
        std::cerr << "MR>ERROR>Unable to set the MonitorRelay unit into config mode. Leaving now!"
                  << std::endl;
        return 1;
    }
    std::cout << "WIFI factory reset..." << std::endl;
    if (!adaptor.setWifiFactoryReset()) {
        std::cerr << "MR>ERROR>Unable to reset the MonitorRelay unit WIFI settings to factory. "
                     "Leaving now!"
                  << std::endl;
        return 1;
    }
    std::cout << "WIFI configuration..." << std::endl;
    if (!adaptor.setWifiCfg(ssid.c_str(), password.c_str())) {
        std::cerr << "MR>ERROR: WIFI configuration failed; please revalidate your SSID and "
                     "Password..."
                  << std::endl;
        return 1;
    }
    std::cout << "MR>WIFI configuration succeeded; power cycle the MonitorRelay unit for changes "
                 "to take effect"
              << std::endl;
    return 0;
}
