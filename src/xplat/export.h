#pragma once
// Marks a function a shared library exports under its plain C name.

#if defined(_WIN32)
#define XPLAT_EXPORT __declspec(dllexport)
#else
#define XPLAT_EXPORT __attribute__((visibility("default")))
#endif
