/* com_lines: what a Win32 program gets from the modem-line, event and break calls on a COM
 * port under Wine, for the Wine test (scripts/wine-test.sh). It fails on nothing but the
 * open: it prints one line per call with what the call answered (its error, how long it
 * took), and after each step writes a 16-byte marker and reads its echo, so that the
 * device's log shows which frames, if any, each step gave.
 *
 *   com_lines.exe COM5
 *
 * 1. SetCommState with fDtrControl and fRtsControl DISABLE, then ENABLE.
 * 2. WaitCommEvent (overlapped) for the modem events, and for EV_CTS with EV_RXCHAR.
 * 3. WaitCommEvent for EV_RXCHAR alone with nothing to read: does it stay pending, and
 *    how does it end; then with the marker's echo waiting to be read.
 * 4. SetCommBreak, 100 ms, ClearCommBreak. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

enum { MARKER_SIZE = 16, WAIT_LIMIT_MS = 1500 };

static double frequency;

static double nowMs(void) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / frequency;
}

/* An overlapped operation's end, within limitMs; 1 when it ended. */
static int ended(HANDLE port, OVERLAPPED* overlapped, DWORD limitMs, DWORD* count, DWORD* error) {
    *error = 0;
    if (WaitForSingleObject(overlapped->hEvent, limitMs) != WAIT_OBJECT_0)
        return 0;
    if (!GetOverlappedResult(port, overlapped, count, FALSE))
        *error = GetLastError();
    return 1;
}

static DWORD transfer(HANDLE port, char* bytes, DWORD size, BOOL write) {
    OVERLAPPED overlapped = {0};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD count = 0, error = 0;
    BOOL done = write ? WriteFile(port, bytes, size, &count, &overlapped)
                      : ReadFile(port, bytes, size, &count, &overlapped);
    if (!done &&
        (GetLastError() != ERROR_IO_PENDING || !ended(port, &overlapped, 2000, &count, &error))) {
        CancelIo(port);
        count = 0;
    }
    CloseHandle(overlapped.hEvent);
    return count;
}

/* The marker goes out and its echo is read back whole (reads return at once). */
static void marker(HANDLE port, const char* text) {
    char bytes[MARKER_SIZE + 1];
    char echo[MARKER_SIZE + 1] = {0};
    snprintf(bytes, sizeof bytes, "%-16s", text);
    DWORD written = transfer(port, bytes, MARKER_SIZE, TRUE);
    DWORD total = 0;
    double end = nowMs() + 2000;
    while (total < MARKER_SIZE && nowMs() < end) {
        DWORD got = transfer(port, echo + total, MARKER_SIZE - total, FALSE);
        total += got;
        if (!got)
            Sleep(5);
    }
    printf("     marker '%s': wrote %lu, echo %lu bytes%s\n", bytes, (unsigned long)written,
           (unsigned long)total, total == MARKER_SIZE && !memcmp(echo, bytes, total) ? "" : " (!)");
}

static void result(const char* what, BOOL ok) {
    if (ok)
        printf("INFO %s: success\n", what);
    else
        printf("INFO %s: error %lu\n", what, (unsigned long)GetLastError());
}

static void lineControl(HANDLE port, DWORD dtr, DWORD rts, const char* what) {
    DCB dcb = {0};
    dcb.DCBlength = sizeof dcb;
    BOOL ok = GetCommState(port, &dcb);
    if (ok) {
        dcb.fDtrControl = dtr;
        dcb.fRtsControl = rts;
        ok = SetCommState(port, &dcb);
    }
    result(what, ok);
    DWORD status = 0;
    if (GetCommModemStatus(port, &status))
        printf("     GetCommModemStatus 0x%02lx\n", (unsigned long)status);
    else
        printf("     GetCommModemStatus: error %lu\n", (unsigned long)GetLastError());
}

/* WaitCommEvent for mask: at once, pending and ended within WAIT_LIMIT_MS (how, when), or
 * still pending (then ended by SetCommMask(0), as a program does). */
static void waitEvent(HANDLE port, DWORD mask, const char* what) {
    OVERLAPPED overlapped = {0};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0, count = 0, error = 0;
    if (!SetCommMask(port, mask)) {
        result(what, FALSE);
        CloseHandle(overlapped.hEvent);
        return;
    }
    double start = nowMs();
    if (WaitCommEvent(port, &events, &overlapped)) {
        printf("INFO %s: returned at once, events 0x%lx\n", what, (unsigned long)events);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        printf("INFO %s: error %lu at once\n", what, (unsigned long)GetLastError());
    } else if (ended(port, &overlapped, WAIT_LIMIT_MS, &count, &error)) {
        printf("INFO %s: pending, ended after %.1f ms with error %lu, events 0x%lx\n", what,
               nowMs() - start, (unsigned long)error, (unsigned long)events);
    } else {
        SetCommMask(port, 0);
        int gone = ended(port, &overlapped, 1000, &count, &error);
        printf("INFO %s: still pending after %d ms; SetCommMask(0) %s (error %lu, events 0x%lx)\n",
               what, WAIT_LIMIT_MS, gone ? "ended it" : "did not end it", (unsigned long)error,
               (unsigned long)events);
        if (!gone)
            CancelIo(port);
    }
    CloseHandle(overlapped.hEvent);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        printf("usage: com_lines COMn\n");
        return 2;
    }
    LARGE_INTEGER counts;
    QueryPerformanceFrequency(&counts);
    frequency = (double)counts.QuadPart;
    setvbuf(stdout, NULL, _IONBF, 0);
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        printf("FAIL CreateFile (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 1000}; /* reads return what is there */
    result("SetCommTimeouts", SetCommTimeouts(port, &timeouts));
    marker(port, "mark: open");

    lineControl(port, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, "SetCommState DTR, RTS DISABLE");
    marker(port, "mark: lines off");
    lineControl(port, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, "SetCommState DTR, RTS ENABLE");
    marker(port, "mark: lines on");

    waitEvent(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING,
              "WaitCommEvent EV_CTS|EV_DSR|EV_RLSD|EV_RING");
    waitEvent(port, EV_CTS | EV_RXCHAR, "WaitCommEvent EV_CTS|EV_RXCHAR");
    waitEvent(port, EV_RXCHAR, "WaitCommEvent EV_RXCHAR, nothing to read");
    marker(port, "mark: events");

    /* The echo waits in the input while the event is asked for. */
    char bytes[] = "rx waiting......";
    transfer(port, bytes, MARKER_SIZE, TRUE);
    Sleep(200);
    waitEvent(port, EV_RXCHAR, "WaitCommEvent EV_RXCHAR, 16 bytes to read");
    char echo[MARKER_SIZE];
    DWORD total = 0;
    for (int tries = 0; tries < 100 && total < MARKER_SIZE; ++tries) {
        DWORD got = transfer(port, echo + total, MARKER_SIZE - total, FALSE);
        total += got;
        if (!got)
            Sleep(10);
    }
    printf("     read %lu of the 16 bytes waiting\n", (unsigned long)total);

    result("SetCommBreak", SetCommBreak(port));
    Sleep(100);
    result("ClearCommBreak", ClearCommBreak(port));
    marker(port, "mark: break");

    result("CloseHandle", CloseHandle(port));
    return 0;
}
