// The GL entry points that the scenes' draw functions call, defined in demo-bench
// itself: normally they pass straight on to the driver; while gl_noop is set they
// return at once, so that timing a draw function measures the program's own work.
#pragma once

extern bool gl_noop;
