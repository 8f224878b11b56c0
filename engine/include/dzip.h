/* The zip engine's interface: one entry, dzip, taking a filled command record.
 *
 * The record keeps the field order and contents of the engine's 32-bit interface.
 * Compiled for 32 bits it is byte for byte that interface (220 bytes, block 28);
 * on a 64-bit build pointers are native and zipStructSize holds sizeof(ZIPCMDSTRUCT).
 * Booleans are 32 bits wide: 0 for false, 0xFFFFFFFF (-1) for true. */
#ifndef DZIP_H
#define DZIP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define DZ_CALL __stdcall
#else
#define DZ_CALL
#endif

#if defined(_WIN32)
#define DZ_EXPORT __declspec(dllexport)
#else
#define DZ_EXPORT __attribute__((visibility("default")))
#endif

typedef int32_t DZ_BOOL;
#define DZ_TRUE ((DZ_BOOL)-1)
#define DZ_FALSE ((DZ_BOOL)0)

/* Opaque to the system: the component passes it to its handler untouched. */
typedef struct DZRENAME DZRENAME;

/* Returns 0 to go on, 0xFFFFFFFF to cancel. */
typedef uint32_t(DZ_CALL* DZ_STATUS_CALLBACK)(const char* item, int32_t percent, void* userData);
typedef int32_t(DZ_CALL* DZ_MESSAGE_CALLBACK)(uint32_t msgId, uint32_t mbType, int32_t p1, int32_t p2,
                                              const char* text1, const char* text2, void* userData);
typedef int32_t(DZ_CALL* DZ_RENAME_CALLBACK)(DZRENAME* rename, void* userData);
/* The user data is the eighth argument and the result pointer the ninth. */
typedef void(DZ_CALL* DZ_MEMTOMEM_CALLBACK)(int32_t action, uint8_t* buffer, int32_t* size, int32_t totalReadLow,
                                            int32_t totalReadHigh, int32_t totalWrittenLow, int32_t totalWrittenHigh,
                                            void* userData, int32_t* result);

typedef struct MEMTOMEMBLOCK {
  int32_t blockSize;                   /*  0: sizeof(MEMTOMEMBLOCK), 28 on 32 bits */
  DZ_MEMTOMEM_CALLBACK lpMemToMemProc; /*  4 */
  void* lpMemToMemUserData;            /*  8 */
  uint8_t reserved[16];                /* 12: zero */
} MEMTOMEMBLOCK;

typedef struct ZIPCMDSTRUCT {
  int32_t zipStructSize;                 /*   0: sizeof(ZIPCMDSTRUCT), 220 on 32 bits */
  int32_t function;                      /*   4: action code */
  char* lpszZIPFile;                     /*   8: archive file name */
  char* lpszItemList;                    /*  12: items to pack */
  DZ_STATUS_CALLBACK lpMajorStatus;      /*  16 */
  void* lpMajorUserData;                 /*  20 */
  DZ_STATUS_CALLBACK lpMinorStatus;      /*  24 */
  void* lpMinorUserData;                 /*  28 */
  DZ_BOOL dosifyFlag;                    /*  32 */
  DZ_BOOL recurseFlag;                   /*  36 */
  int32_t compFactor;                    /*  40: compression level */
  DZ_BOOL quietFlag;                     /*  44 */
  DZ_BOOL pathForTempFlag;               /*  48 */
  char* lpszTempPath;                    /*  52 */
  DZ_BOOL fixFlag;                       /*  56 */
  DZ_BOOL fixHarderFlag;                 /*  60 */
  DZ_BOOL includeVolumeFlag;             /*  64 */
  DZ_BOOL deleteOriginalFlag;            /*  68 */
  DZ_BOOL growExistingFlag;              /*  72 */
  DZ_BOOL noDirectoryNamesFlag;          /*  76 */
  DZ_BOOL convertLFtoCRLFFlag;           /*  80 */
  DZ_BOOL addCommentFlag;                /*  84 */
  char* lpszComment;                     /*  88 */
  DZ_BOOL afterDateFlag;                 /*  92 */
  char* lpszDate;                        /*  96 */
  DZ_BOOL oldAsLatestFlag;               /* 100 */
  DZ_BOOL includeOnlyFollowingFlag;      /* 104 */
  char* lpszIncludeFollowing;            /* 108 */
  DZ_BOOL excludeFollowingFlag;          /* 112 */
  char* lpszExcludeFollowing;            /* 116 */
  DZ_BOOL noDirectoryEntriesFlag;        /* 120 */
  DZ_BOOL includeSysHiddenFlag;          /* 124 */
  DZ_BOOL dontCompressTheseSuffixesFlag; /* 128 */
  char* lpszStoreSuffixes;               /* 132 */
  DZ_BOOL bDiagnostic;                   /* 136 */
  DZ_BOOL encryptFlag;                   /* 140 */
  char* lpszEncryptCode;                 /* 144 */
  DZ_MESSAGE_CALLBACK lpMessageDisplay;  /* 148 */
  void* lpMessageDisplayUserData;        /* 152 */
  uint16_t wMultiVolControl;             /* 156 */
  uint16_t wZipSubOptions;               /* 158 */
  MEMTOMEMBLOCK* lpMemBlock;             /* 160 */
  int32_t reserved164;                   /* 164: zero */
  DZ_RENAME_CALLBACK lpRenameProc;       /* 168 */
  void* lpRenameUserData;                /* 172 */
  char* lpszExtProgTitle;                /* 176 */
  int32_t passValue1;                    /* 180 */
  int32_t passValue2;                    /* 184 */
  DZ_BOOL largeZIPFilesFlag;             /* 188 */
  int32_t passValue3;                    /* 192 */
  uint8_t reserved196[24];               /* 196: zero */
} ZIPCMDSTRUCT;

