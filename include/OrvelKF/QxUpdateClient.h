/*
 * The C interface of the update client library "QxUpdate.dll".
 *
 * The library (libOrvelKF) loads the update client at run time and binds the
 * 45 entry points below by name, in the order in which they are declared here
 * (the binding order). The client is an ELF shared object whose file name is
 * "QxUpdate.dll"; every entry point has C linkage, catches every exception and
 * answers with a code.
 *
 * Layers of the client (updateclient/), from the outside in:
 *   Exports.cpp        the 45 entry points: argument checks, exception barrier
 *   Settings           properties, contexts and the loader's folders
 *   UpdateSession      one QxuUpdateEx call: index, item matching, downloads
 *   WorkFolder         trusted keys, remembered serials, the index cache
 *   Transfer           libcurl: http, https, file://, proxies, retries, resume
 *   StagedFile         hashed writes into temporaries, renamed when verified
 *   feed/              index format, Ed25519, zstd deltas (shared with
 *                      kitefeed-publish)
 * The feed format itself is described in updateclient/FEED.md.
 *
 * Field order of the records is fixed; on 64-bit Linux
 * pointers are 8 bytes and the natural alignment applies, so the
 * sizes differ from a 32-bit build (use sizeof, never a literal).
 *
 * Result codes are stable: new codes are appended, none is ever renumbered.
 */
#ifndef ORVELKF_QXUPDATECLIENT_H
#define ORVELKF_QXUPDATECLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is exported by the client (see cmake/OrvelTargets.cmake). */
#pragma GCC visibility push(default)

/* ---- Result codes (the int result of the entry points) ------------------- */

#define QXU_OK 0                     /* done; QxuUpdateEx: items updated or newer found */
#define QXU_E_INVALID_ARGUMENT 1     /* a null or out-of-range argument */
#define QXU_E_INTERNAL 2             /* unexpected internal failure (out of memory, ...) */
#define QXU_E_NOT_SUPPORTED 3        /* this entry point is not supported by this client */
#define QXU_UP_TO_DATE 4             /* nothing newer than the current versions */
#define QXU_E_BAD_URL 5              /* source URL without http://, https:// or file:// */
#define QXU_E_CONNECT 6              /* the server cannot be resolved or refuses connections */
#define QXU_E_PROXY 7                /* the proxy cannot be reached or fails the request */
#define QXU_E_PROXY_AUTH 8           /* the proxy refused the credentials */
#define QXU_E_TLS 9                  /* TLS failed, or a redirect would leave https */
#define QXU_E_CANCELLED 10           /* the progress callback answered 0 */
#define QXU_E_CONNECT_TIMEOUT 11     /* no connection within "SocketTimeoutConnect" */
#define QXU_E_TRANSFER 12            /* the connection broke during a transfer */
#define QXU_E_NO_TRUSTED_KEY 13      /* the working folder holds no trusted feed key */
#define QXU_E_BAD_SIGNATURE 14       /* the index signature does not verify */
#define QXU_E_UNKNOWN_KEY 15         /* the index is signed by a key that is not trusted */
#define QXU_E_INDEX_EXPIRED 16       /* the index is past its expiry time */
#define QXU_E_INDEX_REPLAYED 17      /* the index serial is older than one already seen */
#define QXU_E_INDEX_TOO_LARGE 18     /* the index is larger than the size cap */
#define QXU_E_INDEX_FORMAT 19        /* the index is not in the feed format */
#define QXU_E_FILE_SIZE 20           /* a file is longer or shorter than the index declares */
#define QXU_E_FILE_DIGEST 21         /* a file's SHA-256 differs from the index (tampered) */
#define QXU_E_DEST_FOLDER 22         /* the destination folder does not exist or is no folder */
#define QXU_E_WRITE 23               /* a file cannot be written or renamed in the destination */
#define QXU_E_WORK_FOLDER 24         /* the working folder is not set or its state unusable */
#define QXU_E_INVALID_CONTEXT 25     /* the context handle was not made by QxuCreateContext */
#define QXU_E_TRANSFER_TIMEOUT 26    /* no byte within "SocketTimeout", or below the rate floor */
#define QXU_E_KEY_FORMAT 27          /* a trusted key text is not an Ed25519 public key */
#define QXU_E_HTTP_STATUS 28         /* error status or item/file not found; see detail */
#define QXU_E_KEY_NOT_FOUND 29       /* no trusted key with that id or index */
#define QXU_E_BUFFER_TOO_SMALL 30    /* the text did not fit; the buffer holds a cut copy */
#define QXU_E_MERGE 46               /* an incremental pattern did not merge (result digest) */
#define QXU_E_WRONG_FEED 47          /* the index names another feed than "FeedName" */

