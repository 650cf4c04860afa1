/* Export macro for the core's public functions: C linkage, default visibility.
   Everything else in the core is built with hidden visibility. */
#ifndef KESTRAVA_EXPORT_H
#define KESTRAVA_EXPORT_H

#ifdef __cplusplus
#define KESTRAVA_EXTERN_C extern "C"
#else
#define KESTRAVA_EXTERN_C extern
#endif

#define KESTRAVA_API KESTRAVA_EXTERN_C __attribute__((visibility("default")))

#endif
