/* Extension libraries: what a shared object in a program folder (file type
 * "dll" or "isa") exports and what the server hands it.
 *
 * The server loads the library once (it stays loaded), calls
 * GetExtensionVersion before each request and then HttpExtensionProc with a
 * control block describing the request.  The extension answers through the
 * block's callbacks: ServerSupportFunction(HSE_REQ_SEND_RESPONSE_HEADER)
 * for the status and header lines, WriteClient for the body.  It runs on
 * the connection's thread inside the server: a fault in it (SIGSEGV,
 * SIGBUS, SIGFPE, SIGILL) is reported and the server goes on, but nothing
 * stops it from damaging the server's memory before it faults.
 *
 * Build with: cc -shared -fPIC -o hello.dll hello.c
 */
#ifndef QUORVANE_EXTENSION_H
#define QUORVANE_EXTENSION_H

#include <errno.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HCONN;
typedef char* LPSTR;
typedef unsigned char* LPBYTE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define HSE_VERSION_MAJOR 1
#define HSE_VERSION_MINOR 0
#define HSE_LOG_BUFFER_LEN 80
#define HSE_MAX_EXT_DLL_NAME_LEN 256

/* HttpExtensionProc's results (the server does not act on them). */
#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_SUCCESS_AND_KEEP_CONN 2
#define HSE_STATUS_PENDING 3
#define HSE_STATUS_ERROR 4

/* ServerSupportFunction requests. */
#define HSE_REQ_SEND_URL_REDIRECT_RESP 1
#define HSE_REQ_SEND_URL 2
#define HSE_REQ_SEND_RESPONSE_HEADER 3
#define HSE_REQ_DONE_WITH_SESSION 4

/* GetServerVariable fails with this error (in errno, see GetLastError)
 * when the buffer cannot hold the value and its terminator; the size then
 * says how many bytes it needs. */
#define ERROR_INSUFFICIENT_BUFFER 122

/* The error of the last callback that failed. */
static inline DWORD GetLastError(void) {
    DWORD error = errno; /* errno is never negative */
    return error;
}

typedef struct _HSE_VERSION_INFO {
    DWORD dwExtensionVersion;
    char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO;

typedef struct _EXTENSION_CONTROL_BLOCK {
    DWORD cbSize;                   /* sizeof(EXTENSION_CONTROL_BLOCK) */
    DWORD dwVersion;                /* 1 */
    HCONN ConnID;                   /* pass it to every callback */
    DWORD dwHttpStatusCode;         /* 200; not read back */
    char lpszLogData[HSE_LOG_BUFFER_LEN];  /* not read back */
    LPSTR lpszMethod;
    LPSTR lpszQueryString;          /* as received, "" when none */
    LPSTR lpszPathInfo;             /* "" or starting with "/" */
    LPSTR lpszPathTranslated;       /* the path info's file, "" when none */
    DWORD cbTotalBytes;             /* the request body's length */
    DWORD cbAvailable;              /* all of it: lpbData holds the whole body */
    LPBYTE lpbData;
    LPSTR lpszContentType;

    /* Copies the variable's value and its terminator into the buffer when
     * *lpdwSize allows, else FALSE with ERROR_INSUFFICIENT_BUFFER and the
     * size needed in *lpdwSize.  Names are the page variables
     * (remote_addr, server_name, user_agent, ...), query_string,
     * GATEWAY_INTERFACE, PATH_INFO, PATH_TRANSLATED and, after a login,
     * auth_type, remote_user and auth_pass; case does not matter, and a
     * name finds the longest variable it begins with (REMOTE_ADDR finds
     * remote_addr).  An unknown name gives the empty text. */
    BOOL (*GetServerVariable)(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer, LPDWORD lpdwSize);
    /* Sends *lpdwBytes bytes of the reply. */
    BOOL (*WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
    /* The body is all in lpbData: sets *lpdwSize to 0. */
    BOOL (*ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
    /* HSE_REQ_SEND_RESPONSE_HEADER: lpvBuffer is the status ("302 Found"),
     * or NULL for "200 OK"; lpdwDataType points to the extension's own
     * header lines, sent when lpdwSize is given and not 0.  Other requests
     * are logged and do nothing. */
    BOOL (*ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer, LPDWORD lpdwSize,
                                  LPDWORD lpdwDataType);
} EXTENSION_CONTROL_BLOCK;

/* What an extension exports. */
BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB);

#ifdef __cplusplus
}
#endif

#endif
