#include "app/MetricsEndpoint.h"

#include <iostream>

#include "config/Configuration.h"
#include "metrics/Metrics.h"

std::unique_ptr<MetricsServer> startMetricsEndpoint(const std::string& configPath,
                                                    MetricsServer::Limits limits) {
    Configuration setting(configPath.c_str());
    std::string error;
    if (!readMetricsSetting(configPath, setting, error)) {
        std::cerr << "MR>ERROR>" << error << ": no metrics endpoint" << std::endl;
        return nullptr;
    }
    if (!setting.metricsEnabled) {
        return nullptr;
    }
    auto server = std::make_unique<MetricsServer>(
        [] { return psmr_metrics::metrics().exposition(); }, limits);
    try {
        server->start(setting.metricsAddress, setting.metricsPort);
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>Unable to open the metrics endpoint on " << setting.metricsAddress
                  << " port " << setting.metricsPort << ": " << e.what() << std::endl;
        return nullptr;
    }
    std::cout << "MR>Metrics endpoint listening on " << setting.metricsAddress << " port "
              << server->port() << std::endl;
    return server;
}
