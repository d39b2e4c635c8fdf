/* The extension library bench/extension_compare.sh measures: a plain-text
   reply of exactly 1 KiB, its header sent with
   ServerSupportFunction(HSE_REQ_SEND_RESPONSE_HEADER) and its body with one
   WriteClient.  The script builds it with
       cc -O2 -shared -fPIC -I<repository root> -o hello.dll hello_extension.c
   and serves the same 1 KiB as a static file to compare with.

   The body: 16 lines of 64 bytes, line k (0 to 15) being 63 times the
   letter 'a' + k and a newline; the script writes the same bytes. */
#include <string.h>

#include "engine/extension.h"

enum { kLines = 16, kLineLength = 64, kBodyLength = kLines * kLineLength };

static char body[kBodyLength];

/* Filled once, when the library is loaded, before any thread calls in. */
__attribute__((constructor)) static void fillBody(void) {
    for (int k = 0; k < kLines; ++k) {
        memset(body + k * kLineLength, 'a' + k, kLineLength - 1);
        body[k * kLineLength + kLineLength - 1] = '\n';
    }
}

BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
    version->dwExtensionVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
    strcpy(version->lpszExtensionDesc, "bench hello");
    return TRUE;
}

DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
    char status[] = "200 OK";
    char lines[] = "Content-Type: text/plain\r\n";
    DWORD linesSize = (DWORD)strlen(lines);
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, &linesSize, (LPDWORD)lines);
    DWORD length = kBodyLength;
    if (!ecb->WriteClient(ecb->ConnID, body, &length, 0)) return HSE_STATUS_ERROR;
    return HSE_STATUS_SUCCESS;
}