/* Action codes. */
#define DZ_ACTION_ADD 4 /* pack the items into the archive */

/* Result codes: 0 only for success, one value for each failure. */
#define DZ_OK 0
#define DZ_ERR_BAD_RECORD 1       /* null record or wrong zipStructSize */
#define DZ_ERR_UNSUPPORTED 2      /* action code (or encryption) not supported */
#define DZ_ERR_NO_ITEM 3          /* the item list names no file */
#define DZ_ERR_ITEM_UNREADABLE 4  /* an item is missing, a folder or unreadable */
#define DZ_ERR_CANNOT_CREATE 5    /* no archive name, or the archive cannot be created */
#define DZ_ERR_WRITE 6            /* write failure or disk full */
#define DZ_ERR_TOO_LARGE 7        /* 4 GiB or more without largeZIPFilesFlag */
#define DZ_ERR_CANCELLED 8        /* a status handler asked to stop */
#define DZ_ERR_EXISTING_ARCHIVE 9 /* the archive already there cannot be read */
#define DZ_ERR_INTERNAL 10        /* out of memory or another unexpected failure */
#define DZ_ERR_UNSAFE_ARCHIVE 11  /* the archive already there fails a safety or integrity check */
#define DZ_ERR_CHUNK_CHECK 12     /* compressed data did not decompress to its input */

/* Message id of the engine's diagnostic lines: with bDiagnostic set they go to
 * lpMessageDisplay (message-box type 0, text in text1); the engine never prints. */
#define DZ_MSG_DIAGNOSTIC 1

/* A short English text for a result code, for messages shown to the user. */
static inline const char* DzipResultText(int32_t code) {
  switch (code) {
    case DZ_OK: return "no error";
    case DZ_ERR_BAD_RECORD: return "invalid command record";
    case DZ_ERR_UNSUPPORTED: return "action not supported";
    case DZ_ERR_NO_ITEM: return "nothing to pack";
    case DZ_ERR_ITEM_UNREADABLE: return "file to pack is missing or unreadable";
    case DZ_ERR_CANNOT_CREATE: return "archive cannot be created";
    case DZ_ERR_WRITE: return "write failure or disk full";
    case DZ_ERR_TOO_LARGE: return "file too large for a zip archive without large file support";
    case DZ_ERR_CANCELLED: return "cancelled";
    case DZ_ERR_EXISTING_ARCHIVE: return "existing archive cannot be read";
    case DZ_ERR_INTERNAL: return "internal engine error";
    case DZ_ERR_UNSAFE_ARCHIVE: return "existing archive is unsafe or damaged";
    case DZ_ERR_CHUNK_CHECK: return "compressed data failed its check";
    default: return "unknown engine error";
  }
}

typedef int32_t(DZ_CALL* DZ_DZIP_ENTRY)(ZIPCMDSTRUCT* command);

/* The entry, for programs linking the engine directly (its tests); the system
 * loads it at run time through DZ_DZIP_ENTRY. */
DZ_EXPORT int32_t DZ_CALL dzip(ZIPCMDSTRUCT* command);

/* The companion entry: why the calling thread's last dzip call failed, in one
 * English line ("cannot write /b/.vl.zip.x: No space left on device"); empty
 * after a success. The text stays valid until that thread calls dzip again.
 * Older engines lack it: a caller treats a missing entry as "no reason". */
typedef const char*(DZ_CALL* DZ_LAST_ERROR_ENTRY)(void);
DZ_EXPORT const char* DZ_CALL dzip_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* DZIP_H */
