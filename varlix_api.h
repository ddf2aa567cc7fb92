/*
 * varlix_api.h - how the libraries' public functions are declared, so that
 * the headers serve C and C++ alike: C linkage, and, when the shared library
 * is built, marked for export (every other name stays hidden in it).
 */
#ifndef VARLIX_API_H
#define VARLIX_API_H

#if defined(VARLIX_BUILDING_SHARED) && defined(_WIN32)
#define VARLIX_API __declspec(dllexport)
#elif defined(VARLIX_BUILDING_SHARED)
#define VARLIX_API __attribute__((visibility("default")))
#else
#define VARLIX_API
#endif

#ifdef __cplusplus
#define VARLIX_BEGIN_DECLS extern "C" {
#define VARLIX_END_DECLS }
#else
#define VARLIX_BEGIN_DECLS
#define VARLIX_END_DECLS
#endif

#endif
