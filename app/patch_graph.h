// The patch as a picture (Graphviz): one node per module with its kind, name and
// the parameters its line sets; one edge per link, labelled with its word; each
// voice (keyboard, amplifier and what feeds it) in a box titled with its keys;
// modules a warning or an error is about in orange, the findings as tooltip.
#pragma once

#include <string>

#include "patch/check.h"

class GENERATOR;
class PatchLog;

// Writes OUT: SVG, or DOT text (a name ending in .dot, or "-" for standard output),
// the latter without a layout. False with `why` when it cannot.
bool draw_patch(GENERATOR& g, const PatchLog& log, const PatchCheck& check,
                const std::string& out, std::string* why);
