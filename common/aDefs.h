/* Shared definitions of the CoreLatch device library: export markers,
 * the C linkage brackets and the model-name lookups. */
#ifndef aDEFS_H
#define aDEFS_H

#include <stdint.h>
#include <stdbool.h>
#include <stddef.h>

#if defined(CL_BUILDING_LIBRARY)
#define aLIBEXPORT __attribute__((visibility("default")))
#else
#define aLIBEXPORT
#endif

#ifdef __cplusplus
#define aLIB_BEGIN extern "C" {
#define aLIB_END }
#else
#define aLIB_BEGIN
#define aLIB_END
#endif

aLIB_BEGIN

/* Name of a device model code; "Unknown" for codes without a model. Never null. */
aLIBEXPORT const char* aDefs_GetModelName(uint32_t model);
/* Model code of a model name (exact, case-sensitive); 0 for a null or unknown name. */
aLIBEXPORT uint32_t aDefs_GetModelCode(const char* name);

aLIB_END

#endif
