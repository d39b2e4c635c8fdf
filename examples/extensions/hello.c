/* A sample extension library: greets the visitor by address and echoes the
 * query string.  CMake builds it as build/examples/hello.dll, which the
 * sample site serves as /ext/hello.dll. */
#include <stdio.h>
#include <string.h>

#include "engine/extension.h"

BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
    version->dwExtensionVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
    strcpy(version->lpszExtensionDesc, "Sample greeting");
    return TRUE;
}

/* Sends text; WriteClient takes a buffer it may not keep, so pieces are
 * copied into one of ours. */
static void write(EXTENSION_CONTROL_BLOCK* ecb, const char* text) {
    char piece[256];
    for (size_t left = strlen(text); left > 0;) {
        DWORD length = (DWORD)(left < sizeof piece ? left : sizeof piece);
        memcpy(piece, text, length);
        ecb->WriteClient(ecb->ConnID, piece, &length, 0);
        text += length;
        left -= length;
    }
}

/* Sends text with &, < and > escaped. */
static void writeEscaped(EXTENSION_CONTROL_BLOCK* ecb, const char* text) {
    for (; *text; ++text) {
        char one[2] = {*text, '\0'};
        write(ecb, *text == '&' ? "&amp;" : *text == '<' ? "&lt;" : *text == '>' ? "&gt;" : one);
    }
}

DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
    char address[64];
    DWORD size = sizeof address;
    char name[] = "REMOTE_ADDR";
    if (!ecb->GetServerVariable(ecb->ConnID, name, address, &size)) strcpy(address, "somebody");
    DWORD headerSize = 1;
    char status[] = "200 OK";
    char lines[] = "Cache-Control: no-cache\r\n";
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, &headerSize, (LPDWORD)lines);
    write(ecb, "<html><head><title>Hello from an extension</title></head><body>\n<h1>Hello, ");
    writeEscaped(ecb, address);
    write(ecb, "!</h1>\n<p>This page was made by an extension library running inside the server.</p>\n<p>Query: <code>");
    writeEscaped(ecb, ecb->lpszQueryString);
    write(ecb, "</code></p>\n<p><a href=\"/programs.htm\">Back to the programs page</a></p>\n</body></html>\n");
    return HSE_STATUS_SUCCESS;
}
