#pragma once

#include <memory>
#include <string>

#include "metrics/MetricsServer.h"

// The monitoring endpoint the configuration file asks for, or none: without a
// Metrics element no socket is opened. A wrong element or a port in use is
// said once and costs the bridge nothing else.
std::unique_ptr<MetricsServer> startMetricsEndpoint(const std::string& configPath,
                                                    MetricsServer::Limits limits = {});
