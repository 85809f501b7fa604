// Drawing a run's picture as one self-contained SVG document: no scripts, no
// fonts or files from elsewhere. Each lane is a row on the virtual time axis;
// every band and mark says what it is in a hover title and carries its
// times in data attributes (data-from-ms, data-to-ms, data-at-ms), so a
// program can read the picture back without measuring pixels. The same
// picture gives the same bytes.
#pragma once

#include <string>

#include "sim_runner/picture.h"

namespace simrunner {

std::string RenderSvg(const Picture& picture);

}  // namespace simrunner
