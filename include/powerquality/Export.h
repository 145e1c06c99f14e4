// Export macro of libpowerquality. Written by hand (not generated) so that the
// caller-facing headers are self-contained.
//
// The library is built with hidden visibility; only what carries
// POWERQUALITY_API is exported. POWERQUALITY_BUILDING is defined while the
// library itself is compiled; POWERQUALITY_STATIC lets the same sources be
// linked statically (no import/export decoration at all). A static build
// (CMake's BUILD_SHARED_LIBS=OFF) defines it for the library and for every
// target that links it, and its pkg-config file gives it in Cflags.
#ifndef POWERQUALITY_EXPORT_H
#define POWERQUALITY_EXPORT_H

#if defined(POWERQUALITY_STATIC)
#define POWERQUALITY_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(POWERQUALITY_BUILDING)
#define POWERQUALITY_API __declspec(dllexport)
#else
#define POWERQUALITY_API __declspec(dllimport)
#endif
#else
#define POWERQUALITY_API __attribute__((visibility("default")))
#endif

// Plain records that name no symbols of their own but appear as template
// arguments of exported templates: on ELF targets a hidden argument type would
// hide the instantiation, so the records carry default visibility there.
#if defined(POWERQUALITY_STATIC) || defined(_WIN32) || defined(__CYGWIN__)
#define POWERQUALITY_RECORD
#else
#define POWERQUALITY_RECORD __attribute__((visibility("default")))
#endif

// Doubles and 64-bit integers inside records that callers read by layout are
// aligned to 8 bytes on every target, as on 32-bit Windows. The i386 System V
// ABI would align them to 4 inside structs; a per-member alignment restores the
// Windows layout there without changing any other target.
#if defined(__cplusplus)
#define POWERQUALITY_ALIGN8 alignas(8)
#else
#define POWERQUALITY_ALIGN8 _Alignas(8)
#endif

#endif
