/* com_modem: a Win32 console program that uses a COM port's modem lines and line settings
 * as event-driven Windows serial software does, for the Wine test (scripts/wine-test.sh)
 * with the preload library in front of Wine. The device behind the port wires its lines
 * back as a loopback plug does (vorlix-sim --loopback-lines): RTS drives CTS, DTR drives
 * DSR and DCD (RLSD).
 *
 *   com_modem.exe COM5     the steps below; exit status 0 when every one worked
 *   com_modem.exe COM6     only the open; prints its error when it fails
 *
 * 1. CreateFile (overlapped); GetCommModemStatus shows CTS, DSR and RLSD (DTR and RTS
 *    are raised at the open).
 * 2. EscapeCommFunction CLRDTR: DSR and RLSD drop; SETDTR: they come back.
 * 3. SetCommState 9600 7E1, read back with GetCommState.
 * 4. WaitCommEvent for EV_CTS, pending until EscapeCommFunction CLRRTS drops CTS.
 * 5. WaitCommEvent for EV_RXCHAR, pending until the device's echo of a write arrives;
 *    the echo is read back whole. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const DWORD ALL_LINES = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;

static int fail(const char* step) {
    printf("FAIL %s (error %lu)\n", step, (unsigned long)GetLastError());
    return 1;
}

/* Waits (up to 5 s) until the modem status is exactly wanted. */
static int statusBecomes(HANDLE port, DWORD wanted) {
    DWORD status = 0;
    for (int tries = 0; tries < 500; ++tries) {
        if (!GetCommModemStatus(port, &status))
            return 0;
        if ((status & ALL_LINES) == wanted)
            return 1;
        Sleep(10);
    }
    printf("INFO modem status 0x%02lx, wanted 0x%02lx\n", (unsigned long)status,
           (unsigned long)wanted);
    return 0;
}

/* An overlapped operation's end, up to 5 s. */
static int finished(HANDLE port, OVERLAPPED* overlapped, DWORD* count) {
    if (WaitForSingleObject(overlapped->hEvent, 5000) != WAIT_OBJECT_0)
        return 0;
    return GetOverlappedResult(port, overlapped, count, FALSE);
}

/* Starts WaitCommEvent for mask; it must stay pending until act() makes it happen. */
static int eventAfter(HANDLE port, DWORD mask, int (*act)(HANDLE), DWORD* events) {
    OVERLAPPED overlapped = {0};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    *events = 0;
    if (!SetCommMask(port, mask))
        return 0;
    if (WaitCommEvent(port, events, &overlapped)) {
        printf("INFO WaitCommEvent returned at once with 0x%lx\n", (unsigned long)*events);
        return 0;
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    DWORD count = 0;
    int happened = act(port) && finished(port, &overlapped, &count);
    CloseHandle(overlapped.hEvent);
    return happened;
}

static int dropRts(HANDLE port) {
    return EscapeCommFunction(port, CLRRTS);
}

static const char echoText[] = "ping";

static int writeEcho(HANDLE port) {
    OVERLAPPED overlapped = {0};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD written = 0;
    int done = WriteFile(port, echoText, sizeof echoText - 1, &written, &overlapped) ||
               (GetLastError() == ERROR_IO_PENDING && finished(port, &overlapped, &written));
    CloseHandle(overlapped.hEvent);
    return done && written == sizeof echoText - 1;
}

static int readEcho(HANDLE port) {
    char answer[sizeof echoText] = {0};
    DWORD total = 0;
    for (int tries = 0; tries < 10 && total < sizeof echoText - 1; ++tries) {
        OVERLAPPED overlapped = {0};
        overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD got = 0;
        if (!ReadFile(port, answer + total, sizeof echoText - 1 - total, &got, &overlapped) &&
            !(GetLastError() == ERROR_IO_PENDING && finished(port, &overlapped, &got)))
            got = 0;
        CloseHandle(overlapped.hEvent);
        total += got;
    }
    return total == sizeof echoText - 1 && memcmp(answer, echoText, total) == 0;
}

static int lineSteps(HANDLE port) {
    if (!statusBecomes(port, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON))
        return fail("GetCommModemStatus after the open");
    printf("OK GetCommModemStatus CTS DSR RLSD\n");
    if (!EscapeCommFunction(port, CLRDTR) || !statusBecomes(port, MS_CTS_ON))
        return fail("EscapeCommFunction CLRDTR");
    printf("OK EscapeCommFunction CLRDTR: DSR and RLSD dropped\n");
    if (!EscapeCommFunction(port, SETDTR) ||
        !statusBecomes(port, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON))
        return fail("EscapeCommFunction SETDTR");
    printf("OK EscapeCommFunction SETDTR: DSR and RLSD back\n");
    return 0;
}

static int settingSteps(HANDLE port) {
    DCB dcb = {0};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return fail("GetCommState");
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = TRUE;
    if (!SetCommState(port, &dcb))
        return fail("SetCommState 7E1");
    DCB check = {0};
    check.DCBlength = sizeof check;
    if (!GetCommState(port, &check) || check.ByteSize != 7 || check.Parity != EVENPARITY ||
        check.StopBits != ONESTOPBIT || check.BaudRate != 9600)
        return fail("GetCommState after SetCommState 7E1");
    printf("OK SetCommState 7E1 read back\n");
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0}; /* reads return what is there */
    if (!SetCommTimeouts(port, &timeouts))
        return fail("SetCommTimeouts");
    return 0;
}

static int eventSteps(HANDLE port) {
    DWORD events = 0;
    if (!eventAfter(port, EV_CTS, dropRts, &events) || events != EV_CTS)
        return fail("WaitCommEvent EV_CTS");
    printf("OK WaitCommEvent EV_CTS after CLRRTS\n");
    if (!EscapeCommFunction(port, SETRTS) ||
        !statusBecomes(port, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON))
        return fail("EscapeCommFunction SETRTS");
    if (!eventAfter(port, EV_RXCHAR, writeEcho, &events) || events != EV_RXCHAR)
        return fail("WaitCommEvent EV_RXCHAR");
    if (!readEcho(port))
        return fail("reading the echo");
    printf("OK WaitCommEvent EV_RXCHAR, echo '%s' read\n", echoText);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        printf("usage: com_modem COMn\n");
        return 2;
    }
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return fail("CreateFile");
    printf("OK open %s\n", argv[1]);
    int status = lineSteps(port);
    if (!status)
        status = settingSteps(port);
    if (!status)
        status = eventSteps(port);
    if (!CloseHandle(port))
        return fail("CloseHandle");
    if (!status)
        printf("OK close\n");
    return status;
}
