/* com_echo: a Win32 console program that uses a COM port as Windows serial software
 * does, for the Wine test (scripts/wine-test.sh). It opens the port, sets the line with
 * SetCommState (8N1 at the given rate), writes the text, reads the device's echo,
 * purges and closes, and prints one line per step. It also tries the modem-line calls
 * and reports what they answered, without failing on them.
 *
 *   com_echo.exe COM5 9600 hello
 *
 * Exit status 0 when every required step worked and the echo came back whole. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char *step) {
    printf("FAIL %s (error %lu)\n", step, (unsigned long)GetLastError());
    return 1;
}

static void tryModemLines(HANDLE port) {
    DWORD status = 0;
    if (GetCommModemStatus(port, &status))
        printf("INFO GetCommModemStatus 0x%02lx\n", (unsigned long)status);
    else
        printf("INFO GetCommModemStatus failed (error %lu)\n", (unsigned long)GetLastError());
    if (EscapeCommFunction(port, SETDTR))
        printf("INFO EscapeCommFunction SETDTR ok\n");
    else
        printf("INFO EscapeCommFunction SETDTR failed (error %lu)\n",
               (unsigned long)GetLastError());
}

/* Reads until the whole text came back or nothing more arrives within the timeouts. */
static DWORD readEcho(HANDLE port, char *buffer, DWORD wanted) {
    DWORD total = 0;
    for (int tries = 0; tries < 10 && total < wanted; ++tries) {
        DWORD got = 0;
        if (!ReadFile(port, buffer + total, wanted - total, &got, NULL))
            return total;
        total += got;
    }
    return total;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        printf("usage: com_echo COMn BAUD TEXT\n");
        return 2;
    }
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    DWORD baud = (DWORD)strtoul(argv[2], NULL, 10);
    const char *text = argv[3];
    DWORD length = (DWORD)strlen(text);

    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return fail("CreateFile");
    printf("OK open %s\n", argv[1]);

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return fail("GetCommState");
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(port, &dcb))
        return fail("SetCommState");
    DCB check;
    memset(&check, 0, sizeof check);
    check.DCBlength = sizeof check;
    if (!GetCommState(port, &check) || check.BaudRate != baud || check.ByteSize != 8 ||
        check.Parity != NOPARITY || check.StopBits != ONESTOPBIT)
        return fail("GetCommState after SetCommState");
    printf("OK SetCommState %lu 8N1\n", (unsigned long)baud);

    COMMTIMEOUTS timeouts = {0};
    timeouts.ReadIntervalTimeout = 200;
    timeouts.ReadTotalTimeoutConstant = 2000;
    timeouts.WriteTotalTimeoutConstant = 2000;
    if (!SetCommTimeouts(port, &timeouts))
        return fail("SetCommTimeouts");

    tryModemLines(port);

    DWORD written = 0;
    if (!WriteFile(port, text, length, &written, NULL) || written != length)
        return fail("WriteFile");
    printf("OK wrote %lu bytes\n", (unsigned long)written);

    char echo[512];
    if (length >= sizeof echo)
        return fail("text too long");
    DWORD got = readEcho(port, echo, length);
    echo[got] = 0;
    if (got != length || memcmp(echo, text, length) != 0) {
        printf("FAIL echo: got %lu bytes '%s'\n", (unsigned long)got, echo);
        return 1;
    }
    printf("OK echo '%s'\n", echo);

    if (!PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR))
        return fail("PurgeComm");
    printf("OK purge\n");
    if (!CloseHandle(port))
        return fail("CloseHandle");
    printf("OK close\n");
    return 0;
}