/*
 * Detail codes (second word of QxuErrorInfo): (result << 16) | particular.
 * For QXU_E_HTTP_STATUS the particular is the HTTP status, and 404 is also
 * used when the index does not list an item or a file:// source lacks a file:
 * 0x1C0194 means "not found". For transport failures it is the libcurl
 * error number, for file system failures the errno value, otherwise 0.
 */
#define QXU_DETAIL(result, particular) \
  ((((unsigned int)(result)) << 16) | (((unsigned int)(particular)) & 0xFFFFu))
#define QXU_DETAIL_NOT_FOUND 0x1C0194u

/* ---- Update option word (uiUpdateOption of QxuUpdateEx) ------------------ */

#define QXU_OPTION_DEFAULT 0x2u        /* set by the library; no further effect */
#define QXU_OPTION_SOCKS_PROXY 0x10000u /* the proxy is SOCKS5 (else HTTP) */
#define QXU_OPTION_HTTPS 0x780000u     /* HTTPS source; certificate checks are always on */

/* ---- Item option (uiOption of tag_ItemInfo) ------------------------------- */

#define QXU_ITEM_INCREMENTAL 0u  /* a delta from the staged current version may be used */
#define QXU_ITEM_FULL 1u         /* full files only */
#define QXU_ITEM_QUERY 2u        /* version query: fill stResult, download nothing */

/* ---- Item classes --------------------------------------------------------- */

#define QXU_CLASS_VERSIONED 2u /* engines: three-word version */
#define QXU_CLASS_NUMBERED 3u  /* patterns: the number in the first word */

/* ---- Records -------------------------------------------------------------- */

/* A version: three words for class 2 (major, minor, build); for class 3 the
 * pattern number is in uiMajor and the other words are 0. */
typedef struct tag_QxuVersionBuild {
  unsigned int uiMajor;
  unsigned int uiMinor;
  unsigned int uiBuild;
} QxuVersionBuild;

/* Where an item's files go. Only szPath is used; the others are zero/empty. */
typedef struct tag_DestInfo {
  const char* szPath;      /* destination folder ("\" or "/" separators) */
  const char* szReserved1; /* empty text */
  const char* szReserved2; /* empty text */
  unsigned int uiReserved1;
  unsigned int uiReserved2;
} DestInfo;

/* Where to fetch from. Texts may be empty, never need to be non-null except
 * source. */
typedef struct tag_SourceInfo {
  const char* source;         /* feed URL: http://, https:// or file:// */
  unsigned int port;          /* 0: the URL's own port; else replaces it */
  const char* user;           /* server credentials (HTTP basic), used as a pair */
  const char* password;
  const char* proxy_user;     /* proxy credentials, used when proxy_user is not empty */
  const char* proxy_password;
  const char* proxy;          /* proxy host (or scheme://host) */
  unsigned int proxy_enable;  /* non-zero: use the proxy */
  unsigned int proxy_port;    /* 0: 1080 for SOCKS, 80 for HTTP */
  unsigned int uiRecordVersion; /* the library sets 1 */
  unsigned int uiReserved;
} SourceInfo;

/* One download item. Zeroed by the caller; the client writes stResult and
 * uses abClientData for nothing (it stays zero). */
