// Compiled with -m32 -fsyntax-only by CTest: on 32 bits the engine's command
// record and its block must be byte for byte the engine's interface.
#include <cstddef>

#include "dzip.h"

#define AT(field, offset) static_assert(offsetof(ZIPCMDSTRUCT, field) == (offset), #field " at " #offset)

static_assert(sizeof(void*) == 4, "compile this check with -m32");

static_assert(sizeof(ZIPCMDSTRUCT) == 220, "command record is 220 bytes");
AT(zipStructSize, 0);
AT(function, 4);
AT(lpszZIPFile, 8);
AT(lpszItemList, 12);
AT(lpMajorStatus, 16);
AT(lpMajorUserData, 20);
AT(lpMinorStatus, 24);
AT(lpMinorUserData, 28);
AT(dosifyFlag, 32);
AT(recurseFlag, 36);
AT(compFactor, 40);
AT(quietFlag, 44);
AT(pathForTempFlag, 48);
AT(lpszTempPath, 52);
AT(fixFlag, 56);
AT(fixHarderFlag, 60);
AT(includeVolumeFlag, 64);
AT(deleteOriginalFlag, 68);
AT(growExistingFlag, 72);
AT(noDirectoryNamesFlag, 76);
AT(convertLFtoCRLFFlag, 80);
AT(addCommentFlag, 84);
AT(lpszComment, 88);
AT(afterDateFlag, 92);
AT(lpszDate, 96);
AT(oldAsLatestFlag, 100);
AT(includeOnlyFollowingFlag, 104);
AT(lpszIncludeFollowing, 108);
AT(excludeFollowingFlag, 112);
AT(lpszExcludeFollowing, 116);
AT(noDirectoryEntriesFlag, 120);
AT(includeSysHiddenFlag, 124);
AT(dontCompressTheseSuffixesFlag, 128);
AT(lpszStoreSuffixes, 132);
AT(bDiagnostic, 136);
AT(encryptFlag, 140);
AT(lpszEncryptCode, 144);
AT(lpMessageDisplay, 148);
AT(lpMessageDisplayUserData, 152);
AT(wMultiVolControl, 156);
AT(wZipSubOptions, 158);
AT(lpMemBlock, 160);
AT(reserved164, 164);
AT(lpRenameProc, 168);
AT(lpRenameUserData, 172);
AT(lpszExtProgTitle, 176);
AT(passValue1, 180);
AT(passValue2, 184);
AT(largeZIPFilesFlag, 188);
AT(passValue3, 192);
AT(reserved196, 196);
static_assert(sizeof(((ZIPCMDSTRUCT*)nullptr)->reserved196) == 24, "24 reserved bytes at the end");

static_assert(sizeof(MEMTOMEMBLOCK) == 28, "block is 28 bytes");
static_assert(offsetof(MEMTOMEMBLOCK, blockSize) == 0, "blockSize at 0");
static_assert(offsetof(MEMTOMEMBLOCK, lpMemToMemProc) == 4, "lpMemToMemProc at 4");
static_assert(offsetof(MEMTOMEMBLOCK, lpMemToMemUserData) == 8, "lpMemToMemUserData at 8");
static_assert(offsetof(MEMTOMEMBLOCK, reserved) == 12, "reserved at 12");

// Booleans and the two control words have the widths the engine reads.
static_assert(sizeof(DZ_BOOL) == 4, "Booleans are 32 bits");
static_assert(sizeof(((ZIPCMDSTRUCT*)nullptr)->wMultiVolControl) == 2, "control word is 16 bits");
static_assert(sizeof(((ZIPCMDSTRUCT*)nullptr)->wZipSubOptions) == 2, "sub-options word is 16 bits");
