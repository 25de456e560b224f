// link_table.h -- building the link table while the configuration is read.
#pragma once

#include "config/gateway_config.h"

/// Appends a Tcp link that takes ownership of the heap texts |path| and |host|. Error 1 when
/// the entry cannot be allocated.
void appendLink(GatewayConfig* config, char* path, char* host, std::uint16_t port);
