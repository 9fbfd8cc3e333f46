#pragma once

#include <calmora/run/Report.h>

#include <string>

namespace calmora_cli {

/// Draws the camera path before and after (x, y and angle against frame
/// number, cuts as vertical lines) into a PNG of `width` x `height` pixels;
/// the title names the mode, the latency, the cuts and the zoom. False when
/// the file cannot be written.
bool writePlot(const std::string& path, const orl::calmora::run::RunResult& run,
               const orl::calmora::run::Summary& summary,
               const orl::calmora::run::RunOptions& options, int width = 1200, int height = 900);

}  // namespace calmora_cli