typedef struct tag_ItemInfo {
  unsigned int uiClass;       /* QXU_CLASS_VERSIONED or QXU_CLASS_NUMBERED */
  unsigned int uiItemId;      /* item identifier */
  unsigned int uiOption;      /* QXU_ITEM_INCREMENTAL, QXU_ITEM_FULL or QXU_ITEM_QUERY */
  DestInfo* pDest;            /* destination; null in a version query */
  QxuVersionBuild stCurrent;  /* version the caller has now */
  QxuVersionBuild stResult;   /* version after the call (written by the client) */
  unsigned int uiLanguage;    /* language bit (1 English, 4 Japanese, ...) */
  unsigned int uiPlatform;    /* 0x101 Linux, 0x202 Solaris, 1 Win32 */
  unsigned int uiReserved1;
  unsigned int uiReserved2;
  unsigned char abClientData[2344];
  unsigned int uiReserved3;
} tag_ItemInfo;

/* The error record filled by QxuGetLastError (1040 bytes). */
typedef struct tag_QxuErrorInfo {
  unsigned int uiResult;  /* result code of the last failure */
  unsigned int uiDetail;  /* detail code, see QXU_DETAIL */
  char szText[1032];      /* English description with particulars, NUL-terminated */
} QxuErrorInfo;

/* Called as bytes of a file arrive: uiItem is the index of the item in the
 * array, ullDone and ullTotal count the bytes of the file being fetched
 * (ullTotal 0 when unknown). Returning 0 cancels the call (QXU_E_CANCELLED). */
typedef int (*QxuProgressCallback)(unsigned int uiItem, unsigned long long ullDone,
                                   unsigned long long ullTotal, void* pUserData);

/* An opaque context made by QxuCreateContext. */
typedef void* QxuContext;

/* ---- Entry points, in binding order --------------------------------------
 * "Not supported" entry points return QXU_E_NOT_SUPPORTED and do nothing. */

/* 1: the client's version text ("1.0.0"); never null. */
const char* QxuGetVersion(void);
/* 2: not supported (use QxuUpdateEx). */
int QxuUpdate(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
              unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData);
/* 3: not supported. */
int QxuDuplicate(const char* pszSource, const char* pszDestFolder);
/* 4: not supported. */
int QxuRollback(tag_ItemInfo* pItem);
/* 5: not supported. */
int QxuIsRollbackable(const tag_ItemInfo* pItem);
/* 6: the text of a result code into the buffer (cut to fit, NUL-terminated);
 * Japanese (UTF-8) when "MsgCodePage" was last set to "932". Returns the
 * length written, 0 when the buffer is null or iSize < 1. */
int QxuGetErrorString(int iCode, char* pszBuffer, int iSize);
/* 7: process-wide property. Returns non-zero when accepted, 0 when refused.
 * "KiteFeedLib_FromLoader" and "KiteFeedPath_FromLoader" (existing folders),
 * and every context property, which then becomes the default of new contexts. */
int QxuSetProperty(const char* pszName, const char* pszValue);
/* 8: not supported. */
int QxuGetConfig(const char* pszKey, char* pszValue, int iSize);
/* 9: not supported. */
int QxuSetConfig(const char* pszKey, const char* pszValue);
/* 10: not supported. */
int QxuGetRollbackInfo(tag_ItemInfo* pItem);
/* 11: the source URL of the last QxuUpdateEx of this process (empty when
 * there was none). QXU_E_BUFFER_TOO_SMALL when it had to be cut. */
int QxuGetServer(char* pszBuffer, int iSize);
/* 12: "major.minor" of a value made by QxuMakeVersion. */
int QxuMakeVersionString(unsigned int uiVersion, char* pszBuffer, int iSize);
/* 13: "major.minor" (each 0..65535) into (major << 16) | minor. */
int QxuMakeVersion(const char* pszVersion, unsigned int* puiVersion);
/* 14: removes the cached indexes of every source from the working folder. */
int QxuClearCache(void);
/* 15 to 21: not supported. */
int QxuGetPatternVer(unsigned int uiItemId, unsigned int* puiVersion);
int QxuGetEngineVer(unsigned int uiItemId, QxuVersionBuild* pVersion);
int QxuGetPatternVerEx(unsigned int uiItemId, unsigned int uiPlatform, unsigned int* puiVersion,
                       QxuContext pContext);
