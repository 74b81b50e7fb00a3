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
/* Creates the directory and its missing parents with the permissions mode.
 * aErrParam when the path, or one of its parents, exists but is not a
 * directory; aErrPermission when the system refuses a creation. */
aLIBEXPORT aErr aDirectory_Ensure(const char* path, uint32_t mode);
/* Calls back for every entry, "." and ".." included, until the callback
 * answers false. Entries whose full path does not fit aFILE_MAXPATH bytes are
 * skipped. aErrParam for a missing or unreadable directory. */
aLIBEXPORT aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context);
aLIBEXPORT aErr aDirectory_Delete(const char* path);
/* Removes the directory with everything in it; symbolic links are removed, not
 * followed. aErrUnknown when the tree could not be emptied. */
aLIBEXPORT aErr aDirectory_DeleteTree(const char* path);
aLIBEXPORT aErr aDirectory_CWD(char* buffer, size_t size);
/* aErrOverrun when the path does not fit, aErrRead when it cannot be told. */
aLIBEXPORT aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
/* HOMEDRIVE joined with HOMEPATH when both are set and non-empty, else HOME when
 * non-empty, else the password database's entry; aErrNotFound when none tells
 * it, aErrOverrun when it does not fit. */
aLIBEXPORT aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

aLIB_END

#endif
