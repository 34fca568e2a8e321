/* Export macro of the Vibrenza SDK. The library is built with hidden
 * visibility; only declarations marked VBZ_API are part of its interface. */
#ifndef VIBRENZA_VBZ_EXPORT_H
#define VIBRENZA_VBZ_EXPORT_H

#if defined(_WIN32)
#  if defined(VBZ_BUILDING_LIBRARY)
#    define VBZ_API __declspec(dllexport)
#  else
#    define VBZ_API __declspec(dllimport)
#  endif
#else
#  define VBZ_API __attribute__((visibility("default")))
#endif

#endif