int QxuGetEngineVerEx(unsigned int uiItemId, unsigned int uiPlatform, QxuVersionBuild* pVersion,
                      QxuContext pContext);
int CreateServerIni(const char* pszPath);
int QxuGetPatchInfo(tag_ItemInfo* pItem, char* pszBuffer, int iSize);
int SetImpersonateHandle(void* hToken);
/* 22: a new context with the process-wide property values; null on failure.
 * The argument is reserved (0). */
QxuContext QxuCreateContext(unsigned int uiReserved);
/* 23: releases a context. Returns 0, or QXU_E_INVALID_CONTEXT. */
int QxuReleaseContext(QxuContext pContext);
/* 24: "major.minor.build" of three words into the buffer. */
int QxuMakeVersionBuildString(unsigned int uiMajor, unsigned int uiMinor, unsigned int uiBuild,
                              char* pszBuffer, int iSize);
/* 25: the three-word value of a version text ("8.700.1004"; missing or
 * non-numeric parts count as 0; "." and "-" separate). */
QxuVersionBuild QxuMakeVersionBuild(const char* pszVersion);
/* 26: fetches the items from the source. Results: QXU_OK (at least one item
 * updated, or in a query at least one newer version found), QXU_UP_TO_DATE,
 * or a failure code; QxuGetLastError then tells the detail. After QXU_OK and
 * QXU_UP_TO_DATE stResult of every item listed by the feed is filled in. */
int QxuUpdateEx(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
                unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData,
                QxuContext pContext);
/* 27 to 29: not supported. */
int QxuGetRollbackInfoEx(tag_ItemInfo* pItem, QxuContext pContext);
int QxuRollbackEx(tag_ItemInfo* pItem, QxuContext pContext);
int QxuGetPatchInfoEx(tag_ItemInfo* pItem, char* pszBuffer, int iSize, QxuContext pContext);
/* 30: sets a context property. Non-zero: accepted; 0: refused. */
int QxuSetPropertyEx(const char* pszName, const char* pszValue, QxuContext pContext);
/* 31: reads a context property into the buffer. Non-zero: done; 0: unknown
 * name, bad context or buffer too small. */
int QxuGetPropertyEx(const char* pszName, char* pszBuffer, int iSize, QxuContext pContext);
/* 32: trusts an Ed25519 public key given as 64 hexadecimal digits. */
int QxuAddTrusted(const char* pszKey);
/* 33: stops trusting the key with that id (64 hex digits, see FEED.md). */
int QxuDelTrusted(const char* pszKeyId);
/* 34: the id of the uiIndex-th trusted key (ascending); QXU_E_KEY_NOT_FOUND
 * past the end. */
int QxuEnumTrustedInfo(unsigned int uiIndex, char* pszKeyId, int iSize);
/* 35: writes "id key" lines of every trusted key to the file. */
int QxuDmpTrusted(const char* pszFile);
/* 36: removes the cached index of one source URL. */
int QxuClearCacheEx(const char* pszSource);
/* 37: the last failure of the context into the record. */
int QxuGetLastError(QxuErrorInfo* pError, QxuContext pContext);
/* 38 to 45: not supported. */
int QxuDuplicateEx(const char* pszSource, const char* pszDestFolder, QxuContext pContext);
int QxuGetUpdateInfo(tag_ItemInfo* pItems, unsigned int uiCount, QxuContext pContext);
int QxuGetServerInfo(char* pszBuffer, int iSize, QxuContext pContext);
int QxuMakeZiranPtnVersion(const char* pszVersion, unsigned int* puiNumber);
int QxuMakeZiranPtnVersionString(unsigned int uiNumber, char* pszBuffer, int iSize);
int QxuReloadSetting(QxuContext pContext);
int QxuGetIncrementalInfo(const tag_ItemInfo* pItem, QxuContext pContext);
int QxuUnpublished(void);

#pragma GCC visibility pop

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORVELKF_QXUPDATECLIENT_H */
