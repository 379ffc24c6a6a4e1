// Marks the module openers, the only symbols the library exports.
#pragma once

#if defined(_WIN32)
#define ACDC_EXPORT extern "C" __declspec(dllexport)
#else
#define ACDC_EXPORT extern "C" __attribute__((visibility("default")))
#endif
