/* Packed firmware versions and the library's own version. */
#ifndef aVERSION_H
#define aVERSION_H

#include "aError.h"

aLIB_BEGIN

aLIBEXPORT uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
aLIBEXPORT bool aVersion_IsLegacyFormat(uint32_t packed);
aLIBEXPORT uint8_t aVersion_ParseMajor(uint32_t packed);
aLIBEXPORT uint8_t aVersion_ParseMinor(uint32_t packed);
aLIBEXPORT uint32_t aVersion_ParsePatch(uint32_t packed);
aLIBEXPORT int aVersion_ParseString(uint32_t packed, char* text, size_t size);
aLIBEXPORT uint8_t aVersion_GetMajor(void);
aLIBEXPORT uint8_t aVersion_GetMinor(void);
aLIBEXPORT uint32_t aVersion_GetPatch(void);
aLIBEXPORT const char* aVersion_GetString(void);
aLIBEXPORT bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
aLIBEXPORT bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA,
                                          uint8_t majorB, uint8_t minorB, uint8_t patchB);
aLIBEXPORT char* aVersion_GetFeatureList(void);
aLIBEXPORT void aVersion_DestroyFeatureList(char** list);
aLIBEXPORT bool aVersion_HasFeature(const char* feature);

aLIB_END

#endif
