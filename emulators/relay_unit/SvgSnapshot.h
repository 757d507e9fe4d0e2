#pragma once

#include <string>

#include "emulators/relay_unit/MonitorPicture.h"

namespace relayunit {

// The monitor picture as a stand-alone SVG document (960 x 540): one group per
// trace (class "trace", id "trace-<NAME>") holding its polylines and scale,
// and the numerics as text, for a browser or a report.
std::string renderSvg(const Picture& picture);

// Writes beside the target and renames over it, so a reader sees the old file
// or the new one, never a part. False, with the reason in `error`, on failure.
bool writeFileAtomically(const std::string& path, const std::string& content,
                         std::string* error = nullptr);

}  // namespace relayunit
