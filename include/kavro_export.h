/* Symbol export and C linkage helpers shared by every public libkavro header. */
#ifndef KAVRO_EXPORT_H
#define KAVRO_EXPORT_H

#if defined(KAVRO_BUILDING_LIBRARY) && defined(__GNUC__)
#define KAVRO_API __attribute__((visibility("default")))
#else
#define KAVRO_API
#endif

#ifdef __cplusplus
#define KAVRO_BEGIN_DECLS extern "C" {
#define KAVRO_END_DECLS }
#else
#define KAVRO_BEGIN_DECLS
#define KAVRO_END_DECLS
#endif

#endif /* KAVRO_EXPORT_H */
