// unit_support.h -- helpers shared by the unit tests: fresh process-wide state, captured output.
#pragma once

#include "config/gateway_config.h"

#include <string>
#include <vector>

/// Resets the switches, the program path ("dostrel"), the environment and the fake sockets.
void resetGatewayState();

/// Uses |entries| (NAME=value texts) as the process environment for lookups.
void useEnvironment(const std::vector<std::string>& entries);

/// The result of reading a configuration text.
struct ConfigReading {
    GatewayConfig config;
    std::string warnings; // everything written to standard error
};

/// Reads |text| as the content of dostrel.cnf.
ConfigReading readConfigText(const std::string& text);

/// The links of |config| as "path host port" lines, in file order.
std::vector<std::string> describeLinks(const GatewayConfig& config);
