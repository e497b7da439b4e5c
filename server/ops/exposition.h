// The metrics registry as Prometheus reads it.
#pragma once

#include "base/metrics.h"

#include <string>

namespace tovix::server {

// The text exposition format (version 0.0.4) of everything in `m`, each
// family with its # HELP and # TYPE.
std::string render_metrics(const Metrics& m);

} // namespace tovix::server
