/* An extension library for the gateway tests.  The query string picks what
 * it does:
 *   vars     report server variables, asking for each as extensions do
 *            (too small a buffer first, then the size the server names)
 *   post     echo the body from lpbData and ReadClient, with its length
 *   status   a 302 with a Location line of its own
 *   crash    write "partial", then store through a null pointer
 *   recurse  recurse until the stack runs out
 *   fpe      divide by zero
 *   (other)  "hello" */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/extension.h"

BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer) {
    pVer->dwExtensionVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
    strcpy(pVer->lpszExtensionDesc, "test extension");
    return TRUE;
}

static void write(EXTENSION_CONTROL_BLOCK* ecb, const char* text) {
    DWORD length = (DWORD)strlen(text);
    ecb->WriteClient(ecb->ConnID, (LPVOID)text, &length, 0);
}

static void header(EXTENSION_CONTROL_BLOCK* ecb, const char* status, const char* lines) {
    DWORD size = (DWORD)strlen(lines);
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, (LPVOID)status, &size, (LPDWORD)lines);
}

static void reportVariable(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
    char line[600];
    DWORD size = 0;
    BOOL first = ecb->GetServerVariable(ecb->ConnID, (LPSTR)name, NULL, &size);
    DWORD error = GetLastError(), needed = size;
    char* value = malloc(needed);
    DWORD exact = needed - 1; /* room for the value, not its terminator */
    BOOL tooSmall = ecb->GetServerVariable(ecb->ConnID, (LPSTR)name, value, &exact);
    size = needed;
    BOOL got = ecb->GetServerVariable(ecb->ConnID, (LPSTR)name, value, &size);
    snprintf(line, sizeof line, "%s=%s first=%d error=%u needed=%u tooSmall=%d got=%d\n", name, got ? value : "?",
             first, (unsigned)error, (unsigned)needed, tooSmall, got);
    free(value);
    write(ecb, line);
}

/* Ends only when the stack does; the bound hides that from the compiler. */
static int depth(int n) {
    volatile char pad[256];
    pad[0] = (char)n;
    return n < 0 ? 0 : depth(n + 1) + pad[0];
}

static void echoPost(EXTENSION_CONTROL_BLOCK* ecb) {
    char line[64];
    char piece[16];
    DWORD size = sizeof piece;
    BOOL more = ecb->ReadClient(ecb->ConnID, piece, &size);
    snprintf(line, sizeof line, "total=%u available=%u read=%d:%u\n", (unsigned)ecb->cbTotalBytes,
             (unsigned)ecb->cbAvailable, more, (unsigned)size);
    header(ecb, NULL, "Content-Type: text/plain\r\n\r\n");
    write(ecb, line);
    DWORD length = ecb->cbAvailable;
    ecb->WriteClient(ecb->ConnID, ecb->lpbData, &length, 0);
}

DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
    const char* q = ecb->lpszQueryString;
    if (strcmp(q, "vars") == 0) {
        header(ecb, NULL, "Content-Type: text/plain\r\n");
        const char* names[] = {"REMOTE_ADDR", "SERVER_NAME", "HTTP_ACCEPT", "REMOTE_USER", "QUERY_STRING", "PATH_INFO"};
        for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) reportVariable(ecb, names[i]);
    } else if (strcmp(q, "post") == 0) {
        echoPost(ecb);
    } else if (strcmp(q, "status") == 0) {
        header(ecb, "302 Found", "Location: /moved.htm\r\n\r\n");
    } else if (strcmp(q, "crash") == 0) {
        header(ecb, NULL, "Content-Type: text/plain\r\n");
        write(ecb, "partial");
        *(volatile int*)0 = 1;
    } else if (strcmp(q, "recurse") == 0) {
        write(ecb, "deep");
        return (DWORD)depth(0);
    } else if (strcmp(q, "fpe") == 0) {
        volatile int zero = 0;
        return (DWORD)(10 / zero);
    } else {
        header(ecb, NULL, "Content-Type: text/plain\r\n");
        write(ecb, "hello");
    }
    return HSE_STATUS_SUCCESS;
}
