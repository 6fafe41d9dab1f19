#pragma once

// The OpenCL C sources of src/processing/kernels, embedded at build time and
// compiled at run time. `common` is the shared header every program starts
// with.
namespace corvel::kernels {
extern const char* const common;
extern const char* const resample;
extern const char* const itm;
extern const char* const deepen;
extern const char* const interp;
extern const char* const hook;
extern const char* const hookheader;
extern const char* const network;
extern const char* const vsr;
extern const char* const deband;
extern const char* const tiled;
} // namespace corvel::kernels
