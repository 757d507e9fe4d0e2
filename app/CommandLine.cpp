#include "app/CommandLine.h"

#include <boost/program_options.hpp>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Version.h"
#include "app/BridgeLoop.h"
#include "config/ConfigCheck.h"
#include "config/Configuration.h"
#include "relay/UnitList.h"
#include "relay/WifiConfiguration.h"

namespace po = boost::program_options;

int runCommandLine(int argc, const char* const argv[]) {
    std::string configPath;
    std::vector<std::string> wifiArgs;
    bool debug = false;

    po::options_description desc("PatientSimulatorMonitorRelay Usage", 80, 40);
    desc.add_options()("help,h", "Print usage message")("debug,d", "Print debug info")(
        "nogui,n", "Hide the console, Windows only")("configfile,f",
                                                     po::value<std::string>(&configPath),
                                                     "Pathname to the configuration XML file")(
        "wifi,w", po::value<std::vector<std::string>>(&wifiArgs)->multitoken(),
        "Configure WIFI settings (arg: MR_IP WIFI_SSID WIFI_PWD)")(
        "discover,D", "List the MonitorRelay units that answer")(
        "check,c", "Check the configuration file and exit")("version,V",
                                                            "Print the version and exit");

    po::variables_map vm;
    try {
        // No guessing: an abbreviation must not silently become another option.
        po::store(
            po::command_line_parser(argc, argv)
                .options(desc)
                .style(po::command_line_style::unix_style & ~po::command_line_style::allow_guessing)
                .run(),
            vm);
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cout << "MR>ERROR>" << desc << std::endl;
        // A command line that cannot be parsed is a failure, not a success.
        return 1;
    }

    // Help wins over everything, even over values only notify() would reject.
    if (vm.count("help")) {
        std::cout << std::endl << desc << std::endl;
        return 0;
    }

    if (vm.count("version")) {
        std::cout << "PatientSimulatorMonitorRelay " << PSMR_VERSION << std::endl;
        return 0;
    }

    try {
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cout << "MR>ERROR>" << desc << std::endl;
        return 1;
    }

    if (vm.count("debug")) {
        std::cout << "MR>Debug mode enabled" << std::endl;
        debug = true;
    }

    if (vm.count("check")) {
        if (configPath.empty()) {
            std::cerr << "MR>Missing configuration file path in parameters" << std::endl;
            std::cout << std::endl << desc << std::endl;
            return 1;
        }
        try {
            return checkConfigurationFile(configPath);
        } catch (const std::exception& e) {
            std::cerr << "MR>ERROR>" << e.what() << std::endl;
            return 1;
        }
    }

    try {
        if (vm.count("discover")) {
            return listUnits();
        }
        if (wifiArgs.empty()) {
            if (configPath.empty()) {
                std::cerr << "MR>Missing configuration file path in parameters" << std::endl;
                std::cout << std::endl << desc << std::endl;
                return 1;
            }
            // Lives until the process ends: every bridge the loop builds shares it.
            static Configuration configuration(configPath.c_str());
            runBridgeLoop(configuration, debug);
        }
        if (wifiArgs.size() != 3) {
            std::cerr << "MR>Incorrect parameters for wifi configuration mode" << std::endl;
            std::cout << std::endl << desc << std::endl;
            return 1;
        }
        std::exit(configureWifi(wifiArgs[0], wifiArgs[1], wifiArgs[2]));
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        return 1;
    }
}
