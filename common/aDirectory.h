/* Directories and paths. */
#ifndef aDIRECTORY_H
#define aDIRECTORY_H

#include "aError.h"

#define aDIR_SEPARATOR '/'
#define aDIR_SEPARATOR_STR "/"
#define aFILE_MAXPATH 260

typedef struct {
  const char* path;     /* directory path joined with the entry's name */
  uint32_t size;        /* low 32 bits of the file size */
  int32_t isDirectory;  /* 1 for a directory */
} aDirectoryEntry;

/* Answer false to stop the listing. */
typedef bool (*aDirectoryListCallback)(const aDirectoryEntry* entry, void* context);

aLIB_BEGIN

/* Joins first and up to nine further components (null ends the list) with one
 * separator between parts that do not already supply one. */
aLIBEXPORT aErr aDirectory_BuildPath(char* out, size_t size, const char* first, ...);
aLIBEXPORT aErr aDirectory_JoinPath(char* out, size_t size, const char* a, const char* b);
aLIBEXPORT bool aDirectory_Exists(const char* path);
/* Creates the directory and its missing parents; an error when the path is
 * taken by something that is not a directory. */
aLIBEXPORT aErr aDirectory_Ensure(const char* path, uint32_t mode);
aLIBEXPORT aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context);
aLIBEXPORT aErr aDirectory_Delete(const char* path);
aLIBEXPORT aErr aDirectory_DeleteTree(const char* path);
aLIBEXPORT aErr aDirectory_CWD(char* buffer, size_t size);
aLIBEXPORT aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
/* HOMEDRIVE + HOMEPATH when both are set, else HOME, else the password database. */
aLIBEXPORT aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

aLIB_END

#endif
